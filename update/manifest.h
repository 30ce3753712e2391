#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestEntry {
    std::string hash;  // as written; compared byte for byte with a lowercase hex digest
    uint64_t size = 0;
    std::string path;  // UTF-8, relative to the install directory, "/" between parts
};

// One entry per record line, in line order; lines that give no entry are passed over.
std::vector<ManifestEntry> ParseManifest(const std::string& text);
