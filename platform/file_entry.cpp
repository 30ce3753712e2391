#include "platform/file_entry.h"

#include <cstddef>
#include <cstring>
#include <vector>

// MinGW declares these only for builds aimed at Windows 10 1607 and later; the values are Windows'.
#if _WIN32_WINNT < 0x0A000002
constexpr FILE_INFO_BY_HANDLE_CLASS FileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
#endif
#ifndef FILE_DISPOSITION_FLAG_POSIX_SEMANTICS
#define FILE_DISPOSITION_FLAG_DELETE 0x00000001
#define FILE_DISPOSITION_FLAG_POSIX_SEMANTICS 0x00000002
struct FILE_DISPOSITION_INFO_EX {
    DWORD Flags;
};
#endif

UniqueFile OpenEntry(const std::wstring& path, DWORD access)
{
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

std::wstring FinalPath(HANDLE entry)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(entry, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0)
            return std::wstring();
        const bool fitted = length < path.size();
        path.resize(length);
        if (fitted)
            return path;
    }
}

bool IsLink(const WIN32_FIND_DATAW& found)
{
    // The tag is only there for a reparse point. Wine reports its symbolic links with none, and no
    // Windows tag is 0.
    const DWORD tag = found.dwReserved0;
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

bool IsLink(const std::wstring& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // A search for the exact name reports the entry itself, with its tag, and follows nothing.
    WIN32_FIND_DATAW found = {};
    const UniqueFind find(FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    return !find || IsLink(found);  // gone or unreadable since: not entered
}

bool RenameThroughHandle(HANDLE entry, const std::wstring& to)
{
    // The structure ends in the name's first character; the name runs on past it, with its terminator.
    const size_t nameBytes = (to.size() + 1) * sizeof(wchar_t);
    const size_t size = offsetof(FILE_RENAME_INFO, FileName) + nameBytes;
    std::vector<FILE_RENAME_INFO> buffer(size / sizeof(FILE_RENAME_INFO) + 1);  // zeroed: ReplaceIfExists false
    FILE_RENAME_INFO& info = buffer.front();
    info.FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(reinterpret_cast<char*>(&info) + offsetof(FILE_RENAME_INFO, FileName), to.c_str(), nameBytes);
    return SetFileInformationByHandle(entry, FileRenameInfo, &info, static_cast<DWORD>(size)) != FALSE;
}

bool DeleteThroughHandle(HANDLE entry)
{
    // A read-only file refuses to be deleted; the flag goes first, through the same handle.
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(entry, &information))
        return false;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {};  // zero times stay as they are
        basic.FileAttributes = information.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic)))
            return false;
    }
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(entry, FileDispositionInfoEx, &posix, sizeof(posix)))
        return true;
    // Refused before Windows 10 1607, on file systems without it (FAT) and by Wine: the name then stays
    // until the last handle closes.
    FILE_DISPOSITION_INFO classic = {TRUE};
    return SetFileInformationByHandle(entry, FileDispositionInfo, &classic, sizeof(classic)) != FALSE;
}
