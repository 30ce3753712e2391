#pragma once

#include "platform/http_client.h"
#include "update/launcher_cache.h"
#include "update/local_file_check.h"

#include <cstdint>
#include <string>
#include <vector>

// Fetches each listed file into "<target>.download", verifies its size and SHA-256 while it streams,
// moves it over the target and records it in the cache; what stands in its way after a layout change
// is first cleared, the launcher's own files deleted and the rest kept aside (`entries`: the whole
// manifest). Progress 300 to 1000. The first
// file that fails ends the run: its failure heading and WM_LAUNCHER_DONE are posted, and false comes back.
bool DownloadFiles(const std::vector<ManifestEntry>& entries, const DownloadList& downloadList,
                   uint64_t downloadTotal, HttpClient& client, LauncherCache& cache);

// Creates every directory on the way to the file `path`; existing ones are passed over.
void CreateParentDirectories(const std::wstring& path);
