#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Stands in for the main window: a message-only window (Wine offers no top-level window without a
// display) that becomes MainWindow and writes down every worker message it receives, as
// "status:<heading>|<detail>", "progress:<n>" or "done".
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    // Runs `work` on a worker thread, as the launcher does, and receives until it has ended.
    void Run(const std::function<void()>& work);
    // Receives whatever is queued already.
    void ReceivePending();

    const std::vector<std::wstring>& Log() const { return log_; }
    std::vector<int> ProgressValues() const;
    std::vector<std::wstring> Statuses() const;  // "<heading>|<detail>"
    void Clear();

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    std::vector<std::wstring> log_;
    bool workEnded_ = false;
};
