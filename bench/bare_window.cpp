// The plain start-up reference: the least a Win32 program does to show a window, and nothing more.
#include <windows.h>

namespace {

const wchar_t* const WindowClassName = L"TolmekBrannBenchBareWindow";
constexpr int WindowWidth = 520;
constexpr int WindowHeight = 250;

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
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = WindowClassName;
    if (!RegisterClassW(&windowClass))
        return 1;
    const HWND window = CreateWindowExW(0, WindowClassName, L"bare", WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                        CW_USEDEFAULT, WindowWidth, WindowHeight, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
