#include "tests/support/test_files.h"
#include "update/launcher_replacement.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Far above a loaded machine's hiccups.
constexpr ULONGLONG AtOnceMs = 1000;

ULONGLONG MillisecondsToRaiseBarrier()
{
    const ULONGLONG start = GetTickCount64();
    const LauncherReplacementBarrier barrier;
    return GetTickCount64() - start;
}

}  // namespace

TEST(LauncherReplacement, CloseWaitsForAReplacementUnderWayHoweverLongAndReturnsAtOnceOtherwise)
{
    EXPECT_LT(MillisecondsToRaiseBarrier(), AtOnceMs);

    // A few milliseconds as a rule; seconds while a scanner holds the new launcher.
    for (const DWORD replacementMs : {300, 3000}) {
        std::atomic<bool> started{false}, finished{false};
        std::thread worker([&] {
            const LauncherReplacementMark mark;
            ASSERT_TRUE(mark);
            started = true;
            Sleep(replacementMs);
            finished = true;
        });
        while (!started)
            Sleep(1);
        {
            const LauncherReplacementBarrier barrier;
            EXPECT_TRUE(finished) << replacementMs;
        }
        worker.join();
        EXPECT_LT(MillisecondsToRaiseBarrier(), AtOnceMs);
    }
}

TEST(LauncherReplacement, NoReplacementBeginsOnceTheProcessEnds)
{
    TempDirectory install;
    const std::wstring installed = install / L"TolmekBrannLauncher.exe";
    WriteFileBytes(installed, "running launcher");
    WriteFileBytes(installed + L".download", "new launcher");
    {
        const LauncherReplacementBarrier barrier;
        EXPECT_FALSE(LauncherReplacementMark());
        EXPECT_FALSE(ReplaceInstalledLauncher(installed + L".download", installed));
        EXPECT_EQ(ReadFileBytes(installed), "running launcher");
        EXPECT_FALSE(FileExists(installed + L".old"));
    }
    EXPECT_TRUE(ReplaceInstalledLauncher(installed + L".download", installed));
    EXPECT_EQ(ReadFileBytes(installed), "new launcher");
    EXPECT_EQ(ReadFileBytes(installed + L".old"), "running launcher");
}
