#include "update/launcher_cache.h"

#include "platform/whole_file.h"

// CRLF on disk; CRLF or a bare LF read back as one line end.
LauncherCache LoadLauncherCache(const std::wstring& path)
{
    LauncherCache cache;
    std::string text;
    if (!ReadWholeFile(path, text))
        return cache;
    std::string key;
    bool haveKey = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (haveKey)
            cache[key] = std::move(line);
        else
            key = std::move(line);
        haveKey = !haveKey;
        start = end + 1;
    }
    return cache;
}

// Written whole beside the old file and moved over it: a kill or power loss leaves the old cache,
// which costs a hash, never a wrong accept.
void SaveLauncherCache(const std::wstring& path, const LauncherCache& cache)
{
    std::string text;
    for (const auto& [key, value] : cache)
        text += key + "\r\n" + value + "\r\n";
    ReplaceWholeFile(path, text);
}

std::string MakeCacheRecord(uint64_t size, uint64_t lastWriteTime, const std::string& digest)
{
    return std::to_string(size) + '|' + std::to_string(lastWriteTime) + '|' + digest;
}

bool RecordDescribes(const std::string& record, const FileState& state, const std::string& digest)
{
    return record == MakeCacheRecord(state.size, state.lastWriteTime, digest);
}

std::string RecordedDigest(const std::string& record)
{
    return record.substr(record.rfind('|') + 1);
}
