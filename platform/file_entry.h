#pragma once

#include "platform/handles.h"

#include <string>

// A file, folder or link as itself: opened, renamed and deleted through one handle, so that nothing is
// done to what a link points to, and checked through that handle to be the entry its path names.

// The entry at `path`, shared with everyone; a link is opened as the link where the system can
// (Wine opens what its links point to, which FinalPath then shows).
UniqueFile OpenEntry(const std::wstring& path, DWORD access);

// The path by which the handle's entry is reached once every link on the way is followed; empty when
// it cannot be had.
std::wstring FinalPath(HANDLE entry);

// A link is a reparse point whose tag is a name surrogate: a symbolic link, a junction, a mount point.
// Other reparse points (compressed, deduplicated, cloud files) are ordinary files and folders.
bool IsLink(const WIN32_FIND_DATAW& found);
// The same for the entry at `path` of the given attributes; only a reparse point is looked at further.
bool IsLink(const std::wstring& path, DWORD attributes);

// Renames the handle's entry (opened for DELETE) to the full path `to`; never over an existing entry.
bool RenameThroughHandle(HANDLE entry, const std::wstring& to);

// Deletes the handle's entry (opened for DELETE, FILE_READ_ATTRIBUTES and FILE_WRITE_ATTRIBUTES), read-only
// or not. Its name goes at once where the system can, even while another process holds it open with
// delete sharing (as a scanner does), so that its folder can go and a file of its name can come.
bool DeleteThroughHandle(HANDLE entry);
