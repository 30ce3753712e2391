#include "update/leftover_downloads.h"

#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

#include <map>
#include <set>
#include <string>

namespace {

void DeleteInFolder(const std::wstring& folder, const std::set<std::wstring>& listedNames)
{
    WIN32_FIND_DATAW found = {};
    UniqueFind find(FindFirstFileExW((folder + L"\\*" + TemporaryFileSuffix).c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
        return;
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name.size() <= TemporaryFileSuffixLength)
            continue;
        // ASCII case only, as listed names are compared elsewhere; a name that differs beyond that is kept.
        if (listedNames.count(AsciiLowercase(name.substr(0, name.size() - TemporaryFileSuffixLength)))) {
            const std::wstring path = folder + L"\\" + name;
            ClearReadOnly(path);
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(find.get(), &found));
}

}  // namespace

void DeleteLeftoverDownloads(const std::vector<ManifestEntry>& entries)
{
    std::map<std::wstring, std::set<std::wstring>> namesByFolder;
    for (const ManifestEntry& entry : entries) {
        if (!IsSafeRelativePath(entry.path))
            continue;
        const std::wstring local = LocalPathFor(entry.path);
        const size_t slash = local.rfind(L'\\');
        namesByFolder[local.substr(0, slash)].insert(AsciiLowercase(local.substr(slash + 1)));
    }
    for (const auto& [folder, names] : namesByFolder)
        DeleteInFolder(folder, names);
}
