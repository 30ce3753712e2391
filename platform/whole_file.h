#pragma once

#include "platform/handles.h"

#include <string>

// Every file the launcher writes is first written whole beside its target, under the target's name
// followed by this suffix, and then moved over it.
constexpr wchar_t TemporaryFileSuffix[] = L".download";
constexpr size_t TemporaryFileSuffixLength = sizeof(TemporaryFileSuffix) / sizeof(wchar_t) - 1;

// Whether a write waits out a file another process holds (see busy_file_retry.h) or fails at once.
enum class WhenBusy { Wait, GiveUp };

// False when the file cannot be opened or read to its end, the last error saying why (ERROR_FILE_TOO_LARGE
// past 2 GiB); `bytes` then holds nothing useful.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// Writes `bytes` to `path` + ".download", flushes it to the disk and moves it over `path` (read-only
// or not), so that a kill or a power loss leaves either the old file or the new one, never a part.
// On failure the temporary file is deleted and `path` stays as it was.
bool ReplaceWholeFile(const std::wstring& path, const std::string& bytes, WhenBusy whenBusy = WhenBusy::Wait);

// Closes a file just written, after its data has reached the disk; false when the flush failed.
bool FlushAndClose(UniqueFile& file);

// Creates `path` empty for writing, shared with no one, its read-only flag cleared first; retried
// while another process holds it unless told to give up. Empty when it cannot be had.
UniqueFile CreateTemporaryFile(const std::wstring& path, WhenBusy whenBusy = WhenBusy::Wait);

// Renames `from` over `to`, the rename itself written through to the disk; retried while another
// process holds either unless told to give up.
bool MoveIntoPlace(const std::wstring& from, const std::wstring& to, WhenBusy whenBusy = WhenBusy::Wait);

// A read-only file can be neither replaced nor written: a copy from a disc or a folder option may
// have left the flag on a game file. Directories and missing paths are left alone.
void ClearReadOnly(const std::wstring& path);
