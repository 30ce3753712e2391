#include "app/launcher_state.h"
#include "platform/file_state.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "tests/support/message_recorder.h"
#include "tests/support/test_files.h"
#include "tests/support/test_server.h"
#include "update/download.h"
#include "update/local_file_check.h"

#include <gtest/gtest.h>

namespace {

class LocalFileCheck : public ::testing::Test {
protected:
    void SetUp() override { InstallDirectory = install.path(); }
    void TearDown() override { InstallDirectory.clear(); }

    ManifestEntry Install(const std::string& path, const std::string& bytes)
    {
        CreateParentDirectories(LocalPathFor(path));
        WriteFileBytes(LocalPathFor(path), bytes);
        return {TestServer::Sha256Of(bytes), bytes.size(), path};
    }

    std::string RecordOf(const ManifestEntry& entry, const std::string& digest)
    {
        FileState state;
        EXPECT_TRUE(QueryFileState(LocalPathFor(entry.path), state));
        return MakeCacheRecord(state.size, state.lastWriteTime, digest);
    }

    void Check(const std::vector<ManifestEntry>& entries)
    {
        downloadList.clear();
        downloadTotal = 0;
        recorder.Clear();
        recorder.Run([&] { CheckLocalFiles(entries, cache, downloadList, downloadTotal); });
    }

    std::vector<std::string> SelectedPaths() const
    {
        std::vector<std::string> paths;
        for (const ManifestEntry& entry : downloadList)
            paths.push_back(entry.path);
        return paths;
    }

    TempDirectory install;
    MessageRecorder recorder;
    LauncherCache cache;
    DownloadList downloadList;
    uint64_t downloadTotal = 0;
};

}  // namespace

TEST_F(LocalFileCheck, FirstInstallationSelectsEverythingWithoutHashing)
{
    const std::vector<ManifestEntry> entries = {
        {std::string(64, 'a'), 10, "Brann.exe"},
        {std::string(64, 'b'), 20, "data/maps/ilha.map"},
        {std::string(64, 'c'), 0, "data/empty.bin"},
        {std::string(64, 'd'), 5, "sons/x.ogg"},
    };
    Check(entries);
    EXPECT_EQ(recorder.Log(),
              (std::vector<std::wstring>{L"progress:75", L"progress:150", L"progress:225", L"progress:300"}));
    EXPECT_EQ(SelectedPaths(),
              (std::vector<std::string>{"Brann.exe", "data/maps/ilha.map", "data/empty.bin", "sons/x.ogg"}));
    EXPECT_EQ(downloadTotal, 35u);
    EXPECT_TRUE(cache.empty());
}

TEST_F(LocalFileCheck, ValidCacheAcceptsFilesWithoutOpeningThem)
{
    const ManifestEntry game = Install("Brann.exe", "game");
    const ManifestEntry map = Install("ilha.map", PatternBytes(3000));
    cache[game.path] = RecordOf(game, game.hash);
    cache[map.path] = RecordOf(map, map.hash);
    const LauncherCache before = cache;

    // Held without sharing: any attempt to hash them would fail and select them.
    UniqueFile heldGame(CreateFileW((install / L"Brann.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueFile heldMap(CreateFileW((install / L"ilha.map").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(heldGame && heldMap);

    Check({game, map});
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"progress:150", L"progress:300"}));
    EXPECT_TRUE(downloadList.empty());
    EXPECT_EQ(cache, before);
}

TEST_F(LocalFileCheck, ChangedTimeWithSameContentIsHashedOnceThenTrusted)
{
    const ManifestEntry map = Install("maps/ilha.map", "same content");
    cache[map.path] = MakeCacheRecord(map.size, 12345, map.hash);  // an older write time

    Check({map});
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"progress:300", L"status:Conferindo arquivos...|maps/ilha.map"}));
    EXPECT_TRUE(downloadList.empty());
    EXPECT_EQ(cache[map.path], RecordOf(map, map.hash));

    Check({map});
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"progress:300"}));
    EXPECT_TRUE(downloadList.empty());
}

TEST_F(LocalFileCheck, DigestInUppercaseMatchesAndIsRecordedAsTheManifestWritesIt)
{
    ManifestEntry upper = Install("upper.dat", "abc");
    for (char& c : upper.hash)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    Check({upper});
    EXPECT_TRUE(downloadList.empty());
    EXPECT_EQ(cache["upper.dat"], RecordOf(upper, upper.hash));
    Check({upper});
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"progress:300"}));  // the record vouches: no hash
}

TEST_F(LocalFileCheck, ContentOrSizeThatDiffersSelectsTheFileAndRecordsWhatWasFound)
{
    const ManifestEntry changed = Install("changed.dat", "local content");
    ManifestEntry expected = changed;
    expected.hash = TestServer::Sha256Of("other content");
    ManifestEntry longer = Install("longer.dat", "abc");
    longer.size = 4;
    const ManifestEntry locked = Install("locked.dat", "held elsewhere");
    UniqueFile holder(CreateFileW((install / L"locked.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);

    Check({expected, longer, locked});
    EXPECT_EQ(SelectedPaths(), (std::vector<std::string>{"changed.dat", "longer.dat", "locked.dat"}));
    EXPECT_EQ(downloadTotal, expected.size + 4 + locked.size);
    EXPECT_EQ(recorder.Statuses(), (std::vector<std::wstring>{L"Conferindo arquivos...|changed.dat",
                                                              L"Conferindo arquivos...|locked.dat"}));
    EXPECT_EQ(cache["changed.dat"], RecordOf(changed, changed.hash));
    EXPECT_EQ(cache.count("longer.dat"), 0u);
    EXPECT_EQ(cache["locked.dat"], RecordOf(locked, ""));
}

TEST_F(LocalFileCheck, SecondEntryOfOnePathIsAcceptedThroughTheRecordTheFirstSet)
{
    const ManifestEntry file = Install("dup.txt", "twice listed");
    Check({file, file});
    EXPECT_EQ(recorder.Log(), (std::vector<std::wstring>{L"progress:150", L"status:Conferindo arquivos...|dup.txt",
                                                         L"progress:300"}));
    EXPECT_TRUE(downloadList.empty());
}

TEST_F(LocalFileCheck, EmptyFileIsComparedWithTheDigestOfNothing)
{
    const ManifestEntry empty = Install("empty.bin", "");
    EXPECT_EQ(empty.hash, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Check({empty});
    EXPECT_TRUE(downloadList.empty());
    EXPECT_EQ(cache["empty.bin"], RecordOf(empty, empty.hash));
}

TEST_F(LocalFileCheck, UnsafePathIsSelectedWithoutLookingOutsideTheInstallDirectory)
{
    // A matching file right where "../" would lead: it must not be found there.
    const std::wstring outside = install.path() + L"-outside.txt";
    WriteFileBytes(outside, "outside");
    const std::string outsideName = "../" + std::string(outside.begin() + outside.rfind(L'\\') + 1, outside.end());
    const ManifestEntry escape = {TestServer::Sha256Of("outside"), 7, outsideName};

    Check({escape, {escape.hash, 7, "C:/x"}});
    DeleteFileW(outside.c_str());
    EXPECT_EQ(SelectedPaths(), (std::vector<std::string>{outsideName, "C:/x"}));
    EXPECT_TRUE(recorder.Statuses().empty());
    EXPECT_TRUE(cache.empty());
}

TEST_F(LocalFileCheck, ProgressOfAThousandEntriesRunsFromZeroToThreeHundred)
{
    std::vector<ManifestEntry> entries;
    for (int i = 0; i < 1000; ++i)
        entries.push_back({std::string(64, 'a'), 1, "missing/" + std::to_string(i)});
    Check(entries);
    const std::vector<int> progress = recorder.ProgressValues();
    ASSERT_EQ(progress.size(), 1000u);
    EXPECT_EQ(std::vector<int>(progress.begin(), progress.begin() + 4), (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(progress[499], 150);
    EXPECT_EQ(progress.back(), 300);
    EXPECT_EQ(downloadList.size(), 1000u);
    EXPECT_EQ(downloadTotal, 1000u);
}

TEST_F(LocalFileCheck, NoEntriesPostsNothing)
{
    Check({});
    EXPECT_TRUE(recorder.Log().empty());
    EXPECT_TRUE(downloadList.empty());
}
