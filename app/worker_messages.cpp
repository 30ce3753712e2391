#include "app/worker_messages.h"

#include "app/launcher_state.h"

// Windows caps a thread's queue at 10,000 posted messages, and a large check posts one progress
// value per file: a full queue only delays a message, so none is skipped and the last one always lands.
static bool PostToMainWindow(UINT message, WPARAM wParam, LPARAM lParam)
{
    constexpr DWORD RetryDelayMilliseconds = 1;
    for (;;) {
        if (PostMessageW(MainWindow, message, wParam, lParam))
            return true;
        if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA || !IsWindow(MainWindow))
            return false;
        Sleep(RetryDelayMilliseconds);
    }
}

void PostStatus(const std::wstring& heading, const std::wstring& detail)
{
    auto headingCopy = std::make_unique<std::wstring>(heading);
    auto detailCopy = std::make_unique<std::wstring>(detail);
    if (!PostToMainWindow(WM_LAUNCHER_STATUS, reinterpret_cast<WPARAM>(headingCopy.get()),
                          reinterpret_cast<LPARAM>(detailCopy.get())))
        return;  // no window took them: the copies are still ours and go here
    headingCopy.release();
    detailCopy.release();
}

void PostProgress(int position)
{
    PostToMainWindow(WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(position), 0);
}

void PostDone()
{
    PostToMainWindow(WM_LAUNCHER_DONE, 0, 0);
}

StatusTexts TakeStatusTexts(WPARAM wParam, LPARAM lParam)
{
    return {std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(wParam)),
            std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam))};
}
