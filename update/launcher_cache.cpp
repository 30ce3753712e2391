#include "update/launcher_cache.h"

#include <fstream>

// Text mode: CRLF on disk, and CRLF or bare LF read back as one line end.
LauncherCache LoadLauncherCache(const std::wstring& path)
{
    LauncherCache cache;
    std::ifstream file(path.c_str());
    std::string key;
    std::string value;
    while (std::getline(file, key) && std::getline(file, value))
        cache[key] = value;
    return cache;
}

void SaveLauncherCache(const std::wstring& path, const LauncherCache& cache)
{
    std::ofstream file(path.c_str());
    for (const auto& [key, value] : cache)
        file << key << '\n' << value << '\n';
}

std::string MakeCacheRecord(uint64_t size, uint64_t lastWriteTime, const std::string& digest)
{
    return std::to_string(size) + '|' + std::to_string(lastWriteTime) + '|' + digest;
}
