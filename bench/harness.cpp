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
#include "bench/stopwatch.h"
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
#include <iterator>
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

std::vector<std::wstring> LocalPaths(const std::vector<ManifestEntry>& entries)
{
    std::vector<std::wstring> paths;
    for (const ManifestEntry& entry : entries)
        paths.push_back(LocalPathFor(entry.path));
    return paths;
}

// Reads the installation's manifest; false when it lists nothing.
bool LoadInstallation(const std::wstring& installDir, const std::wstring& manifestPath,
                      std::vector<ManifestEntry>& entries)
{
    InstallDirectory = installDir;
    entries = ParseManifest(ReadFileBytes(manifestPath));
    return !entries.empty();
}

int RunCheck(Report& report, const std::wstring& installDir, const std::wstring& manifestPath, DWORD rounds)
{
    std::vector<ManifestEntry> entries;
    WindowHost host;
    if (!LoadInstallation(installDir, manifestPath, entries) || !host.Ready())
        return Fail(report, L"no manifest entries or no window");
    const std::vector<std::wstring> paths = LocalPaths(entries);

    // A first pass without a cache hashes every file and leaves the cache as a finished run does.
    LauncherCache validCache;
    DownloadList selected;
    uint64_t total = 0;
    host.TimeOnWorker([&] { CheckLocalFiles(entries, validCache, selected, total); });
    if (!selected.empty())
        return Fail(report, L"the installation does not match its manifest");

    Timings launcher, bare, posting, postingChanges;
    for (DWORD round = 0; round < rounds; ++round) {
        LauncherCache cache = validCache;
        launcher.push_back(host.TimeOnWorker([&] { CheckLocalFiles(entries, cache, selected, total); }));
        if (!selected.empty() || cache != validCache)
            return Fail(report, L"the cache did not vouch for every file");
        std::vector<size_t> answered(3);
        bare.push_back(host.TimeOnWorker([&] { answered[0] = QueryAttributesLoop(paths); }));
        posting.push_back(host.TimeOnWorker([&] {
            answered[1] = QueryAttributesAndPostLoop(paths, MainWindow, WM_LAUNCHER_PROGRESS, Posting::EveryValue);
        }));
        postingChanges.push_back(host.TimeOnWorker([&] {
            answered[2] = QueryAttributesAndPostLoop(paths, MainWindow, WM_LAUNCHER_PROGRESS, Posting::ChangedValues);
        }));
        if (std::count(answered.begin(), answered.end(), paths.size()) != 3)
            return Fail(report, L"a file of the installation could not be queried");
    }
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    report.Add(L"launcher_ms", JoinMillis(launcher));
    report.Add(L"bare_ms", JoinMillis(bare));
    report.Add(L"bare_posting_ms", JoinMillis(posting));
    report.Add(L"bare_posting_changes_ms", JoinMillis(postingChanges));
    return Done;
}

int RunHash(Report& report, const std::wstring& installDir, const std::wstring& manifestPath, DWORD rounds)
{
    std::vector<ManifestEntry> entries;
    WindowHost host;
    if (!LoadInstallation(installDir, manifestPath, entries) || !host.Ready())
        return Fail(report, L"no manifest entries or no window");
    const std::vector<std::wstring> paths = LocalPaths(entries);
    const uint64_t bytes = TotalSize(entries);

    Timings launcher, bare, hashOnly;
    for (DWORD round = 0; round < rounds; ++round) {
        LauncherCache cache;
        DownloadList selected;
        uint64_t total = 0;
        launcher.push_back(host.TimeOnWorker([&] { CheckLocalFiles(entries, cache, selected, total); }));
        if (!selected.empty() || cache.size() != entries.size())
            return Fail(report, L"the check did not hash every file to its manifest digest");
        std::vector<std::string> digests;
        bare.push_back(host.TimeOnWorker([&] { digests = ReadAndHashLoop(paths); }));
        for (size_t i = 0; i < entries.size(); ++i) {
            if (digests[i] != entries[i].hash)
                return Fail(report, L"the bare loop did not hash every file to its manifest digest");
        }
        bool hashed = false;
        hashOnly.push_back(host.TimeOnWorker([&] { hashed = HashInMemory(bytes); }));
        if (!hashed)
            return Fail(report, L"the hashing service failed");
    }
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    report.AddNumber(L"bytes", static_cast<long long>(bytes));
    report.Add(L"launcher_ms", JoinMillis(launcher));
    report.Add(L"bare_ms", JoinMillis(bare));
    report.Add(L"hash_only_ms", JoinMillis(hashOnly));
    return Done;
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
    const WinHttpLoopTarget target{host, port, MainWindow, WM_LAUNCHER_PROGRESS, bytes};
    const BodyHandling variants[] = {BodyHandling::Write, BodyHandling::WriteAndHash, BodyHandling::WriteHashAndPost};

    Timings launcher;
    std::vector<Timings> bare(std::size(variants));
    for (DWORD round = 0; round < rounds; ++round) {
        LauncherCache cache;
        bool downloaded = false;
        launcher.push_back(window.TimeOnWorker([&] {
            HttpClient client(host, port);
            downloaded = DownloadFiles(entries, bytes, client, cache);
        }));
        if (!downloaded || cache.size() != entries.size())
            return Fail(report, L"the launcher's download failed");
        for (size_t v = 0; v < std::size(variants); ++v) {
            std::vector<long long> sizes;
            bare[v].push_back(window.TimeOnWorker(
                [&] { sizes = WinHttpLoop(target, urlPaths, bareFiles, digests, variants[v]); }));
            if (!BodiesArrivedWhole(sizes, entries))
                return Fail(report, L"the bare loop's download failed");
        }
    }
    report.AddNumber(L"files", static_cast<long long>(entries.size()));
    report.AddNumber(L"bytes", static_cast<long long>(bytes));
    report.Add(L"launcher_ms", JoinMillis(launcher));
    report.Add(L"bare_ms", JoinMillis(bare[0]));
    report.Add(L"bare_hashing_ms", JoinMillis(bare[1]));
    report.Add(L"bare_hashing_posting_ms", JoinMillis(bare[2]));
    return Done;
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
