#include "update/former_files.h"

#include "app/launcher_state.h"
#include "platform/busy_file_retry.h"
#include "platform/file_entry.h"
#include "platform/file_state.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"
#include "update/download.h"

#include <algorithm>
#include <cwchar>

namespace {

// Beyond this many kept entries of one name, something is amiss: the move fails instead.
constexpr int MostKeptCopies = 1000;

bool IsDotEntry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// "cfg\teclas.ini" -> "cfg\teclas (2).ini"; a name without an extension ("vozes", ".cfg") is numbered at its end.
std::wstring NumberedPath(const std::wstring& path, int number)
{
    if (number == 1)
        return path;
    const size_t nameStart = path.rfind(L'\\') + 1;
    size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot <= nameStart)
        dot = path.size();
    return path.substr(0, dot) + L" (" + std::to_wstring(number) + L")" + path.substr(dot);
}

bool IsNameTaken(DWORD error)
{
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
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
    const UniqueFile installDirectory(CreateFileW(InstallDirectory.c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
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

// DeleteFileW, RemoveDirectoryW and MoveFileExW take a path, and some file systems (Wine's, for one)
// resolve a symbolic link in it and delete or move its target: every entry is opened as itself and
// checked to be the one under the install directory that its path names. Empty otherwise.
UniqueFile FormerFiles::OpenItself(const std::wstring& path, DWORD access) const
{
    UniqueFile entry = OpenEntry(path, access);
    if (entry && (finalInstallDirectory_.empty() ||
                  !EqualsIgnoringAsciiCase(FinalPath(entry.get()),
                                           finalInstallDirectory_ + path.substr(InstallDirectory.size()))))
        entry.Close();
    return entry;
}

// True when the entry is the launcher's own through and through: it is then planned for deletion, all
// of it. Otherwise only its own files and its folders that hold nothing else are. A link is the
// player's (the launcher makes none): it is never entered, and goes aside with what holds it.
bool FormerFiles::PlanOwnParts(const std::wstring& path, DWORD attributes, bool link, Plan& plan)
{
    if (link || !OpenItself(path, FILE_READ_ATTRIBUTES))
        return false;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!IsOwnedFile(path))
            return false;
        plan.removals.push_back({path, AsciiLowercase(path)});
        return true;
    }
    WIN32_FIND_DATAW found = {};
    const UniqueFind find(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
        return false;
    bool own = true;
    do {
        if (!IsDotEntry(found.cFileName))
            own = PlanOwnParts(path + L"\\" + found.cFileName, found.dwFileAttributes, IsLink(found), plan) && own;
    } while (FindNextFileW(find.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES || !own)
        return false;
    plan.removals.push_back({path, std::wstring()});
    return true;
}

bool FormerFiles::Clear(const std::wstring& path, DWORD attributes, bool link)
{
    BuildIndex();
    Plan plan;
    if (!PlanOwnParts(path, attributes, link, plan))
        plan.keptAside = path;
    for (const Removal& removal : plan.removals) {
        const bool deleted = RetryWhileBusy([&] {
            const UniqueFile entry = OpenItself(removal.path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
            return entry && DeleteThroughHandle(entry.get());
        });
        if (!deleted)
            return false;
        // Gone from the disk, so gone from the cache: a later file of that name is not the launcher's.
        if (!removal.folded.empty())
            Forget(removal.folded);
    }
    return plan.keptAside.empty() || KeepAside(plan.keptAside);
}

// Moved, never copied: the player's bytes, links as links, whatever their size.
bool FormerFiles::KeepAside(const std::wstring& path)
{
    const std::wstring kept = InstallDirectory + L"\\" + KeptFolderName + path.substr(InstallDirectory.size());
    CreateParentDirectories(kept);
    const bool moved = RetryWhileBusy([&] {
        const UniqueFile entry = OpenItself(path, DELETE | FILE_READ_ATTRIBUTES);
        if (!entry)
            return false;
        for (int number = 1; number <= MostKeptCopies; ++number) {
            if (RenameThroughHandle(entry.get(), NumberedPath(kept, number)))
                return true;
            if (!IsNameTaken(GetLastError()))
                return false;
        }
        return false;
    });
    if (moved)
        Forget(AsciiLowercase(path));
    return moved;
}

// The cache keys of the entry at `folded` and of everything below it.
void FormerFiles::Forget(const std::wstring& folded)
{
    for (auto it = keys_.lower_bound(folded); it != keys_.end() && it->first.compare(0, folded.size(), folded) == 0;) {
        if (it->first.size() > folded.size() && it->first[folded.size()] != L'\\') {
            ++it;
            continue;
        }
        for (const std::string& key : it->second)
            cache_.erase(key);
        it = keys_.erase(it);
    }
}

bool FormerFiles::ClearWayFor(const std::string& path)
{
    const std::wstring target = LocalPathFor(path);
    for (size_t slash = target.find(L'\\', InstallDirectory.size() + 1); slash != std::wstring::npos;
         slash = target.find(L'\\', slash + 1)) {
        const std::wstring folder = target.substr(0, slash);
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        // Nothing further down can be in the way.
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return true;
        const bool link = IsLink(folder, attributes);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Clear(folder, attributes, link);
        // What lies behind a link to a folder is the player's, and not looked at.
        if (link)
            return true;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    return Clear(target, attributes, IsLink(target, attributes));
}
