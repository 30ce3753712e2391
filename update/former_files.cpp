#include "update/former_files.h"

#include "app/launcher_state.h"
#include "platform/busy_file_retry.h"
#include "platform/file_state.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

#include <algorithm>
#include <cwchar>

namespace {

UniqueFile Open(const std::wstring& path, DWORD access, DWORD flags)
{
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The entry at `path` itself: a link, not what it points to.
UniqueFile OpenEntry(const std::wstring& path, DWORD access)
{
    return Open(path, access, FILE_FLAG_OPEN_REPARSE_POINT);
}

// Empty when the handle's path cannot be had.
std::wstring FinalPath(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0)
            return std::wstring();
        const bool fitted = length < path.size();
        path.resize(length);
        if (fitted)
            return path;
    }
}

bool IsDotEntry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// A read-only file refuses to be deleted; the flag goes first, through the same handle.
bool DeleteThroughHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {};  // zero times stay as they are
        basic.FileAttributes = information.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0)
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)))
            return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

}  // namespace

FormerFiles::FormerFiles(const std::vector<ManifestEntry>& entries, LauncherCache& cache)
    : entries_(entries), cache_(cache)
{
}

void FormerFiles::BuildIndex()
{
    if (indexed_)
        return;
    indexed_ = true;
    // Through the links that lead to it (a player may have moved it and left a junction): only then
    // does its final path begin those of the entries below it.
    const UniqueFile installDirectory = Open(InstallDirectory, FILE_READ_ATTRIBUTES, 0);
    if (installDirectory)
        finalInstallDirectory_ = FinalPath(installDirectory.get());
    // Full local paths, as the file system tells them apart as far as the launcher relies on it.
    for (const ManifestEntry& entry : entries_)
        listed_.insert(AsciiLowercase(LocalPathFor(entry.path)));
    for (const auto& [key, value] : cache_)
        if (IsSafeRelativePath(key))
            keys_[AsciiLowercase(LocalPathFor(key))].push_back(key);
}

bool FormerFiles::IsFormerName(const std::wstring& folded) const
{
    return keys_.count(folded) != 0 && listed_.count(folded) == 0;
}

// A former file stays the launcher's only as long as it is as the launcher left it: one the game or the
// player rewrote is theirs. A download left beside it is the launcher's as the file would be (listed
// names never end in the suffix); that file, if it is there, is judged on its own.
bool FormerFiles::IsOwnedFile(const std::wstring& path) const
{
    const std::wstring folded = AsciiLowercase(path);
    const size_t nameLength = folded.size() - std::min(folded.size(), TemporaryFileSuffixLength);
    if (folded.compare(nameLength, std::wstring::npos, TemporaryFileSuffix) == 0)
        return IsFormerName(folded.substr(0, nameLength));
    FileState state;
    if (!IsFormerName(folded) || !QueryFileState(path, state))
        return false;
    const std::vector<std::string>& keys = keys_.at(folded);
    return std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
        const std::string& record = cache_.at(key);
        return RecordDescribes(record, state, RecordedDigest(record));
    });
}

// DeleteFileW and RemoveDirectoryW take a path, and some file systems (Wine's, for one) resolve a
// symbolic link in it and delete its target: every entry is opened as itself and checked to be the
// one under the install directory that its path names. Empty otherwise.
UniqueFile FormerFiles::OpenItself(const std::wstring& path, DWORD access) const
{
    UniqueFile entry = OpenEntry(path, access);
    if (entry && (finalInstallDirectory_.empty() ||
                  !EqualsIgnoringAsciiCase(FinalPath(entry.get()),
                                           finalInstallDirectory_ + path.substr(InstallDirectory.size()))))
        entry.Close();
    return entry;
}

// A link or junction is the player's (the launcher makes none): it is neither removed nor entered, and
// it refuses the clearing, as does anything else the file system redirects.
bool FormerFiles::PlanFile(const std::wstring& path, DWORD attributes, Plan& plan)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsOwnedFile(path) || !OpenItself(path, FILE_READ_ATTRIBUTES))
        return false;
    plan.push_back({path, AsciiLowercase(path)});
    return true;
}

// Emptied first.
bool FormerFiles::PlanFolder(const std::wstring& path, DWORD attributes, Plan& plan)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !OpenItself(path, FILE_READ_ATTRIBUTES))
        return false;
    WIN32_FIND_DATAW found = {};
    const UniqueFind find(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
        return false;
    do {
        if (IsDotEntry(found.cFileName))
            continue;
        const std::wstring child = path + L"\\" + found.cFileName;
        const bool planned = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                 ? PlanFolder(child, found.dwFileAttributes, plan)
                                 : PlanFile(child, found.dwFileAttributes, plan);
        if (!planned)
            return false;
    } while (FindNextFileW(find.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    plan.push_back({path, std::wstring()});
    return true;
}

bool FormerFiles::CarryOut(const Plan& plan)
{
    for (const Removal& removal : plan) {
        const bool deleted = RetryWhileBusy([&] {
            const UniqueFile entry = OpenItself(removal.path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
            return entry && DeleteThroughHandle(entry.get());
        });
        if (!deleted)
            return false;
        if (removal.folded.empty())
            continue;
        // Gone from the disk, so gone from the cache: a later file of that name is not the launcher's.
        for (const std::string& key : keys_[removal.folded])
            cache_.erase(key);
        keys_.erase(removal.folded);
    }
    return true;
}

bool FormerFiles::ClearWayFor(const std::string& path)
{
    const std::wstring target = LocalPathFor(path);
    Plan plan;
    for (size_t slash = target.find(L'\\', InstallDirectory.size() + 1); slash != std::wstring::npos;
         slash = target.find(L'\\', slash + 1)) {
        const std::wstring folder = target.substr(0, slash);
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        // Nothing further down can be in the way; and what lies behind a link is not looked at.
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            BuildIndex();
            return PlanFile(folder, attributes, plan) && CarryOut(plan);
        }
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    BuildIndex();
    return PlanFolder(target, attributes, plan) && CarryOut(plan);
}
