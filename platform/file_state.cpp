#include "platform/file_state.h"

#include <windows.h>

bool QueryFileState(const std::wstring& path, FileState& state)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes))
        return false;
    state.size = (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    state.lastWriteTime = (static_cast<uint64_t>(attributes.ftLastWriteTime.dwHighDateTime) << 32) |
                          attributes.ftLastWriteTime.dwLowDateTime;
    return true;
}
