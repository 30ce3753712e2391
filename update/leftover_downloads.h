#pragma once

#include "update/manifest.h"

#include <vector>

// Deletes the "<path>.download" files that an interrupted run left beside listed files. A later run
// may find such a file current and never download it again, so nothing else would ever remove them.
// One directory listing per folder of the manifest; other files are never touched.
void DeleteLeftoverDownloads(const std::vector<ManifestEntry>& entries);
