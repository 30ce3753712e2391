#include "platform/file_digest.h"
#include "platform/handles.h"
#include "platform/sha256.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

namespace {


UniqueFile OpenElsewhere(const std::wstring& path, DWORD access, DWORD share)
{
    return UniqueFile(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

TEST(FileDigest, MatchesKnownSha256AcrossReadBlockBoundaries)
{
    TempDirectory dir;
    const struct {
        size_t size;
        const char* digest;
    } cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {1048576, "06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286"},
        {1048577, "0d09f3eabb5c78e5d435c41e3b3755f1c4d038657f739d0be0083c24e71235df"},
        {3 * 1048576 + 5, "aacbf7fdf74148b96f47b5a44d8be9f8d52b59c291c5f60cfb68671b58059e56"},
    };
    for (const auto& c : cases) {
        const std::wstring path = dir / (L"pattern-" + std::to_wstring(c.size));
        WriteFileBytes(path, PatternBytes(c.size));
        EXPECT_EQ(FileSha256(path), c.digest) << c.size;
    }
}

TEST(FileDigest, FileThatCannotBeOpenedGivesEmptyText)
{
    TempDirectory dir;
    EXPECT_EQ(FileSha256(dir / L"missing.bin"), "");
    EXPECT_EQ(FileSha256(dir.path()), "");

    const std::wstring path = dir / L"busy.bin";
    WriteFileBytes(path, "abc");
    {
        UniqueFile exclusive = OpenElsewhere(path, GENERIC_READ, 0);
        ASSERT_TRUE(exclusive);
        EXPECT_EQ(FileSha256(path), "");
    }
    {
        UniqueFile writer = OpenElsewhere(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(writer);
        EXPECT_EQ(FileSha256(path), "");
    }
    EXPECT_EQ(FileSha256(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FileDigest, ReadFailingPartWayGivesEmptyTextNotADigestOfPart)
{
    TempDirectory dir;
    const std::wstring path = dir / L"locked-tail.bin";
    WriteFileBytes(path, PatternBytes(3 * 1048576));
    UniqueFile locker = OpenElsewhere(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(locker);
    OVERLAPPED fromSecondBlock = {};
    fromSecondBlock.Offset = 1048576;
    ASSERT_TRUE(LockFileEx(locker.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 2 * 1048576, 0,
                           &fromSecondBlock));
    EXPECT_EQ(FileSha256(path), "");
    UnlockFileEx(locker.get(), 0, 2 * 1048576, 0, &fromSecondBlock);
}

TEST(FileDigest, HashThatCanNoLongerBeFinishedGivesEmptyText)
{
    Sha256 hash;
    hash.Update("abc", 3);
    EXPECT_EQ(hash.Finish(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash.Finish(), "");
}
