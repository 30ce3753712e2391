#include "platform/busy_file_retry.h"
#include "platform/handles.h"
#include "tests/support/stopwatch.h"
#include "tests/support/test_files.h"
#include "update/launcher_replacement.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Far above a loaded machine's hiccups.
constexpr ULONGLONG AtOnceMs = 1000;
constexpr DWORD ScanMs = 1500;

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

    // A few milliseconds as a rule; seconds while a scanner holds the installed launcher.
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

TEST(LauncherReplacement, RunningCopyIsMovedAsideOnlyOnceTheNewOneIsFreeAndStaysWhenItCannotBe)
{
    const struct {
        const char* name;
        const wchar_t* held;  // suffix of the installed name that a scanner holds, or none
        DWORD holdMs;         // INFINITE: past the replacement
        bool installedBefore;
        bool replaced;
    } cases[] = {
        {"new copy held for a moment", L".download", ScanMs, true, true},
        {"new copy held for good", L".download", INFINITE, true, false},
        {"running copy held for good", L"", INFINITE, true, false},
        {"no installed copy", nullptr, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDirectory install;
        const std::wstring installed = install / L"TolmekBrannLauncher.exe";
        const std::wstring fresh = installed + L".download";
        if (c.installedBefore)
            WriteFileBytes(installed, "running launcher");
        WriteFileBytes(fresh, "new launcher");
        UniqueFile scanner(c.held ? CreateFileW((installed + c.held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr)
                                  : INVALID_HANDLE_VALUE);
        ASSERT_EQ(static_cast<bool>(scanner), c.held != nullptr);
        // Watches the installed name for as long as the scanner holds its file.
        std::atomic<bool> returned{false}, nameEmpty{false};
        std::thread watcher([&] {
            const ULONGLONG letGo = GetTickCount64() + c.holdMs;
            while (scanner && !returned && GetTickCount64() < letGo) {
                if (c.installedBefore && !FileExists(installed))
                    nameEmpty = true;
                Sleep(1);
            }
            scanner.Close();
        });
        const Stopwatch stopwatch;
        const bool replaced = ReplaceInstalledLauncher(fresh, installed);
        const double elapsedMs = stopwatch.ElapsedMs();
        returned = true;
        watcher.join();

        EXPECT_EQ(replaced, c.replaced);
        EXPECT_FALSE(nameEmpty);
        if (c.holdMs == INFINITE) {
            EXPECT_GE(elapsedMs, BusyFileRetryLimitMs - 50);
            EXPECT_LT(elapsedMs, HeldFileFailsWithinMs);
        }
        if (c.replaced) {
            EXPECT_EQ(ReadFileBytes(installed), "new launcher");
            EXPECT_FALSE(FileExists(fresh));
            EXPECT_EQ(FileExists(installed + L".old"), c.installedBefore);
        } else {
            EXPECT_EQ(ReadFileBytes(installed), "running launcher");
            EXPECT_EQ(ReadFileBytes(fresh), "new launcher");  // the caller's to delete
            EXPECT_FALSE(FileExists(installed + L".old"));
        }
    }
}
