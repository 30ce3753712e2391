#include "update/local_file_check.h"

#include "app/worker_messages.h"
#include "platform/file_digest.h"
#include "platform/file_state.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"

constexpr uint64_t CheckProgressEnd = 300;

// True when the installed file matches the entry; may hash it and record the hash.
static bool IsCurrent(const ManifestEntry& entry, LauncherCache& cache)
{
    // An unsafe path is never looked at: the download refuses it.
    if (!IsSafeRelativePath(entry.path))
        return false;
    const std::wstring localPath = LocalPathFor(entry.path);
    FileState state;
    if (!QueryFileState(localPath, state) || state.size != entry.size)
        return false;

    const auto record = cache.find(entry.path);
    if (record != cache.end() && RecordDescribes(record->second, state, entry.hash))
        return true;

    PostStatus(L"Conferindo arquivos...", Utf8ToWide(entry.path));
    const std::string digest = FileSha256(localPath);
    // Recorded whatever the outcome, so the record always describes the file as it was found; a match
    // keeps the manifest's own spelling, so that the next start's exact comparison above vouches for it.
    const bool current = MatchesListedDigest(digest, entry.hash);
    cache[entry.path] = MakeCacheRecord(state.size, state.lastWriteTime, current ? entry.hash : digest);
    return current;
}

void CheckLocalFiles(const std::vector<ManifestEntry>& entries, LauncherCache& cache, DownloadList& downloadList,
                     uint64_t& downloadTotal)
{
    const uint64_t count = entries.size();
    for (uint64_t index = 0; index < count; ++index) {
        PostProgress(static_cast<int>(CheckProgressEnd * (index + 1) / count));
        const ManifestEntry& entry = entries[index];
        if (!IsCurrent(entry, cache)) {
            downloadList.push_back(entry);
            downloadTotal += entry.size;
        }
    }
}
