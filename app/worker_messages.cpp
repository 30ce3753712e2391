#include "app/worker_messages.h"

#include "app/launcher_state.h"

void PostStatus(const std::wstring& heading, const std::wstring& detail)
{
    auto headingCopy = std::make_unique<std::wstring>(heading);
    auto detailCopy = std::make_unique<std::wstring>(detail);
    if (!PostMessageW(MainWindow, WM_LAUNCHER_STATUS, reinterpret_cast<WPARAM>(headingCopy.get()),
                      reinterpret_cast<LPARAM>(detailCopy.get())))
        return;  // no window took them: the copies are still ours and go here
    headingCopy.release();
    detailCopy.release();
}

void PostProgress(int position)
{
    PostMessageW(MainWindow, WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(position), 0);
}

void PostDone()
{
    PostMessageW(MainWindow, WM_LAUNCHER_DONE, 0, 0);
}

StatusTexts TakeStatusTexts(WPARAM wParam, LPARAM lParam)
{
    return {std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(wParam)),
            std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam))};
}
