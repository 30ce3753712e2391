#pragma once

#include "update/launcher_cache.h"
#include "update/manifest.h"

#include <cstdint>
#include <vector>

// The entries to fetch, in manifest order.
using DownloadList = std::vector<ManifestEntry>;

// Selects every entry whose installed file is missing, of another size or of another digest; hashes
// only what the cache cannot vouch for, and records each hash in the cache. Progress 0 to 300.
void CheckLocalFiles(const std::vector<ManifestEntry>& entries, LauncherCache& cache, DownloadList& downloadList,
                     uint64_t& downloadTotal);
