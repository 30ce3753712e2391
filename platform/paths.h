#pragma once

#include <string>

// The local file of a manifest path: InstallDirectory, "\", the path with every "/" turned into "\".
std::wstring LocalPathFor(const std::string& relativePath);

// False for a path the launcher must never touch: one that could name something outside the install
// directory, a stream or a device, a name Windows would silently change, or one of the launcher's own
// files. "/" and "\" both separate. Refused: an absolute path or a leading separator; any ":"; bytes
// below 0x20 and 0x7F; any of < > " | ? *; text that is not UTF-8; an empty component or one ending
// in "." or " "; a device name (CON, NUL, COM1, LPT¹, CONIN$, ...) before a component's first dot;
// a last component ending in ".download"; "launcher.cache", "launcher.serial",
// "TolmekBrannLauncher.exe.old" and "launcher.kept" as the first component. Letter case never matters.
bool IsSafeRelativePath(const std::string& relativePath);
