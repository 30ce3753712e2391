#pragma once

#include "platform/handles.h"
#include "update/launcher_cache.h"
#include "update/manifest.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// The launcher's own files of an earlier layout, cleared out of a listed file's way when a file has
// become a folder or a folder a file. A file is the launcher's own when it is a key of the cache, not
// listed now and of the size and last-write time its record holds; anything else (a player's file, a
// former file rewritten since, a file the cache does not know, a link) is never deleted.
// Made once per download: the manifest and the cache are indexed on first need only.
class FormerFiles {
public:
    FormerFiles(const std::vector<ManifestEntry>& entries, LauncherCache& cache);

    // Deletes a file standing where one of the folders of `path` must be, or a folder standing at
    // `path` with all it holds, when all of it is the launcher's own (empty folders aside; a link is
    // never entered). Everything is checked before anything is deleted, and the keys of deleted files
    // leave the cache, which the caller saves only at the end of a good run: a kill half-way leaves
    // files that the next start still knows as its own. False when something else stands in the way
    // or a deletion failed.
    bool ClearWayFor(const std::string& path);

private:
    struct Removal {
        std::wstring path;
        std::wstring folded;  // empty for a folder or a link
    };
    using Plan = std::vector<Removal>;

    void BuildIndex();
    bool IsFormerName(const std::wstring& folded) const;
    bool IsOwnedFile(const std::wstring& path) const;
    UniqueFile OpenItself(const std::wstring& path, DWORD access) const;
    bool PlanFile(const std::wstring& path, DWORD attributes, Plan& plan);
    bool PlanFolder(const std::wstring& path, DWORD attributes, Plan& plan);
    bool CarryOut(const Plan& plan);

    const std::vector<ManifestEntry>& entries_;
    LauncherCache& cache_;
    bool indexed_ = false;
    std::wstring finalInstallDirectory_;
    std::set<std::wstring> listed_;                          // lowercased local paths of the manifest
    std::map<std::wstring, std::vector<std::string>> keys_;  // lowercased local path -> the cache keys naming it
};
