#pragma once

#include <string>

// Sets InstallDirectory to the user's local application data folder + "\TolmekBrann" and creates it.
// False when that folder cannot be had; nothing else is judged.
bool PrepareInstallDirectory();

// InstallDirectory + "\TolmekBrannLauncher.exe".
std::wstring InstalledLauncherPath();

// Copies the running executable over the installed copy unless the installed copy is what runs or
// already holds the same bytes, through a temporary file moved into place, in one attempt. Failures
// are silent: the installed copy stays as it was.
void InstallSelf();

// Deletes the copy an update renamed out of the way ("TolmekBrannLauncher.exe.old"); silent when it
// is missing or still running.
void DeleteReplacedLauncher();

// Whole-string comparison that ignores the case of A to Z only, as the file system sees these paths.
bool SamePathIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);
