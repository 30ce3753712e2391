#pragma once

#include <string>

// Puts a downloaded launcher in place of the installed one, which may be running: its image cannot be
// overwritten, but it can be renamed aside to ".old" (deleted by a later start) before the new one
// is moved in. Nothing moves until no other process holds the new one, and then the two moves
// follow each other at once; one that cannot be moved aside stays installed, and a failed second
// move puts it back. False when the new launcher is not in place, also when the process has begun
// to end.
bool ReplaceInstalledLauncher(const std::wstring& temporaryPath, const std::wstring& installedPath);

// Marks the two moves of a replacement, between which there is no installed launcher. Not granted
// while the process is ending.
class LauncherReplacementMark {
public:
    LauncherReplacementMark();
    ~LauncherReplacementMark();
    LauncherReplacementMark(const LauncherReplacementMark&) = delete;
    LauncherReplacementMark& operator=(const LauncherReplacementMark&) = delete;
    explicit operator bool() const { return granted_; }

private:
    bool granted_;
};

// Held by the close path while the process ends, so that the desktop shortcut never points at
// nothing: made, it waits for a replacement under way to finish, however long its moves take (a few
// milliseconds, or seconds while a scanner holds the installed launcher); with none under way it is
// made at once. No replacement begins while it lives.
class LauncherReplacementBarrier {
public:
    LauncherReplacementBarrier();
    ~LauncherReplacementBarrier();
    LauncherReplacementBarrier(const LauncherReplacementBarrier&) = delete;
    LauncherReplacementBarrier& operator=(const LauncherReplacementBarrier&) = delete;
};
