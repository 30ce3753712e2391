#include "app/launcher_state.h"
#include "platform/busy_file_retry.h"
#include "platform/file_state.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "tests/support/message_recorder.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"
#include "update/download.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

namespace {

const std::wstring FailureHeading = L"Falha ao baixar um arquivo. Tente de novo.";

class Download : public ::testing::Test {
protected:
    void SetUp() override { InstallDirectory = install.path(); }
    void TearDown() override { InstallDirectory.clear(); }

    // Serves `bytes` at `path` and returns the entry that lists them.
    ManifestEntry Serve(const std::string& path, const std::string& bytes)
    {
        server.PutFile(path, bytes);
        return {TestServer::Sha256Of(bytes), bytes.size(), path};
    }

    bool Run(const DownloadList& list)
    {
        uint64_t total = 0;
        for (const ManifestEntry& entry : list)
            total += entry.size;
        bool result = false;
        recorder.Run([&] { result = DownloadFiles(list, list, total, client, cache); });
        return result;
    }

    std::string RecordOnDisk(const ManifestEntry& entry)
    {
        FileState state;
        EXPECT_TRUE(QueryFileState(LocalPathFor(entry.path), state));
        return MakeCacheRecord(entry.size, state.lastWriteTime, entry.hash);
    }

    TempDirectory install;
    TestServer server;
    MessageRecorder recorder;
    HttpClient client;
    LauncherCache cache;
};

}  // namespace

TEST_F(Download, FilesArriveInNestedDirectoriesFromTheirEncodedUrls)
{
    const ManifestEntry nested = Serve("a/b/c.bin", PatternBytes(70000));
    const ManifestEntry song = Serve("sons/A\xC3\xA7\xC3\xA3o 1.ogg", "ogg data");
    cache[nested.path] = "old|record|";

    ASSERT_TRUE(Run({nested, song}));
    EXPECT_TRUE(ReadFileBytes(LocalPathFor(nested.path)) == PatternBytes(70000));
    EXPECT_EQ(ReadFileBytes(install / L"sons\\A\u00E7\u00E3o 1.ogg"), "ogg data");
    EXPECT_FALSE(FileExists(LocalPathFor(nested.path) + L".download"));
    EXPECT_EQ(server.RequestLog(),
              (std::vector<std::string>{"GET /launcher/files/a/b/c.bin HTTP/1.1\tTolmekBrannLauncher/1.0",
                                        "GET /launcher/files/sons/A%C3%A7%C3%A3o%201.ogg HTTP/1.1\tTolmekBrannLauncher/1.0"}));
    EXPECT_EQ(recorder.Statuses(),
              (std::vector<std::wstring>{L"Baixando 1 de 2|a/b/c.bin", L"Baixando 2 de 2|sons/A\u00E7\u00E3o 1.ogg"}));
    EXPECT_EQ(cache, (LauncherCache{{nested.path, RecordOnDisk(nested)}, {song.path, RecordOnDisk(song)}}));
}

TEST_F(Download, ProgressRunsFromThreeHundredToOneThousandOverTheBytesOfAllFiles)
{
    const ManifestEntry first = Serve("one.bin", PatternBytes(1000000));
    const ManifestEntry second = Serve("two.bin", PatternBytes(2000000));
    ASSERT_TRUE(Run({first, second}));

    // Values between the two headings belong to the first file.
    const std::vector<std::wstring>& log = recorder.Log();
    const auto secondHeading = std::find(log.begin(), log.end(), L"status:Baixando 2 de 2|two.bin");
    ASSERT_NE(secondHeading, log.end());
    EXPECT_EQ(*(secondHeading - 1), L"progress:533");
    EXPECT_EQ(log.back(), L"progress:1000");
    const std::vector<int> values = recorder.ProgressValues();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_GE(values.size(), 3000000u / 65536);
    // With 64 KiB reads the first values are 315 for the first file and 548 for the second.
    EXPECT_EQ(values.front(), 315);
    EXPECT_EQ(*(secondHeading + 1), L"progress:548");
}

TEST_F(Download, NotFoundOnTheFirstFileEndsTheDownloadThere)
{
    const ManifestEntry missing = {std::string(64, 'a'), 10, "data/missing.bin"};
    const ManifestEntry later = Serve("later.bin", "never requested");
    WriteFileBytes(install / L"old.txt", "");

    EXPECT_FALSE(Run({missing, later}));
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"status:Baixando 1 de 2|data/missing.bin",
                                                         L"status:" + FailureHeading + L"|data/missing.bin", L"done"}));
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>{"/launcher/files/data/missing.bin"});
    EXPECT_FALSE(FileExists(LocalPathFor(missing.path) + L".download"));
    EXPECT_FALSE(FileExists(LocalPathFor(later.path)));
    EXPECT_TRUE(cache.empty());
}

TEST_F(Download, ZeroSizeFilesArriveWithoutProgress)
{
    const ManifestEntry a = Serve("empty/a.txt", "");
    const ManifestEntry b = Serve("empty/b.txt", "");
    WriteFileBytes(install / L"old-content.txt", "old");
    ASSERT_TRUE(Run({a, b}));
    EXPECT_TRUE(recorder.ProgressValues().empty());
    EXPECT_TRUE(FileExists(LocalPathFor(a.path)));
    EXPECT_EQ(ReadFileBytes(LocalPathFor(b.path)), "");
    EXPECT_EQ(cache[a.path], RecordOnDisk(a));
}

TEST_F(Download, ExistingTemporaryFileAndTargetAreReplaced)
{
    const ManifestEntry entry = Serve("Brann.exe", "new game");
    WriteFileBytes(install / L"Brann.exe", "old game, longer than the new one");
    WriteFileBytes(install / L"Brann.exe.download", PatternBytes(200000));
    ASSERT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "new game");
    EXPECT_FALSE(FileExists(install / L"Brann.exe.download"));
}

TEST_F(Download, BodyOfWrongLengthOrContentNeverReplacesTheTarget)
{
    const struct {
        const char* faults;
        bool wrongDigest;
    } cases[] = {
        {R"({"/launcher/files/game.pak": {"extra_bytes": 1}})", false},
        {R"({"/launcher/files/game.pak": {"extra_bytes": 100000}})", false},
        {R"({"/launcher/files/game.pak": {"drop_bytes": 1}})", false},
        {R"({"/launcher/files/game.pak": {"cut_after": 70000}})", false},
        {"{}", true},
    };
    for (const auto& c : cases) {
        ManifestEntry entry = Serve("game.pak", PatternBytes(150000));
        if (c.wrongDigest)
            entry.hash = TestServer::Sha256Of(PatternBytes(149999) + "!");
        server.SetFaults(c.faults);
        WriteFileBytes(install / L"game.pak", "old");
        cache = {{"game.pak", "1|2|old"}};
        recorder.Clear();

        EXPECT_FALSE(Run({entry})) << c.faults;
        EXPECT_EQ(ReadFileBytes(install / L"game.pak"), "old") << c.faults;
        EXPECT_FALSE(FileExists(install / L"game.pak.download")) << c.faults;
        EXPECT_EQ(cache, (LauncherCache{{"game.pak", "1|2|old"}})) << c.faults;
        ASSERT_GE(recorder.Log().size(), 2u);
        EXPECT_EQ(recorder.Log().end()[-2], L"status:" + FailureHeading + L"|game.pak") << c.faults;
        EXPECT_EQ(recorder.Log().back(), L"done") << c.faults;
    }
}

TEST_F(Download, BodyThatStopsHalfWayWithTheConnectionHeldOpenEndsAsAFailedFile)
{
    const ManifestEntry entry = Serve("game.pak", PatternBytes(300000));
    server.SetFaults(R"({"/launcher/files/game.pak": {"stall_after": 150000}})");
    WriteFileBytes(install / L"game.pak", "old");

    bool result = true;
    const Stopwatch stopwatch;
    const bool ended = recorder.RunWithin([&] { result = DownloadFiles({entry}, {entry}, entry.size, client, cache); },
                                          StalledRunLimitMs, [this] { server.SetFaults("{}"); });
    std::printf("body stalled half-way: %s after %.1f s\n", ended ? "ended" : "did not end, the server let go",
                stopwatch.ElapsedMs() / 1000);
    std::fflush(stdout);

    EXPECT_TRUE(ended);
    EXPECT_FALSE(result);
    EXPECT_EQ(recorder.Statuses().back(), FailureHeading + L"|game.pak");
    EXPECT_EQ(recorder.Log().back(), L"done");
    EXPECT_EQ(ReadFileBytes(install / L"game.pak"), "old");
    EXPECT_FALSE(FileExists(install / L"game.pak.download"));
    EXPECT_TRUE(cache.empty());
}

TEST_F(Download, TargetHeldPastTheRetriesFailsAndKeepsItsContentAndRecord)
{
    const ManifestEntry entry = Serve("Brann.exe", "new game");
    WriteFileBytes(install / L"Brann.exe", "running game");
    cache = {{"Brann.exe", "12|34|running"}};
    UniqueFile running(CreateFileW((install / L"Brann.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(running);

    const Stopwatch stopwatch;
    EXPECT_FALSE(Run({entry}));
    // The tick count that bounds the retries moves in steps of about 16 ms.
    EXPECT_GE(stopwatch.ElapsedMs(), BusyFileRetryLimitMs - 50);
    EXPECT_LT(stopwatch.ElapsedMs(), HeldFileFailsWithinMs);
    running.Close();
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "running game");
    EXPECT_FALSE(FileExists(install / L"Brann.exe.download"));
    EXPECT_EQ(cache, (LauncherCache{{"Brann.exe", "12|34|running"}}));
    EXPECT_EQ(recorder.Statuses().back(), FailureHeading + L"|Brann.exe");

    // Once the holder has gone, the next start goes through.
    EXPECT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "new game");
}

TEST_F(Download, ReadOnlyTargetAndLeftoverTemporaryFileAreReplaced)
{
    const ManifestEntry entry = Serve("data/disc.pak", "new data");
    CreateParentDirectories(install / L"data\\disc.pak");
    for (const wchar_t* name : {L"data\\disc.pak", L"data\\disc.pak.download"}) {
        WriteFileBytes(install / name, "from the disc");
        ASSERT_TRUE(SetFileAttributesW((install / name).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    ASSERT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"data\\disc.pak"), "new data");
    EXPECT_FALSE(FileExists(install / L"data\\disc.pak.download"));
}

TEST_F(Download, DirectoryInThePlaceOfTheFileIsKeptAsideWithWhatItHolds)
{
    const ManifestEntry entry = Serve("mapa.dat", "map");
    CreateDirectoryW((install / L"mapa.dat").c_str(), nullptr);
    WriteFileBytes(install / L"mapa.dat\\inside.txt", "player's file");
    cache = {{"mapa.dat", "1|2|x"}};

    EXPECT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"launcher.kept\\mapa.dat\\inside.txt"), "player's file");
    EXPECT_EQ(ReadFileBytes(install / L"mapa.dat"), "map");
    EXPECT_FALSE(FileExists(install / L"mapa.dat.download"));
}

TEST_F(Download, DigestInUppercaseIsVerifiedAndRecordedAsWritten)
{
    ManifestEntry entry = Serve("Brann.exe", "game");
    for (char& c : entry.hash)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "game");
    EXPECT_EQ(cache["Brann.exe"], RecordOnDisk(entry));
}

TEST_F(Download, ListedLauncherReplacesTheInstalledCopyByRenamingItAside)
{
    const ManifestEntry entry = Serve("tolmekbrannlauncher.EXE", "new launcher");
    WriteFileBytes(install / L"TolmekBrannLauncher.exe", "running launcher");
    WriteFileBytes(install / L"TolmekBrannLauncher.exe.old", "an older one");

    ASSERT_TRUE(Run({entry}));
    EXPECT_EQ(ReadFileBytes(install / L"TolmekBrannLauncher.exe"), "new launcher");
    EXPECT_EQ(ReadFileBytes(install / L"TolmekBrannLauncher.exe.old"), "running launcher");
    EXPECT_FALSE(FileExists(install / L"TolmekBrannLauncher.exe.download"));
}

TEST_F(Download, TemporaryFileThatCannotBeCreatedFailsTheFileInsteadOfPassingItOver)
{
    const ManifestEntry blocked = Serve("blocked.bin", "content");
    const ManifestEntry after = Serve("after.bin", "content");
    CreateDirectoryW((install / L"blocked.bin.download").c_str(), nullptr);

    EXPECT_FALSE(Run({blocked, after}));
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"status:" + FailureHeading + L"|blocked.bin", L"done"}));
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_FALSE(FileExists(install / L"blocked.bin"));
}

TEST_F(Download, UnsafePathFailsBeforeAnythingIsCreated)
{
    for (const char* path : {"../fora.txt", "C:/x", "sub/../../fora.txt", "/raiz.txt"}) {
        const ManifestEntry entry = {std::string(64, 'a'), 4, path};
        recorder.Clear();
        EXPECT_FALSE(Run({entry})) << path;
        EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"status:" + FailureHeading + L"|" +
                                                                 std::wstring(path, path + strlen(path)),
                                                             L"done"}))
            << path;
    }
    // A NUL would cut the wide path to "Brann.exe": that file is never touched.
    WriteFileBytes(install / L"Brann.exe", "game");
    recorder.Clear();
    EXPECT_FALSE(Run({{std::string(64, 'a'), 4, std::string("Brann.exe\0x", 11)}}));
    EXPECT_EQ(ReadFileBytes(install / L"Brann.exe"), "game");
    EXPECT_FALSE(FileExists(install / L"Brann.exe.download"));
    EXPECT_EQ(recorder.Log().back(), L"done");
    EXPECT_FALSE(FileExists(install.path() + L"\\..\\fora.txt.download"));
    EXPECT_FALSE(FileExists(install.path() + L"\\sub"));
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_TRUE(cache.empty());
}

TEST_F(Download, EmptyListPostsNothingAndSucceeds)
{
    EXPECT_TRUE(Run({}));
    EXPECT_TRUE(recorder.Log().empty());
    EXPECT_TRUE(server.RequestedPaths().empty());
}

TEST(CreateParentDirectories, CreatesEveryMissingDirectoryButNotTheFileName)
{
    TempDirectory base;
    CreateParentDirectories(base / L"data\\maps\\ilha.map");
    EXPECT_EQ(GetFileAttributesW((base / L"data\\maps").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(FileExists(base / L"data\\maps\\ilha.map"));
}

TEST(RetryWhileBusy, RepeatsOnlyAFailureOfAHeldFileAndOnlyUntilTheBound)
{
    const struct {
        const char* name;
        DWORD error;   // what a failed attempt leaves as the last error; ERROR_SUCCESS: it sets none
        int failures;  // attempts that fail before one succeeds
        bool succeeds;
        int attempts;  // 0: as many as fit in the bound
    } cases[] = {
        {"an error other than a held file's", ERROR_FILE_NOT_FOUND, 1, false, 1},
        {"a failure that sets no error", ERROR_SUCCESS, 1, false, 1},
        {"held, then free", ERROR_SHARING_VIOLATION, 1, true, 2},
        {"held past the bound", ERROR_ACCESS_DENIED, INT_MAX, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int attempts = 0;
        SetLastError(ERROR_LOCK_VIOLATION);  // as an earlier call may have left it
        const Stopwatch stopwatch;
        const bool succeeded = RetryWhileBusy([&] {
            if (++attempts > c.failures)
                return true;
            if (c.error != ERROR_SUCCESS)
                SetLastError(c.error);
            return false;
        });
        const double elapsedMs = stopwatch.ElapsedMs();
        EXPECT_EQ(succeeded, c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.attempts != 0) {
            EXPECT_EQ(attempts, c.attempts);
        } else {
            EXPECT_GE(elapsedMs, BusyFileRetryLimitMs - 50);
        }
        EXPECT_LT(elapsedMs, BusyFileRetryLimitMs + BusyFileLongestBackoffMs);
    }
}
