#include "update/manifest_serial.h"

#include "manifest_public_key.h"
#include "platform/busy_file_retry.h"
#include "platform/whole_file.h"

#include <cstdint>

namespace {

constexpr bool KeyBuiltIn = sizeof(LAUNCHER_MANIFEST_PUBLIC_KEYS) > 1;
constexpr uint64_t MinimumSerial = LAUNCHER_MANIFEST_MIN_SERIAL;
constexpr uint64_t LargestSerial = INT64_MAX;
constexpr std::string_view SerialPrefix = "#serial";
static_assert(MinimumSerial >= 1 && MinimumSerial <= LargestSerial, "a serial: 1 to 2^63-1");

// 0 for anything but the canonical decimal form of 1 to 2^63-1.
uint64_t ParseSerialNumber(std::string_view digits)
{
    if (digits.empty() || digits.front() == '0')
        return 0;
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (LargestSerial - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

// False when the record is there but cannot be read, even once its holder has let go: taking it for
// none would let an older manifest through. A missing record, or one that holds no serial, is 0.
bool ReadRecordedSerial(const std::wstring& recordPath, uint64_t& serial)
{
    serial = 0;
    std::string text;
    if (RetryWhileBusy([&] { return ReadWholeFile(recordPath, text); })) {
        serial = ParseSerialNumber(text);
        return true;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_TOO_LARGE;
}

}  // namespace

uint64_t ParseManifestSerial(std::string_view text)
{
    uint64_t serial = 0;
    bool found = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.substr(0, SerialPrefix.size()) != SerialPrefix)
            continue;
        if (found)
            return 0;  // two serials: which one the signer meant is anyone's guess
        found = true;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line.remove_prefix(SerialPrefix.size());
        if (line.empty() || line.front() != ' ')
            return 0;
        serial = ParseSerialNumber(line.substr(1));
    }
    return serial;
}

SerialVerdict AcceptManifestSerial(const std::string& text, const std::wstring& recordPath)
{
    if (!KeyBuiltIn)
        return SerialVerdict::Accepted;
    const uint64_t serial = ParseManifestSerial(text);
    uint64_t recorded = 0;
    if (!ReadRecordedSerial(recordPath, recorded))
        return SerialVerdict::RecordFailed;
    if (serial < MinimumSerial || serial < recorded)
        return SerialVerdict::Refused;
    // The same manifest at the next start changes nothing, so costs no write.
    if (serial > recorded && !ReplaceWholeFile(recordPath, std::to_string(serial)))
        return SerialVerdict::RecordFailed;
    return SerialVerdict::Accepted;
}
