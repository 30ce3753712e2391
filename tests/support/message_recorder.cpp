#include "tests/support/message_recorder.h"

#include "app/launcher_state.h"
#include "app/worker_messages.h"

#include <thread>

namespace {

constexpr UINT WM_TEST_WORK_ENDED = WM_APP + 100;
const wchar_t* const RecorderClass = L"TolmekBrannTestRecorder";

}  // namespace

MessageRecorder::MessageRecorder()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = RecorderClass;
    RegisterClassW(&windowClass);
    MainWindow = CreateWindowExW(0, RecorderClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 windowClass.hInstance, nullptr);
    SetWindowLongPtrW(MainWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageRecorder::~MessageRecorder()
{
    ReceivePending();  // frees the texts of statuses still queued
    DestroyWindow(MainWindow);
    MainWindow = nullptr;
}

LRESULT CALLBACK MessageRecorder::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<MessageRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_LAUNCHER_STATUS: {
        const StatusTexts texts = TakeStatusTexts(wParam, lParam);
        self->log_.push_back(L"status:" + *texts.heading + L"|" + *texts.detail);
        return 0;
    }
    case WM_LAUNCHER_PROGRESS:
        self->log_.push_back(L"progress:" + std::to_wstring(static_cast<int>(wParam)));
        return 0;
    case WM_LAUNCHER_DONE:
        self->log_.push_back(L"done");
        return 0;
    case WM_TEST_WORK_ENDED:
        self->workEnded_ = true;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void MessageRecorder::Run(const std::function<void()>& work)
{
    RunWithin(work, INFINITE, nullptr);
}

bool MessageRecorder::RunWithin(const std::function<void()>& work, DWORD limitMs,
                                const std::function<void()>& release)
{
    workEnded_ = false;
    // Posted by the same thread after the work, so it arrives after everything the work posted.
    std::thread worker([&work] {
        work();
        PostMessageW(MainWindow, WM_TEST_WORK_ENDED, 0, 0);
    });
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    bool released = limitMs == INFINITE;
    bool endedInTime = true;
    while (!workEnded_) {
        const ULONGLONG now = GetTickCount64();
        if (!released && now >= deadline) {
            released = true;
            endedInTime = false;
            release();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, released ? INFINITE : static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
        MSG message;
        while (!workEnded_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    worker.join();
    return endedInTime;
}

void MessageRecorder::ReceivePending()
{
    MSG message;
    while (PeekMessageW(&message, MainWindow, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

std::vector<int> MessageRecorder::ProgressValues() const
{
    std::vector<int> values;
    for (const std::wstring& entry : log_)
        if (entry.rfind(L"progress:", 0) == 0)
            values.push_back(std::stoi(entry.substr(9)));
    return values;
}

std::vector<std::wstring> MessageRecorder::Statuses() const
{
    std::vector<std::wstring> statuses;
    for (const std::wstring& entry : log_)
        if (entry.rfind(L"status:", 0) == 0)
            statuses.push_back(entry.substr(7));
    return statuses;
}

void MessageRecorder::Clear()
{
    log_.clear();
    log_.shrink_to_fit();
}
