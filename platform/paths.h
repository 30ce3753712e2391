#pragma once

#include <string>

// The local file of a manifest path: InstallDirectory, "\", the path with every "/" turned into "\".
std::wstring LocalPathFor(const std::string& relativePath);

// False for a path that could name something outside the install directory, or an NTFS stream:
// absolute, leading separator, any ":", or an empty, "." or ".." component ("/" and "\" both separate).
bool IsSafeRelativePath(const std::string& relativePath);
