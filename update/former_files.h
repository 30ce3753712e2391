#pragma once

#include "platform/handles.h"
#include "update/launcher_cache.h"
#include "update/manifest.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// The player's kept files: what stood in a listed file's way and was not the launcher's own.
constexpr wchar_t KeptFolderName[] = L"launcher.kept";

// Clears a listed file's way when a file has become a folder or a folder a file. The launcher's own
// files of the earlier layout are deleted: a file is its own when it is a key of the cache, not listed
// now and of the size and last-write time its record holds. Anything else in the way (a player's file,
// a former file rewritten since, a file the cache does not know, a link, a folder holding any of these)
// is moved as itself into KeptFolderName under the same relative path, so that the update goes on and
// loses nothing of the player's. Made once per download: the manifest and the cache are indexed on
// first need only.
class FormerFiles {
public:
    FormerFiles(const std::vector<ManifestEntry>& entries, LauncherCache& cache);

    // Clears a file standing where one of the folders of `path` must be, or a folder standing at `path`:
    // first the launcher's own files in it are deleted (with its empty folders; a link is never entered),
    // then what remains of it is moved aside whole. Everything is looked at before anything is done, and
    // the keys of what went leave the cache, which the caller saves only at the end of a good run: a kill
    // half-way leaves files that the next start still knows as its own. False when a deletion or the
    // move failed.
    bool ClearWayFor(const std::string& path);

private:
    struct Removal {
        std::wstring path;
        std::wstring folded;  // empty for a folder
    };
    struct Plan {
        std::vector<Removal> removals;  // what lies in a folder before the folder
        std::wstring keptAside;         // empty when all of it was the launcher's own
    };

    void BuildIndex();
    bool IsFormerName(const std::wstring& folded) const;
    bool IsOwnedFile(const std::wstring& path) const;
    UniqueFile OpenItself(const std::wstring& path, DWORD access) const;
    bool PlanOwnParts(const std::wstring& path, DWORD attributes, bool link, Plan& plan);
    bool Clear(const std::wstring& path, DWORD attributes, bool link);
    bool KeepAside(const std::wstring& path);
    void Forget(const std::wstring& folded);

    const std::vector<ManifestEntry>& entries_;
    LauncherCache& cache_;
    bool indexed_ = false;
    std::wstring finalInstallDirectory_;
    std::set<std::wstring> listed_;                          // lowercased local paths of the manifest
    std::map<std::wstring, std::vector<std::string>> keys_;  // lowercased local path -> the cache keys naming it
};
