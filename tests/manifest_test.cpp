#include "app/launcher_state.h"
#include "platform/paths.h"
#include "tests/support/mutation.h"
#include "update/manifest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

const std::string DigestA = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string DigestB = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

void ExpectEntry(const ManifestEntry& entry, const std::string& hash, uint64_t size, const std::string& path)
{
    EXPECT_EQ(entry.hash, hash);
    EXPECT_EQ(entry.size, size);
    EXPECT_EQ(entry.path, path);
}

}  // namespace

TEST(Manifest, HandWrittenManifestYieldsExactlyTheRecordLinesInOrder)
{
    const std::string text =
        "# comment line\r\n"
        "\r\n"
        "\n"
        "\r\r\n"
        + DigestA + " 0 data/empty.bin\r\n"
        + DigestB + " 3 maps/Ilha Grande/porto.map\n"
        + DigestA + " 12  two blanks\n"
        + DigestA + " 12\ttab.dat\n"
        + DigestA + " 77abc\n"
        + DigestA + " 5 \n"
        + DigestA + " 5\n"
        + DigestA + " lots of words\n"
        + DigestA + "\n"
        + DigestA + " 18446744073709551616 too-big.bin\n"
        + DigestA + " 18446744073709551615 largest.bin\n"
        + DigestA + " -1 negative.bin\n"
        + " #" + DigestA + " 4 blank-first.txt\n"
        + "ABCDEF 9 same.txt\n"
        + DigestB + " 9 same.txt\n"
        + DigestB + " 8 trailing blanks  \n"
        + DigestB + " 1 last-without-newline";

    const auto entries = ParseManifest(text);
    ASSERT_EQ(entries.size(), 11u);
    ExpectEntry(entries[0], DigestA, 0, "data/empty.bin");
    ExpectEntry(entries[1], DigestB, 3, "maps/Ilha Grande/porto.map");
    ExpectEntry(entries[2], DigestA, 12, " two blanks");
    ExpectEntry(entries[3], DigestA, 12, "\ttab.dat");
    ExpectEntry(entries[4], DigestA, 77, "abc");
    ExpectEntry(entries[5], DigestA, 18446744073709551615ull, "largest.bin");
    ExpectEntry(entries[6], "#" + DigestA, 4, "blank-first.txt");
    ExpectEntry(entries[7], "ABCDEF", 9, "same.txt");
    ExpectEntry(entries[8], DigestB, 9, "same.txt");
    ExpectEntry(entries[9], DigestB, 8, "trailing blanks  ");
    ExpectEntry(entries[10], DigestB, 1, "last-without-newline");
}

TEST(Manifest, CrLfAndLfLineEndsGiveTheSameEntries)
{
    const std::string lf = DigestA + " 1 a.txt\n" + DigestB + " 2 b/c d.txt\n";
    std::string crlf;
    for (char c : lf)
        crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);

    const auto fromLf = ParseManifest(lf);
    const auto fromCrLf = ParseManifest(crlf);
    ASSERT_EQ(fromLf.size(), 2u);
    ASSERT_EQ(fromCrLf.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        ExpectEntry(fromCrLf[i], fromLf[i].hash, fromLf[i].size, fromLf[i].path);
}

TEST(Manifest, ByteOrderMarkAtTheVeryStartIsDropped)
{
    const std::string bom = "\xEF\xBB\xBF";
    EXPECT_TRUE(ParseManifest(bom + "# still a comment\n").empty());

    const auto entries = ParseManifest(bom + DigestA + " 5 first.txt\n" + bom + DigestB + " 6 second.txt\n");
    ASSERT_EQ(entries.size(), 2u);
    ExpectEntry(entries[0], DigestA, 5, "first.txt");
    // Only the text's own start carries a mark; anywhere else it is data.
    ExpectEntry(entries[1], bom + DigestB, 6, "second.txt");
}

TEST(Manifest, TextWithoutRecordsYieldsNoEntries)
{
    EXPECT_TRUE(ParseManifest("").empty());
    EXPECT_TRUE(ParseManifest("# only\n#comments\r\n\r\n\r\r\n\n").empty());
    EXPECT_TRUE(ParseManifest("\n\n\n").empty());
}

TEST(Manifest, MutatedManifestsNeverCrashAndEverySafeEntryResolvesInsideTheInstallDirectory)
{
    constexpr int Rounds = 100000;
    constexpr DWORD FullPathCapacity = 32768;
    InstallDirectory = L"C:\\users\\jogador\\AppData\\Local\\TolmekBrann";
    const std::wstring inside = InstallDirectory + L"\\";
    const std::string valid = DigestA + " 0 Brann.exe\n" + DigestB + " 300000 maps/Ilha Grande/porto.map\r\n" +
                              "# comment\n" + DigestA + " 5000 sons/A\xC3\xA7\xC3\xA3o 1.ogg\n" + DigestB +
                              " 12 data\\config.ini\n";
    std::mt19937 random(20261209);
    std::vector<wchar_t> full(FullPathCapacity);
    int safeEntries = 0;
    for (int round = 0; round < Rounds; ++round) {
        for (const ManifestEntry& entry : ParseManifest(MutatedCopy(valid, random))) {
            if (!IsSafeRelativePath(entry.path))
                continue;
            ++safeEntries;
            const std::wstring local = LocalPathFor(entry.path);
            const DWORD length = GetFullPathNameW(local.c_str(), FullPathCapacity, full.data(), nullptr);
            ASSERT_GT(length, 0u) << entry.path;
            ASSERT_LT(length, FullPathCapacity) << entry.path;
            const std::wstring resolved(full.data(), length);
            // Resolving changes nothing: no parent, no dropped dot or blank, no device.
            ASSERT_EQ(resolved, local) << entry.path;
            ASSERT_EQ(resolved.compare(0, inside.size(), inside), 0) << entry.path;
            ASSERT_GT(resolved.size(), inside.size()) << entry.path;
        }
    }
    EXPECT_GT(safeEntries, Rounds);  // most mutants still list safe files: the check above ran
    InstallDirectory.clear();
}
