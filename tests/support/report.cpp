#include "tests/support/report.h"

#include "platform/handles.h"
#include "tests/support/test_files.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace {

constexpr int64_t MicrosPerMilli = 1000;
constexpr size_t MillisDecimals = 3;
constexpr size_t MaxDigits = 9;

// One value per line: a line break inside a value would start a bogus key.
std::wstring EscapeBreaks(const std::wstring& value)
{
    std::wstring out;
    for (wchar_t c : value) {
        if (c == L'\r')
            out += L"\\r";
        else if (c == L'\n')
            out += L"\\n";
        else
            out += c;
    }
    return out;
}

}  // namespace

void Report::Add(const wchar_t* key, const std::wstring& value)
{
    text_ += key;
    text_ += L"=" + EscapeBreaks(value) + L"\n";
}

bool Report::WriteTo(const std::wstring& path) const
{
    const UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    const std::string bytes = WideToUtf8(text_);
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring Report::FormatMillis(double ms)
{
    const auto micros = static_cast<int64_t>(ms * MicrosPerMilli + 0.5);
    std::wstring fraction = std::to_wstring(micros % MicrosPerMilli);
    fraction.insert(0, MillisDecimals - fraction.size(), L'0');
    return std::to_wstring(micros / MicrosPerMilli) + L"." + fraction;
}

bool ParseNumber(const wchar_t* text, unsigned long& out)
{
    const size_t length = wcslen(text);
    if (length == 0 || length > MaxDigits)
        return false;
    unsigned long value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        value = value * 10 + static_cast<unsigned long>(text[i] - L'0');
    }
    out = value;
    return true;
}

double Percentile(const std::vector<double>& sorted, double percent)
{
    const auto rank = static_cast<size_t>(percent / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}
