#include "platform/paths.h"

#include "app/launcher_state.h"
#include "platform/text.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

// COM¹ to COM³ and LPT¹ to LPT³ are devices too: ¹ ² ³ in UTF-8.
const char* const DeviceNames[] = {
    "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$",
    "COM0", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",
    "LPT0", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",
    "COM\xC2\xB9", "COM\xC2\xB2", "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3",
};

// The launcher's own files at the top of the install directory, and the folder where it keeps aside
// what stood in a new layout's way.
const char* const ReservedTopLevelNames[] = {"launcher.cache", "launcher.serial", "TolmekBrannLauncher.exe.old",
                                             "launcher.kept"};
const char TemporarySuffix[] = ".download";  // TemporaryFileSuffix, as manifest paths spell it

bool IsForbiddenByte(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F || std::string_view("<>\"|?*:").find(static_cast<char>(byte)) !=
                                              std::string_view::npos;
}

// The "name" part Windows matches against its devices: up to the first dot, trailing blanks dropped.
bool IsDeviceName(const std::string& component)
{
    std::string name = component.substr(0, component.find('.'));
    name.erase(name.find_last_not_of(' ') + 1);
    return std::any_of(std::begin(DeviceNames), std::end(DeviceNames),
                       [&](const char* device) { return EqualsIgnoringAsciiCase(name, device); });
}

bool EndsWithIgnoringAsciiCase(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() &&
           EqualsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

// Windows drops trailing dots and blanks from a name, so "x." would be "x" and ".. " a parent.
bool IsSafeComponent(const std::string& component)
{
    return !component.empty() && component.back() != '.' && component.back() != ' ' && !IsDeviceName(component);
}

}  // namespace

std::wstring LocalPathFor(const std::string& relativePath)
{
    std::wstring path = InstallDirectory + L"\\" + Utf8ToWide(relativePath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

bool IsSafeRelativePath(const std::string& relativePath)
{
    if (!IsValidUtf8(relativePath) ||
        std::any_of(relativePath.begin(), relativePath.end(),
                    [](char c) { return IsForbiddenByte(static_cast<unsigned char>(c)); }))
        return false;
    // As a first part too: the launcher's file would stand where a folder must be.
    const std::string first = relativePath.substr(0, relativePath.find_first_of("/\\"));
    if (std::any_of(std::begin(ReservedTopLevelNames), std::end(ReservedTopLevelNames),
                    [&](const char* name) { return EqualsIgnoringAsciiCase(first, name); }))
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = relativePath.find_first_of("/\\", start);
        const std::string component = relativePath.substr(start, end - start);
        if (!IsSafeComponent(component))
            return false;
        if (end == std::string::npos)
            return !EndsWithIgnoringAsciiCase(component, TemporarySuffix);
        start = end + 1;
    }
}
