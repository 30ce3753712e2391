#include "update/manifest.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
constexpr uint64_t LargestSize = UINT64_MAX;

// The blanks a C++ stream skips between fields.
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void SkipBlanks(std::string_view line, size_t& at)
{
    while (at < line.size() && IsBlank(line[at]))
        ++at;
}

// Decimal digits after an optional "+"; false without a digit or above 2^64 - 1. A "-" is refused:
// a byte count has no sign, and unsigned extraction would wrap "-1" to 2^64 - 1.
bool ScanSize(std::string_view line, size_t& at, uint64_t& size)
{
    if (at < line.size() && line[at] == '+')
        ++at;
    const size_t first = at;
    size = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(line[at] - '0');
        if (size > (LargestSize - digit) / 10)
            return false;
        size = size * 10 + digit;
    }
    return at > first;
}

// Digest, size, then the rest of the line as the path (one separating blank removed).
bool ParseRecord(std::string_view line, ManifestEntry& entry)
{
    size_t at = 0;
    SkipBlanks(line, at);
    const size_t hashStart = at;
    while (at < line.size() && !IsBlank(line[at]))
        ++at;
    if (at == hashStart)
        return false;
    entry.hash = std::string(line.substr(hashStart, at - hashStart));
    SkipBlanks(line, at);
    if (!ScanSize(line, at, entry.size) || at == line.size())
        return false;
    entry.path = std::string(line.substr(at));
    if (entry.path[0] == ' ')
        entry.path.erase(0, 1);
    return !entry.path.empty();
}

}  // namespace

std::vector<ManifestEntry> ParseManifest(const std::string& text)
{
    std::vector<ManifestEntry> entries;
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
            ManifestEntry entry;
            if (ParseRecord(std::string_view(text).substr(start, length), entry))
                entries.push_back(std::move(entry));
        }
        start = end + 1;
    }
    return entries;
}
