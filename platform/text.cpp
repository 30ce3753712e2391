#include "platform/text.h"

#include <windows.h>

#include <climits>

std::wstring Utf8ToWide(const std::string& text)
{
    // The count is passed as a 32-bit int; a longer text would be cut silently.
    if (text.empty() || text.size() > INT_MAX)
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(wideLength, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), wideLength);
    return wide;
}

static bool PassesUnencoded(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '.' || byte == '/' || byte == '_';
}

std::string EncodeUrlPath(const std::string& path)
{
    static const char HexDigits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (unsigned char byte : path) {
        if (PassesUnencoded(byte)) {
            encoded += static_cast<char>(byte);
        } else {
            encoded += '%';
            encoded += HexDigits[byte >> 4];
            encoded += HexDigits[byte & 0x0F];
        }
    }
    return encoded;
}
