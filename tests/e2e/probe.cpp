// Watches and drives the launcher's window from outside its process, as a player would, for the
// end-to-end tests. Results go to a file, never to stdout: Wine's services inherit a pipe on stdout
// and keep a reader waiting for its end.
//
//   probe.exe state OUT [TIMEOUT_MS]
//   probe.exe wait-status OUT TEXT|*final* TIMEOUT_MS
//   probe.exe click OUT [TIMEOUT_MS]
//   probe.exe messagebox OUT TIMEOUT_MS [--dismiss]
//   probe.exe close OUT [TIMEOUT_MS]
//   probe.exe shortcut OUT LNK_PATH
//   probe.exe responsiveness OUT COUNT INTERVAL_MS
//
// OUT and LNK_PATH are Windows paths (Z:\... for a Unix path under Wine). OUT gets UTF-8 key=value
// lines. Exit 0: done; 1: did not happen in time (what was seen is still written); 2: bad usage.
// The optional TIMEOUT_MS of state, click and close is how long to wait for the window to exist.
#include "platform/handles.h"
#include "tests/support/report.h"
#include "tests/support/shell_link.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kLauncherClass[] = L"TolmekBrannLauncher";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kLauncherCaption[] = L"Tolmek Brann - Launcher";
constexpr wchar_t kStaticClass[] = L"Static";
constexpr wchar_t kButtonClass[] = L"Button";
constexpr wchar_t kProgressClass[] = L"msctls_progress32";
constexpr wchar_t kFinalTarget[] = L"*final*";
constexpr wchar_t kDismissFlag[] = L"--dismiss";
constexpr const wchar_t* kFinalStatuses[] = {
    L"Tudo atualizado. Boa guerra!",
    L"Atualizado! Boa guerra!",
    L"Nao foi possivel falar com o servidor.",
    L"Falha ao baixar um arquivo. Tente de novo.",
    L"A atualizacao recebida nao e autentica.",
};

constexpr DWORD kDefaultTimeoutMs = 10000;
constexpr DWORD kPollIntervalMs = 50;
// Bounds every message the probe sends, so a hung launcher cannot hang the probe.
constexpr UINT kQueryTimeoutMs = 2000;
constexpr UINT kPingTimeoutMs = 5000;
constexpr int kClassNameCapacity = 64;
constexpr int kFirstTextCapacity = 256;
constexpr int kMaxTextCapacity = 1 << 16;
constexpr long long kNoProgress = -1;
constexpr double kMedianPercent = 50.0;
constexpr double kTailPercent = 99.0;

enum Exit : int { kDone = 0, kNotSeen = 1, kUsage = 2 };

class Deadline {
public:
    explicit Deadline(DWORD ms) : end_(GetTickCount64() + ms) {}
    bool Passed() const { return GetTickCount64() >= end_; }

private:
    ULONGLONG end_;
};

// GetWindowTextW reads another process's window text without sending it a message, so it never
// waits on a busy launcher (GetWindowTextLengthW would).
std::wstring WindowText(HWND window)
{
    for (int capacity = kFirstTextCapacity; capacity <= kMaxTextCapacity; capacity *= 2) {
        std::wstring text(static_cast<size_t>(capacity), L'\0');
        const int copied = GetWindowTextW(window, text.data(), capacity);
        if (copied < capacity - 1) {
            text.resize(static_cast<size_t>(std::max(copied, 0)));
            return text;
        }
    }
    return {};
}

std::wstring ClassName(HWND window)
{
    wchar_t buffer[kClassNameCapacity] = {};
    if (window)
        GetClassNameW(window, buffer, kClassNameCapacity);
    return buffer;
}

bool HasClass(HWND window, const wchar_t* name)
{
    return _wcsicmp(ClassName(window).c_str(), name) == 0;
}

struct ChildSearch {
    HWND parent;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDirectChild(HWND child, LPARAM param)
{
    auto* search = reinterpret_cast<ChildSearch*>(param);
    if (GetAncestor(child, GA_PARENT) == search->parent)
        search->found.push_back(child);
    return TRUE;
}

// In creation order, which is how the launcher's controls are told apart.
std::vector<HWND> DirectChildren(HWND parent)
{
    ChildSearch search{parent, {}};
    EnumChildWindows(parent, CollectDirectChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct TopLevelSearch {
    const wchar_t* className;
    DWORD processId;  // 0: any process
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TopLevelSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (HasClass(window, search->className) && (search->processId == 0 || pid == search->processId))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(const wchar_t* className, DWORD processId)
{
    TopLevelSearch search{className, processId, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindLauncher()
{
    return FindWindowW(kLauncherClass, nullptr);
}

HWND WaitForLauncher(const Deadline& deadline)
{
    for (;;) {
        if (HWND window = FindLauncher())
            return window;
        if (deadline.Passed())
            return nullptr;
        Sleep(kPollIntervalMs);
    }
}

struct Controls {
    HWND status = nullptr;
    HWND detail = nullptr;
    HWND progress = nullptr;
    HWND play = nullptr;
};

Controls FindControls(HWND window)
{
    Controls controls;
    for (HWND child : DirectChildren(window)) {
        if (HasClass(child, kStaticClass)) {
            if (!controls.status)
                controls.status = child;
            else if (!controls.detail)
                controls.detail = child;
        } else if (HasClass(child, kProgressClass) && !controls.progress) {
            controls.progress = child;
        } else if (HasClass(child, kButtonClass) && !controls.play) {
            controls.play = child;
        }
    }
    return controls;
}

struct LauncherState {
    std::wstring caption;
    std::wstring status;
    std::wstring detail;
    std::wstring playText;
    long long progress = kNoProgress;
    bool visible = false;
    bool playEnabled = false;
    bool playFocused = false;
    std::wstring focusClass;  // tells where focus went when it is not on the button
    RECT windowRect{};
    RECT clientRect{};
    size_t windowCount = 0;
    std::wstring missing;
};

LauncherState ReadState(HWND window)
{
    LauncherState state;
    const Controls controls = FindControls(window);
    state.caption = WindowText(window);
    state.visible = IsWindowVisible(window) != FALSE;
    state.windowCount = TopLevelWindows(kLauncherClass, 0).size();
    GetWindowRect(window, &state.windowRect);
    GetClientRect(window, &state.clientRect);
    // The button before the texts: the run's last heading is shown before the button is enabled, so a
    // button read as enabled means the texts read after it are the final ones.
    if (controls.play) {
        state.playText = WindowText(controls.play);
        state.playEnabled = IsWindowEnabled(controls.play) != FALSE;
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
            state.playFocused = info.hwndFocus == controls.play;
            state.focusClass = ClassName(info.hwndFocus);
        }
    }
    if (controls.status)
        state.status = WindowText(controls.status);
    if (controls.detail)
        state.detail = WindowText(controls.detail);
    if (controls.progress) {
        DWORD_PTR position = 0;
        if (SendMessageTimeoutW(controls.progress, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &position))
            state.progress = static_cast<long long>(position);
    }
    const std::pair<HWND, const wchar_t*> wanted[] = {
        {controls.status, L"status"}, {controls.detail, L"detail"},
        {controls.progress, L"progress"}, {controls.play, L"play"}};
    for (const auto& [control, name] : wanted) {
        if (!control)
            state.missing += (state.missing.empty() ? L"" : L",") + std::wstring(name);
    }
    return state;
}

std::wstring JoinNumbers(std::initializer_list<long> numbers)
{
    std::wstring out;
    for (long n : numbers)
        out += (out.empty() ? L"" : L",") + std::to_wstring(n);
    return out;
}

void AddState(Report& report, const LauncherState& state)
{
    report.Add(L"window_found", L"1");
    report.AddNumber(L"window_count", static_cast<long long>(state.windowCount));
    report.Add(L"caption", state.caption);
    report.AddFlag(L"visible", state.visible);
    report.Add(L"status", state.status);
    report.Add(L"detail", state.detail);
    report.AddNumber(L"progress", state.progress);
    report.Add(L"play_text", state.playText);
    report.AddFlag(L"play_enabled", state.playEnabled);
    report.AddFlag(L"play_focused", state.playFocused);
    report.Add(L"focus_class", state.focusClass);
    const RECT& w = state.windowRect;
    report.Add(L"window_rect", JoinNumbers({w.left, w.top, w.right, w.bottom}));
    report.Add(L"client", JoinNumbers({state.clientRect.right, state.clientRect.bottom}));
    if (!state.missing.empty())
        report.Add(L"missing", state.missing);
}

bool IsFinal(const LauncherState& state)
{
    if (state.playEnabled)
        return true;
    return std::any_of(std::begin(kFinalStatuses), std::end(kFinalStatuses),
                       [&](const wchar_t* text) { return state.status == text; });
}

int RunState(Report& report, DWORD timeoutMs)
{
    const HWND window = WaitForLauncher(Deadline(timeoutMs));
    if (!window) {
        report.Add(L"window_found", L"0");
        return kNotSeen;
    }
    AddState(report, ReadState(window));
    return kDone;
}

// Texts and the button as one settled reading. Progress is compared at the end only: it moves with
// every chunk while a file downloads.
bool SameReading(const LauncherState& a, const LauncherState& b, bool withProgress)
{
    return a.status == b.status && a.detail == b.detail && a.playEnabled == b.playEnabled &&
           (!withProgress || a.progress == b.progress);
}

// The launcher sets the heading, then the detail, and enables the button in a later message, so one
// reading can catch it half-way. A match counts only when the next reading, taken after the launcher
// has finished the message it was handling, agrees with it.
int RunWaitStatus(Report& report, const std::wstring& target, DWORD timeoutMs)
{
    const Deadline deadline(timeoutMs);
    const bool final = target == kFinalTarget;
    bool seen = false;
    bool matched = false;
    LauncherState last;
    for (;;) {
        // Looked up again each round: the launcher may start late or replace its window.
        if (HWND window = FindLauncher()) {
            LauncherState now = ReadState(window);
            if (matched && SameReading(last, now, final)) {
                AddState(report, now);
                return kDone;
            }
            matched = final ? IsFinal(now) : now.status == target;
            last = std::move(now);
            seen = true;
            if (matched) {
                DWORD_PTR ignored = 0;
                SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kQueryTimeoutMs, &ignored);
            }
        }
        if (deadline.Passed())
            break;
        Sleep(kPollIntervalMs);
    }
    if (seen)
        AddState(report, last);
    else
        report.Add(L"window_found", L"0");
    report.Add(L"timed_out", L"1");
    return kNotSeen;
}

// Posted BM_CLICK: the button presses and releases itself and tells its parent BN_CLICKED, the path
// a mouse click takes. Synthetic input (SendInput) needs a foreground window, which Wine under Xvfb
// without a window manager does not reliably give. Posting, not sending, keeps the probe free when
// the click handler opens a modal dialog. A disabled button takes no click from a player, so none
// is posted then. `clicks` are posted back to back, as an impatient player's double click queues them.
int RunClick(Report& report, DWORD timeoutMs, int clicks)
{
    const HWND window = WaitForLauncher(Deadline(timeoutMs));
    if (!window) {
        report.Add(L"window_found", L"0");
        report.Add(L"clicked", L"0");
        return kNotSeen;
    }
    const Controls controls = FindControls(window);
    const bool enabled = controls.play && IsWindowEnabled(controls.play) && IsWindowVisible(controls.play);
    report.Add(L"window_found", L"1");
    report.AddFlag(L"play_enabled", enabled);
    for (int click = 0; click < clicks; ++click) {
        if (!enabled || !PostMessageW(controls.play, BM_CLICK, 0, 0)) {
            report.Add(L"clicked", L"0");
            return kNotSeen;
        }
    }
    report.Add(L"clicked", L"1");
    return kDone;
}

// The message, not the icon: the icon is a Static too.
std::wstring DialogMessage(HWND dialog)
{
    for (HWND child : DirectChildren(dialog)) {
        if (!HasClass(child, kStaticClass))
            continue;
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
        if ((style & SS_TYPEMASK) == SS_ICON)
            continue;
        std::wstring text = WindowText(child);
        if (!text.empty())
            return text;
    }
    return {};
}

// Visible only once WM_INITDIALOG has filled in its text.
HWND FindDialog(DWORD processId)
{
    for (HWND dialog : TopLevelWindows(kDialogClass, processId)) {
        if (IsWindowVisible(dialog))
            return dialog;
    }
    return nullptr;
}

// A box of the process that owns the launcher's window or, when start-up failed before there was a
// window, a box with the launcher's caption.
HWND FindLauncherDialog(HWND& window)
{
    window = FindLauncher();
    if (!window) {
        const HWND dialog = FindWindowW(kDialogClass, kLauncherCaption);
        return dialog && IsWindowVisible(dialog) ? dialog : nullptr;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return FindDialog(processId);
}

int RunMessageBox(Report& report, DWORD timeoutMs, bool dismiss)
{
    const Deadline deadline(timeoutMs);
    HWND window = nullptr;
    HWND dialog = nullptr;
    for (;;) {
        dialog = FindLauncherDialog(window);
        if (dialog || deadline.Passed())
            break;
        Sleep(kPollIntervalMs);
    }
    report.AddFlag(L"window_found", window != nullptr);
    if (!dialog) {
        report.Add(L"found", L"0");
        return kNotSeen;
    }
    report.Add(L"found", L"1");
    report.Add(L"text", DialogMessage(dialog));
    report.Add(L"caption", WindowText(dialog));
    report.AddFlag(L"owner_is_launcher", GetWindow(dialog, GW_OWNER) == window);
    if (!dismiss)
        return kDone;

    // WM_COMMAND to the dialog, as the OK button sends when pressed; it needs no active window.
    const HWND ok = GetDlgItem(dialog, IDOK);
    if (!ok || !PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok))) {
        report.Add(L"dismissed", L"0");
        return kNotSeen;
    }
    const Deadline gone(timeoutMs);
    while (IsWindow(dialog) && !gone.Passed())
        Sleep(kPollIntervalMs);
    const bool closed = !IsWindow(dialog);
    report.AddFlag(L"dismissed", closed);
    return closed ? kDone : kNotSeen;
}

int RunClose(Report& report, DWORD timeoutMs)
{
    const HWND window = WaitForLauncher(Deadline(timeoutMs));
    if (!window || !PostMessageW(window, WM_CLOSE, 0, 0)) {
        report.AddFlag(L"window_found", window != nullptr);
        report.Add(L"closed", L"0");
        return kNotSeen;
    }
    report.Add(L"window_found", L"1");
    report.Add(L"closed", L"1");
    return kDone;
}

int RunShortcut(Report& report, const std::wstring& linkPath)
{
    const ShellLinkInfo link = ReadShellLink(linkPath);
    report.AddFlag(L"loaded", link.loaded);
    if (!link.loaded)
        return kNotSeen;
    report.Add(L"target", link.target);
    report.Add(L"workdir", link.workingDirectory);
    report.Add(L"description", link.description);
    report.Add(L"icon", link.iconPath);
    report.AddNumber(L"icon_index", link.iconIndex);
    return kDone;
}

// How long the launcher's UI thread takes to answer a message. Percentiles cover the answered
// rounds only; a round with no answer within the timeout counts as a failure.
int RunResponsiveness(Report& report, DWORD count, DWORD intervalMs)
{
    const HWND window = WaitForLauncher(Deadline(kDefaultTimeoutMs));
    if (!window) {
        report.Add(L"window_found", L"0");
        return kNotSeen;
    }
    std::vector<double> samples;
    long long failures = 0;
    for (DWORD round = 0; round < count; ++round) {
        if (round > 0)
            Sleep(intervalMs);
        DWORD_PTR ignored = 0;
        const Stopwatch stopwatch;
        const LRESULT answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kPingTimeoutMs, &ignored);
        const double elapsedMs = stopwatch.ElapsedMs();
        if (!answered) {
            ++failures;
            continue;
        }
        samples.push_back(elapsedMs);
    }
    std::sort(samples.begin(), samples.end());
    report.Add(L"window_found", L"1");
    report.AddNumber(L"samples", static_cast<long long>(samples.size()));
    report.AddNumber(L"failures", failures);
    if (samples.empty())
        return kNotSeen;
    report.AddMillis(L"p50_ms", Percentile(samples, kMedianPercent));
    report.AddMillis(L"p99_ms", Percentile(samples, kTailPercent));
    report.AddMillis(L"max_ms", samples.back());
    return kDone;
}

bool OptionalTimeout(int argc, wchar_t** argv, int index, DWORD& timeoutMs)
{
    timeoutMs = kDefaultTimeoutMs;
    return argc <= index || ParseNumber(argv[index], timeoutMs);
}

// Runs one command; false when its arguments are wrong.
bool Dispatch(int argc, wchar_t** argv, Report& report, int& code)
{
    const std::wstring command = argv[1];
    DWORD first = 0;
    DWORD second = 0;
    if (command == L"state" && argc <= 4 && OptionalTimeout(argc, argv, 3, first)) {
        code = RunState(report, first);
    } else if (command == L"wait-status" && argc == 5 && ParseNumber(argv[4], first)) {
        code = RunWaitStatus(report, argv[3], first);
    } else if (command == L"click" && argc <= 4 && OptionalTimeout(argc, argv, 3, first)) {
        code = RunClick(report, first, 1);
    } else if (command == L"double-click" && argc <= 4 && OptionalTimeout(argc, argv, 3, first)) {
        code = RunClick(report, first, 2);
    } else if (command == L"messagebox" && (argc == 4 || (argc == 5 && std::wstring(argv[4]) == kDismissFlag)) &&
               ParseNumber(argv[3], first)) {
        code = RunMessageBox(report, first, argc == 5);
    } else if (command == L"close" && argc <= 4 && OptionalTimeout(argc, argv, 3, first)) {
        code = RunClose(report, first);
    } else if (command == L"shortcut" && argc == 4) {
        code = RunShortcut(report, argv[3]);
    } else if (command == L"responsiveness" && argc == 5 && ParseNumber(argv[3], first) && first > 0 &&
               ParseNumber(argv[4], second)) {
        code = RunResponsiveness(report, first, second);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fputws(L"usage: probe.exe COMMAND OUT [ARGS...]; see probe.cpp\n", stderr);
        return kUsage;
    }
    Report report;
    int code = kDone;
    if (!Dispatch(argc, argv, report, code)) {
        Report usage;
        usage.Add(L"error", L"usage");
        usage.WriteTo(argv[2]);
        fputws(L"probe.exe: bad arguments; see probe.cpp\n", stderr);
        return kUsage;
    }
    if (!report.WriteTo(argv[2])) {
        fputws(L"probe.exe: cannot write the output file\n", stderr);
        return kUsage;
    }
    return code;
}
