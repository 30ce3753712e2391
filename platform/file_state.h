#pragma once

#include <cstdint>
#include <string>

// Size and last-write FILETIME count from one attribute query; no file is opened.
struct FileState {
    uint64_t size = 0;
    uint64_t lastWriteTime = 0;
};

// False when the path cannot be queried (missing, denied, ...).
bool QueryFileState(const std::wstring& path, FileState& state);
