// The demo's stand-in for the game: a small window that says the update worked.
#include <windows.h>

namespace {

const wchar_t* const SampleClassName = L"TolmekBrannSampleGame";
constexpr int SampleWidth = 360;
constexpr int SampleHeight = 160;

LRESULT CALLBACK SampleProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(240, 207, 122));
        DrawTextW(dc, L"Tolmek Brann (jogo de exemplo)", -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    HBRUSH background = CreateSolidBrush(RGB(16, 18, 24));
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = SampleProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = SampleClassName;
    if (!RegisterClassW(&windowClass))
        return 1;
    HWND window = CreateWindowExW(0, SampleClassName, L"Tolmek Brann", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, SampleWidth, SampleHeight, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DeleteObject(background);
    return 0;
}
