#include "platform/handles.h"
#include "tests/support/mutation.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"
#include "update/launcher_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

TEST(LauncherCache, MissingFileLoadsEmptyAndSaveCreatesIt)
{
    TempDirectory dir;
    const std::wstring path = dir / L"launcher.cache";
    EXPECT_TRUE(LoadLauncherCache(path).empty());

    SaveLauncherCache(path, {{"a.txt", "1|2|x"}});
    EXPECT_EQ(ReadFileBytes(path), "a.txt\r\n1|2|x\r\n");
}

TEST(LauncherCache, LoadPairsLinesDropsAnUnpairedLastLineAndKeepsTheLaterValue)
{
    TempDirectory dir;
    const std::wstring path = dir / L"launcher.cache";

    WriteFileBytes(path, "a.txt\r\n1|2|x\r\ndangling key\r\n");
    EXPECT_EQ(LoadLauncherCache(path), (LauncherCache{{"a.txt", "1|2|x"}}));

    WriteFileBytes(path, "k\n1|1|old\nK\nupper\nk\n2|2|new\n\n\n");
    const LauncherCache loaded = LoadLauncherCache(path);
    EXPECT_EQ(loaded, (LauncherCache{{"", ""}, {"K", "upper"}, {"k", "2|2|new"}}));

    SaveLauncherCache(path, loaded);
    EXPECT_EQ(ReadFileBytes(path), "\r\n\r\nK\r\nupper\r\nk\r\n2|2|new\r\n");
}

TEST(LauncherCache, SaveWritesKeysInByteOrderWithCrLfAndLoadsThemBackUnchanged)
{
    TempDirectory dir;
    const std::wstring path = dir / L"launcher.cache";
    const LauncherCache cache = {
        {"zeta/\xC3\xA1gua.ogg", MakeCacheRecord(10, 20, "ab")},
        {"Brann.exe", MakeCacheRecord(0, 133500000000000000ull, "")},
        {"alpha dir/file one.dat", "not a record at all"},
        {"old/no longer listed.bin", MakeCacheRecord(18446744073709551615ull, 1, "ff")},
    };
    SaveLauncherCache(path, cache);
    EXPECT_EQ(ReadFileBytes(path),
              "Brann.exe\r\n0|133500000000000000|\r\n"
              "alpha dir/file one.dat\r\nnot a record at all\r\n"
              "old/no longer listed.bin\r\n18446744073709551615|1|ff\r\n"
              "zeta/\xC3\xA1gua.ogg\r\n10|20|ab\r\n");
    EXPECT_EQ(LoadLauncherCache(path), cache);
}

TEST(LauncherCache, SaveThatCannotOpenTheFileLeavesItAsItWas)
{
    TempDirectory dir;
    const std::wstring path = dir / L"launcher.cache";
    WriteFileBytes(path, "a\r\nb\r\n");
    {
        UniqueFile holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        const Stopwatch stopwatch;
        SaveLauncherCache(path, {{"c", "d"}});
        EXPECT_LT(stopwatch.ElapsedMs(), HeldFileFailsWithinMs);
    }
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\n");
}

TEST(LauncherCache, MakeCacheRecordJoinsDecimalSizeTimeAndDigest)
{
    EXPECT_EQ(MakeCacheRecord(0, 0, ""), "0|0|");
    EXPECT_EQ(MakeCacheRecord(1048576, 133500000000000000ull, "e3b0"), "1048576|133500000000000000|e3b0");
}

namespace {

// The file's lines, each ended by LF or CR LF or by the end of the file.
std::set<std::string> LinesOf(const std::string& text)
{
    std::set<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.insert(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST(LauncherCache, MutatedCacheFilesNeverCrashAndLoadOnlyKeysAndValuesThatAreLinesOfTheFile)
{
    constexpr int Rounds = 1500;  // each writes a file: a few seconds under Wine
    TempDirectory dir;
    const std::wstring path = dir / L"launcher.cache";
    const std::string valid =
        "Brann.exe\r\n0|133500000000000000|e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\r\n"
        "maps/Ilha Grande/porto.map\r\n300000|133500000000000001|"
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n"
        "sons/A\xC3\xA7\xC3\xA3o 1.ogg\n5000|1|\n";
    std::mt19937 random(20261209);
    size_t loaded = 0;
    for (int round = 0; round < Rounds; ++round) {
        const std::string text = MutatedCopy(valid, random);
        WriteFileBytes(path, text);
        const LauncherCache cache = LoadLauncherCache(path);
        const std::set<std::string> lines = LinesOf(text);
        for (const auto& [key, value] : cache) {
            ASSERT_EQ(lines.count(key), 1u) << text;
            ASSERT_EQ(lines.count(value), 1u) << text;
        }
        loaded += cache.size();
    }
    EXPECT_GT(loaded, size_t{Rounds});  // most mutants still hold records: the check above ran
}
