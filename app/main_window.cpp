#include "app/main_window.h"

#include "app/game_launch.h"
#include "app/launcher_state.h"
#include "app/worker_messages.h"

#include <commctrl.h>

namespace {

const wchar_t* const WindowClassName = L"TolmekBrannLauncher";
constexpr int WindowWidth = 520;
constexpr int WindowHeight = 250;
constexpr DWORD WindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // fixed size, no maximise
constexpr int ProgressRange = 1000;
constexpr int StripeHeight = 6;
constexpr RECT TitleBox = {0, 22, 0, 70};  // right edge is the client width

constexpr COLORREF BackgroundColour = RGB(16, 18, 24);
constexpr COLORREF StripeLeftColour = RGB(211, 58, 50);
constexpr COLORREF StripeRightColour = RGB(47, 125, 225);
constexpr COLORREF GoldColour = RGB(240, 207, 122);
constexpr COLORREF DetailColour = RGB(140, 147, 163);

HFONT CreateLauncherFont(int height, int weight, const wchar_t* face)
{
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, face);
}

HWND CreateControl(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height)
{
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, MainWindow,
                           nullptr, nullptr, nullptr);
}

void CreateControls()
{
    StatusLabel = CreateControl(L"STATIC", L"", SS_CENTER, 20, 86, 464, 22);
    ProgressBar = CreateControl(PROGRESS_CLASSW, nullptr, 0, 30, 114, 444, 18);
    SendMessageW(ProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressRange));
    DetailLabel = CreateControl(L"STATIC", L"", SS_CENTER | SS_ENDELLIPSIS, 20, 138, 464, 20);
    PlayButton = CreateControl(L"BUTTON", L"JOGAR", BS_DEFPUSHBUTTON, 172, 166, 160, 34);
    // Only the end of the update run may enable it.
    EnableWindow(PlayButton, FALSE);
    for (HWND control : {StatusLabel, DetailLabel, PlayButton})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(BodyFont), TRUE);
}

void FillSolid(HDC dc, const RECT& box, COLORREF colour)
{
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &box, brush);
    DeleteObject(brush);
}

void PaintHeader(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right;
    FillSolid(dc, {0, 0, width / 2, StripeHeight}, StripeLeftColour);
    FillSolid(dc, {width / 2, 0, width, StripeHeight}, StripeRightColour);
    SetBkMode(dc, TRANSPARENT);
    SelectObject(dc, TitleFont);
    SetTextColor(dc, GoldColour);
    RECT title = TitleBox;
    title.right = width;
    DrawTextW(dc, L"TOLMEK BRANN", -1, &title, DT_CENTER | DT_SINGLELINE);
    EndPaint(window, &paint);
}

void ShowStatus(WPARAM wParam, LPARAM lParam)
{
    const StatusTexts texts = TakeStatusTexts(wParam, lParam);
    SetWindowTextW(StatusLabel, texts.heading->c_str());
    SetWindowTextW(DetailLabel, texts.detail->c_str());
}

void FinishRun()
{
    const bool available = GameAvailable.load();
    EnableWindow(PlayButton, available);
    if (available)
        SetFocus(PlayButton);
}

}  // namespace

bool CreateMainWindow(HINSTANCE instance)
{
    BackgroundBrush = CreateSolidBrush(BackgroundColour);
    TitleFont = CreateLauncherFont(40, FW_BOLD, L"Georgia");
    BodyFont = CreateLauncherFont(17, FW_NORMAL, L"Segoe UI");

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = BackgroundBrush;
    windowClass.lpszClassName = WindowClassName;
    if (!RegisterClassW(&windowClass))
        return false;

    const int x = (GetSystemMetrics(SM_CXSCREEN) - WindowWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - WindowHeight) / 2;
    MainWindow = CreateWindowExW(0, WindowClassName, WindowTitle, WindowStyle, x, y, WindowWidth, WindowHeight,
                                 nullptr, nullptr, instance, nullptr);
    if (!MainWindow)
        return false;
    CreateControls();
    return true;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintHeader(window);
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, reinterpret_cast<HWND>(lParam) == DetailLabel ? DetailColour : GoldColour);
        return reinterpret_cast<LRESULT>(BackgroundBrush);
    }
    case WM_COMMAND:
        // Disabled while the game starts: a click queued behind the first one starts nothing.
        if (reinterpret_cast<HWND>(lParam) == PlayButton && GameAvailable.load() && IsWindowEnabled(PlayButton))
            LaunchGame();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_LAUNCHER_STATUS:
        ShowStatus(wParam, lParam);
        return 0;
    case WM_LAUNCHER_PROGRESS:
        SendMessageW(ProgressBar, PBM_SETPOS, wParam, 0);
        return 0;
    case WM_LAUNCHER_DONE:
        FinishRun();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
