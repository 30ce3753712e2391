// Times the launcher's own check and download code against the bare platform loops beneath them,
// in one process and the same run, on the files a bench script laid out. Each command verifies
// what it timed, so a fast wrong result can never pass for a figure.
//
//   bench_harness.exe check OUT INSTALL_DIR MANIFEST ROUNDS      cache valid: attributes only
//   bench_harness.exe hash OUT INSTALL_DIR MANIFEST ROUNDS       no cache: every file hashed
//   bench_harness.exe download OUT HOST PORT INSTALL_DIR BARE_DIR ROUNDS
//   bench_harness.exe startup OUT EXE WINDOW_CLASS COUNT         process start to window shown
//
// OUT gets "key=value" lines; timings are comma-separated milliseconds, one per round.
// Exit 0: done; 1: a verification failed (see "error"); 2: bad usage.
#include "app/launcher_state.h"
#include "app/worker_messages.h"
#include "bench/reference_loops.h"
#include "tests/support/stopwatch.h"
#include "bench/window_host.h"
#include "platform/handles.h"
#include "platform/http_client.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/report.h"
#include "tests/support/test_files.h"
#include "update/download.h"
#include "update/local_file_check.h"
#include "update/manifest.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

namespace {

enum Exit : int { Done = 0, Failed = 1, Usage = 2 };

constexpr DWORD WindowWaitMs = 30000;
constexpr DWORD ExitWaitMs = 10000;
constexpr DWORD PollIntervalMs = 1;

using Timings = std::vector<double>;

std::wstring JoinMillis(const Timings& timings)
{
    std::wstring joined;
    for (double ms : timings)
        joined += (joined.empty() ? L"" : L",") + Report::FormatMillis(ms);
    return joined;
}

int Fail(Report& report, const wchar_t* why)
{
    report.Add(L"error", why);
    return Failed;
}

uint64_t TotalSize(const std::vector<ManifestEntry>& entries)
{
    return std::accumulate(entries.begin(), entries.end(), uint64_t{0},
                           [](uint64_t sum, const ManifestEntry& entry) { return sum + entry.size; });
}

// Reads the installation's manifest and the local path of each entry; false when it lists nothing.
bool LoadInstallation(const std::wstring& installDir, const std::wstring& manifestPath,
                      std::vector<ManifestEntry>& entries, std::vector<std::wstring>& paths)
{
    InstallDirectory = installDir;
    entries = ParseManifest(ReadFileBytes(manifestPath));
    for (const ManifestEntry& entry : entries)
        paths.push_back(LocalPathFor(entry.path));
    return !entries.empty();
}

// One side of a comparison: a job timed on the worker thread, and the proof that it did its work.
struct Contender {
    const wchar_t* key;  // of its timings in the report
    std::function<void()> prepare;  // untimed
    std::function<void()> job;
    std::function<bool()> succeeded;
    const wchar_t* failure;
};

// Odd rounds take the contenders in reverse order, so that a drift of the machine weighs on all alike.
int RunRounds(Report& report, WindowHost& host, const std::vector<Contender>& contenders, DWORD rounds)
{
    std::vector<Timings> timings(contenders.size());
    for (DWORD round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < contenders.size(); ++turn) {
            const size_t i = round % 2 == 0 ? turn : contenders.size() - 1 - turn;
            if (contenders[i].prepare)
                contenders[i].prepare();
            timings[i].push_back(host.TimeOnWorker(contenders[i].job));
            if (!contenders[i].succeeded())
                return Fail(report, contenders[i].failure);
        }
    }
    for (size_t i = 0; i < contenders.size(); ++i)
        report.Add(contenders[i].key, JoinMillis(timings[i]));
    return Done;
}

int RunCheck(Report& report, const std::wstring& installDir, const std::wstring& manifestPath, DWORD rounds)
{
    std::vector<ManifestEntry> entries;
    std::vector<std::wstring> paths;
    WindowHost host;
    if (!LoadInstallation(installDir, manifestPath, entries, paths) || !host.Ready())
        return Fail(report, L"no manifest entries or no window");

    // A first pass without a cache hashes every file and leaves the cache as a finished run does.
    LauncherCache validCache;
    DownloadList selected;
    uint64_t total = 0;
    host.TimeOnWorker([&] { CheckLocalFiles(entries, validCache, selected, total); });
    if (!selected.empty())
        return Fail(report, L"the installation does not match its manifest");

    LauncherCache cache;
    size_t answered = 0;
    const auto allAnswered = [&] { return answered == paths.size(); };
    const wchar_t* const unanswered = L"a file of the installation could not be queried";
    const std::vector<Contender> contenders = {
        {L"launcher_ms",
         [&] {
             cache = validCache;
             selected.clear();
             total = 0;
         },
         [&] { CheckLocalFiles(entries, cache, selected, total); },
         [&] { return selected.empty() && cache == validCache; }, L"the cache did not vouch for every file"},
        {L"bare_ms", nullptr, [&] { answered = QueryAttributesLoop(paths); }, allAnswered, unanswered},
        {L"bare_posting_ms", nullptr,
         [&] { answered = QueryAttributesAndPostLoop(paths, MainWindow, WM_LAUNCHER_PROGRESS, Posting::EveryValue); },
         allAnswered, unanswered},
        {L"bare_posting_changes_ms", nullptr,
         [&] {
             answered = QueryAttributesAndPostLoop(paths, MainWindow, WM_LAUNCHER_PROGRESS, Posting::ChangedValues);
         },
         allAnswered, unanswered},
    };
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    return RunRounds(report, host, contenders, rounds);
}

int RunHash(Report& report, const std::wstring& installDir, const std::wstring& manifestPath, DWORD rounds)
{
    std::vector<ManifestEntry> entries;
    std::vector<std::wstring> paths;
    WindowHost host;
    if (!LoadInstallation(installDir, manifestPath, entries, paths) || !host.Ready())
        return Fail(report, L"no manifest entries or no window");
    const uint64_t bytes = TotalSize(entries);

    LauncherCache cache;
    DownloadList selected;
    uint64_t total = 0;
    std::vector<std::string> digests;
    bool hashed = false;
    const std::vector<Contender> contenders = {
        {L"launcher_ms",
         [&] {
             cache.clear();
             selected.clear();
             total = 0;
         },
         [&] { CheckLocalFiles(entries, cache, selected, total); },
         [&] { return selected.empty() && cache.size() == entries.size(); },
         L"the check did not hash every file to its manifest digest"},
        {L"bare_ms", nullptr, [&] { digests = ReadAndHashLoop(paths); },
         [&] {
             return std::equal(entries.begin(), entries.end(), digests.begin(), digests.end(),
                               [](const ManifestEntry& entry, const std::string& digest) { return entry.hash == digest; });
         },
         L"the bare loop did not hash every file to its manifest digest"},
        {L"hash_only_ms", nullptr, [&] { hashed = HashInMemory(bytes); }, [&] { return hashed; },
         L"the hashing service failed"},
    };
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    report.AddNumber(L"bytes", static_cast<long long>(bytes));
    return RunRounds(report, host, contenders, rounds);
}

bool BodiesArrivedWhole(const std::vector<long long>& sizes, const std::vector<ManifestEntry>& entries)
{
    for (size_t i = 0; i < entries.size(); ++i) {
        if (sizes[i] < 0 || static_cast<uint64_t>(sizes[i]) != entries[i].size)
            return false;
    }
    return true;
}

int RunDownload(Report& report, const std::wstring& host, INTERNET_PORT port, const std::wstring& installDir,
                const std::wstring& bareDir, DWORD rounds)
{
    InstallDirectory = installDir;
    std::string manifestText;
    WindowHost window;
    if (!HttpClient(host, port).Get(std::wstring(UpdateBasePath) + L"manifest.txt", manifestText) || !window.Ready())
        return Fail(report, L"no manifest from the server or no window");
    const std::vector<ManifestEntry> entries = ParseManifest(manifestText);
    const uint64_t bytes = TotalSize(entries);
    std::vector<std::wstring> urlPaths, bareFiles;
    std::vector<std::string> digests;
    for (const ManifestEntry& entry : entries) {
        urlPaths.push_back(std::wstring(UpdateBasePath) + L"files/" + Utf8ToWide(EncodeUrlPath(entry.path)));
        bareFiles.push_back(bareDir + LocalPathFor(entry.path).substr(installDir.size()));
        CreateParentDirectories(bareFiles.back());
        digests.push_back(entry.hash);
    }

    LauncherCache cache;
    bool downloaded = false;
    std::vector<long long> sizes;
    const WinHttpLoopTarget target{host, port, MainWindow, WM_LAUNCHER_PROGRESS, bytes};
    const auto bareLoop = [&](BodyHandling handling) {
        return [&, handling] { sizes = WinHttpLoop(target, urlPaths, bareFiles, digests, handling); };
    };
    const auto arrived = [&] { return BodiesArrivedWhole(sizes, entries); };
    const wchar_t* const bareFailed = L"the bare loop's download failed";
    const std::vector<Contender> contenders = {
        {L"launcher_ms", [&] { cache.clear(); },
         [&] {
             HttpClient client(host, port);
             downloaded = DownloadFiles(entries, entries, bytes, client, cache);
         },
         [&] { return downloaded && cache.size() == entries.size(); }, L"the launcher's download failed"},
        {L"bare_ms", nullptr, bareLoop(BodyHandling::Write), arrived, bareFailed},
        {L"bare_hashing_ms", nullptr, bareLoop(BodyHandling::WriteAndHash), arrived, bareFailed},
        {L"bare_hashing_posting_ms", nullptr, bareLoop(BodyHandling::WriteHashAndPost), arrived, bareFailed},
        {L"bare_replacing_ms", nullptr, bareLoop(BodyHandling::WriteHashPostAndReplace), arrived, bareFailed},
    };
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    report.AddNumber(L"bytes", static_cast<long long>(bytes));
    return RunRounds(report, window, contenders, rounds);
}

// Null when no visible window of the class appeared in time.
HWND WaitForVisibleWindow(const wchar_t* windowClass, const Stopwatch& since)
{
    while (since.ElapsedMs() < WindowWaitMs) {
        const HWND window = FindWindowW(windowClass, nullptr);
        if (window && IsWindowVisible(window))
            return window;
        Sleep(PollIntervalMs);
    }
    return nullptr;
}

// Milliseconds from CreateProcessW to the program's window shown; negative when it never showed.
double TimeOneStart(const std::wstring& exe, const wchar_t* windowClass)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = L"\"" + exe + L"\"";
    const Stopwatch stopwatch;
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started))
        return -1.0;
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    const HWND window = WaitForVisibleWindow(windowClass, stopwatch);
    const double elapsedMs = stopwatch.ElapsedMs();
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), ExitWaitMs) != WAIT_OBJECT_0)
        TerminateProcess(process.get(), 1);
    return window ? elapsedMs : -1.0;
}

int RunStartup(Report& report, const std::wstring& exe, const wchar_t* windowClass, DWORD count)
{
    Timings starts;
    for (DWORD i = 0; i < count; ++i) {
        const double ms = TimeOneStart(exe, windowClass);
        if (ms < 0)
            return Fail(report, L"the program did not show its window");
        starts.push_back(ms);
    }
    report.Add(L"startup_ms", JoinMillis(starts));
    return Done;
}

// Runs one command; false when its arguments are wrong.
bool Dispatch(int argc, wchar_t** argv, Report& report, int& code)
{
    const std::wstring command = argv[1];
    DWORD rounds = 0;
    DWORD port = 0;
    if ((command == L"check" || command == L"hash") && argc == 6 && ParseNumber(argv[5], rounds) && rounds > 0)
        code = (command == L"check" ? RunCheck : RunHash)(report, argv[3], argv[4], rounds);
    else if (command == L"download" && argc == 8 && ParseNumber(argv[4], port) && port <= 0xFFFF &&
             ParseNumber(argv[7], rounds) && rounds > 0)
        code = RunDownload(report, argv[3], static_cast<INTERNET_PORT>(port), argv[5], argv[6], rounds);
    else if (command == L"startup" && argc == 6 && ParseNumber(argv[5], rounds) && rounds > 0)
        code = RunStartup(report, argv[3], argv[4], rounds);
    else
        return false;
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fputws(L"usage: bench_harness.exe COMMAND OUT [ARGS...]; see harness.cpp\n", stderr);
        return Usage;
    }
    Report report;
    int code = Done;
    if (!Dispatch(argc, argv, report, code)) {
        fputws(L"bench_harness.exe: bad arguments; see harness.cpp\n", stderr);
        return Usage;
    }
    return report.WriteTo(argv[2]) ? code : Usage;
}
