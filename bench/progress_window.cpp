// The fair start-up reference: the bare window program plus what the launcher's first window cannot
// show without, the common controls, loaded as the launcher loads them (delay-loaded, from System32
// only), and one progress bar in the window before it is shown.
#include "platform/system_library.h"

#include <windows.h>

#include <commctrl.h>

namespace {

const wchar_t* const WindowClassName = L"TolmekBrannBenchProgressWindow";
constexpr int WindowWidth = 520;
constexpr int WindowHeight = 250;
// Where the launcher puts its bar.
constexpr int ProgressLeft = 30;
constexpr int ProgressTop = 114;
constexpr int ProgressWidth = 444;
constexpr int ProgressHeight = 18;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    if (!LoadCommonControls() || !InitCommonControlsEx(&controls))
        return 1;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WindowClassName;
    if (!RegisterClassW(&windowClass))
        return 1;
    const HWND window = CreateWindowExW(0, WindowClassName, L"progress", WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                        CW_USEDEFAULT, WindowWidth, WindowHeight, nullptr, nullptr, instance, nullptr);
    if (!window || !CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, ProgressLeft, ProgressTop,
                                    ProgressWidth, ProgressHeight, window, nullptr, instance, nullptr))
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
