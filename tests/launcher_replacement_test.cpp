#include "tests/support/test_files.h"
#include "update/launcher_replacement.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Far below the two seconds of a wait that times out, far above a loaded machine's hiccups.
constexpr ULONGLONG AtOnceMs = 1000;

ULONGLONG MillisecondsToRaiseBarrier()
{
    const ULONGLONG start = GetTickCount64();
    const LauncherReplacementBarrier barrier;
    return GetTickCount64() - start;
}

}  // namespace

TEST(LauncherReplacement, CloseWaitsForAReplacementUnderWayAndReturnsAtOnceOtherwise)
{
    EXPECT_LT(MillisecondsToRaiseBarrier(), AtOnceMs);

    std::atomic<bool> started{false}, finished{false};
    std::thread worker([&] {
        const LauncherReplacementMark mark;
        ASSERT_TRUE(mark);
        started = true;
        Sleep(300);
        finished = true;
    });
    while (!started)
        Sleep(1);
    {
        const LauncherReplacementBarrier barrier;
        EXPECT_TRUE(finished);
    }
    worker.join();
    EXPECT_LT(MillisecondsToRaiseBarrier(), AtOnceMs);
}

TEST(LauncherReplacement, CloseWaitsAtMostTwoSecondsForAReplacementThatNeverEnds)
{
    const LauncherReplacementMark mark;
    ASSERT_TRUE(mark);
    const ULONGLONG waited = MillisecondsToRaiseBarrier();
    EXPECT_GE(waited, LauncherReplacementWaitMs - 50);  // the tick count moves in steps of about 16 ms
    EXPECT_LT(waited, LauncherReplacementWaitMs + 10000);
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
