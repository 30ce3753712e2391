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

template <typename Char>
static bool EqualsIgnoringAsciiCaseOf(const std::basic_string<Char>& a, const std::basic_string<Char>& b)
{
    const auto lower = [](Char c) { return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    return EqualsIgnoringAsciiCaseOf(a, b);
}

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b)
{
    return EqualsIgnoringAsciiCaseOf(a, b);
}

std::wstring AsciiLowercase(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

// Length of the sequence a lead byte starts and the range its second byte must lie in, which is
// what rules out overlong forms, surrogates and values above U+10FFFF.
static bool DescribeLead(unsigned char lead, size_t& length, unsigned char& low, unsigned char& high)
{
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return false;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    return true;
}

bool IsValidUtf8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0;
        unsigned char high = 0;
        if (!DescribeLead(lead, length, low, high) || text.size() - i < length)
            return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high)
            return false;
        for (size_t k = 2; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}
