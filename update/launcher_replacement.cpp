#include "update/launcher_replacement.h"

#include "platform/busy_file_retry.h"
#include "platform/whole_file.h"

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
    const LauncherReplacementMark mark;
    if (!mark)
        return false;
    const std::wstring oldPath = installedPath + L".old";
    const bool movedAside = RetryWhileBusy(
        [&] { return MoveFileExW(installedPath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; });
    if (MoveIntoPlace(temporaryPath, installedPath))
        return true;
    if (movedAside)
        RetryWhileBusy([&] { return MoveFileExW(oldPath.c_str(), installedPath.c_str(), 0) != FALSE; });
    return false;
}
