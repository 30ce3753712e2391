#include "platform/paths.h"

#include "app/launcher_state.h"
#include "platform/text.h"

#include <algorithm>

std::wstring LocalPathFor(const std::string& relativePath)
{
    std::wstring path = InstallDirectory + L"\\" + Utf8ToWide(relativePath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Windows drops trailing dots and blanks from a name, so ".. " or "..." may still mean a parent.
static bool NamesNoFile(const std::string& component)
{
    const size_t kept = component.find_last_not_of(". ");
    return kept == std::string::npos;
}

bool IsSafeRelativePath(const std::string& relativePath)
{
    if (relativePath.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = relativePath.find_first_of("/\\", start);
        if (NamesNoFile(relativePath.substr(start, end - start)))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}
