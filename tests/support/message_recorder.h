#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Stands in for the main window: a message-only window (Wine offers no top-level window without a
// display) that becomes MainWindow and writes down every worker message it receives, as
// "status:<heading>|<detail>", "progress:<n>" or "done".
// Far beyond the longest platform time-out, 60 s for a connection, that ends a stalled request.
constexpr DWORD StalledRunLimitMs = 120 * 1000;

class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    // Runs `work` on a worker thread, as the launcher does, and receives until it has ended.
    void Run(const std::function<void()>& work);
    // The same, but when `work` has not ended after `limitMs` it calls `release` (which should make
    // the work end, e.g. by taking away a server's stall) and goes on receiving until it has.
    // True when the work ended within the limit.
    bool RunWithin(const std::function<void()>& work, DWORD limitMs, const std::function<void()>& release);
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
