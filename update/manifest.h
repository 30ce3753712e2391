#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestEntry {
    std::string hash;  // as written; compared with a hex digest ignoring letter case
    uint64_t size = 0;
    std::string path;  // UTF-8, relative to the install directory, "/" between parts
};

// One entry per record line, in line order; lines that give no entry are passed over. A UTF-8
// byte-order mark at the very start is dropped.
std::vector<ManifestEntry> ParseManifest(const std::string& text);
