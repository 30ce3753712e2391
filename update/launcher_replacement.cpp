#include "update/launcher_replacement.h"

#include "platform/busy_file_retry.h"
#include "platform/handles.h"

#include <windows.h>

#include <atomic>

namespace {

enum class ReplacementState { Idle, Replacing, Ending };

std::atomic<ReplacementState> State{ReplacementState::Idle};

constexpr DWORD PollIntervalMs = 1;

bool Enter(ReplacementState from, ReplacementState to)
{
    return State.compare_exchange_strong(from, to);
}

// True once no other process has the file open: it then opens for deletion, shared with no one.
bool WaitUntilFree(const std::wstring& path)
{
    return RetryWhileBusy([&] {
        const UniqueFile file(
            CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
}

}  // namespace

LauncherReplacementMark::LauncherReplacementMark() : granted_(Enter(ReplacementState::Idle, ReplacementState::Replacing))
{
}

LauncherReplacementMark::~LauncherReplacementMark()
{
    if (granted_)
        State.store(ReplacementState::Idle);
}

// No time limit: each move of a replacement is bounded by its retries, and a close cut between them
// would leave no installed launcher.
LauncherReplacementBarrier::LauncherReplacementBarrier()
{
    while (!Enter(ReplacementState::Idle, ReplacementState::Ending))
        Sleep(PollIntervalMs);
}

LauncherReplacementBarrier::~LauncherReplacementBarrier()
{
    State.store(ReplacementState::Idle);
}

bool ReplaceInstalledLauncher(const std::wstring& temporaryPath, const std::wstring& installedPath)
{
    // Waited for before the mark, so a close meanwhile is not held up, and before anything moves, so
    // that a scanner holding the new launcher never leaves the installed name empty.
    if (!WaitUntilFree(temporaryPath))
        return false;
    const LauncherReplacementMark mark;
    if (!mark)
        return false;
    const std::wstring oldPath = installedPath + L".old";
    const bool movedAside = RetryWhileBusy(
        [&] { return MoveFileExW(installedPath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; });
    if (!movedAside && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;  // the running launcher stays installed
    // Once, not retried: the new launcher was free a moment ago, and no launcher is installed now.
    if (MoveFileExW(temporaryPath.c_str(), installedPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (movedAside)
        RetryWhileBusy([&] { return MoveFileExW(oldPath.c_str(), installedPath.c_str(), 0) != FALSE; });
    return false;
}
