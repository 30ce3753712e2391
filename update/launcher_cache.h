#pragma once

#include "platform/file_state.h"

#include <cstdint>
#include <map>
#include <string>

// Manifest path -> "size|last-write FILETIME|digest". Only a hint: a stale or damaged value costs a
// hash of the file, never a wrong accept.
using LauncherCache = std::map<std::string, std::string>;

// Never fails: a missing or unreadable file gives an empty map.
LauncherCache LoadLauncherCache(const std::wstring& path);
// Rewrites the file whole through "<path>.download"; failures are not reported and leave the old file.
void SaveLauncherCache(const std::wstring& path, const LauncherCache& cache);

std::string MakeCacheRecord(uint64_t size, uint64_t lastWriteTime, const std::string& digest);

// True when `record` was made from a file of this size and last-write time, with `digest`: the file is
// then as the launcher last hashed or wrote it.
bool RecordDescribes(const std::string& record, const FileState& state, const std::string& digest);
// What follows the record's last "|".
std::string RecordedDigest(const std::string& record);
