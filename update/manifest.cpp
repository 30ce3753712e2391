#include "update/manifest.h"

#include <sstream>
#include <string_view>

static constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// Digest, size, then the rest of the line as the path (one separating blank removed).
static bool ParseRecord(std::istringstream& line, ManifestEntry& entry)
{
    line >> entry.hash >> std::ws;
    // Extraction would wrap "-1" to 2^64 - 1; a byte count has no sign.
    if (line.peek() == '-')
        return false;
    line >> entry.size;
    std::getline(line, entry.path);
    if (!line.fail() && !entry.path.empty() && entry.path[0] == ' ')
        entry.path.erase(0, 1);
    return !line.fail() && !entry.path.empty();
}

std::vector<ManifestEntry> ParseManifest(const std::string& text)
{
    std::vector<ManifestEntry> entries;
    std::istringstream line;
    // Editors on Windows often save UTF-8 with a byte-order mark; it is not part of the first record.
    size_t start = text.compare(0, ByteOrderMark.size(), ByteOrderMark) == 0 ? ByteOrderMark.size() : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        size_t length = end - start;
        if (length > 0 && text[start + length - 1] == '\r')
            --length;
        if (length > 0 && text[start] != '#') {
            line.clear();
            line.str(text.substr(start, length));
            ManifestEntry entry;
            if (ParseRecord(line, entry))
                entries.push_back(std::move(entry));
        }
        start = end + 1;
    }
    return entries;
}
