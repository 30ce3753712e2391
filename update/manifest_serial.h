#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A signed manifest carries one line "#serial N" before its signature line, so the signature covers
// it. A launcher built with a manifest key keeps the highest serial it has accepted in this file of
// the install directory and never acts on a lower one: an older signed manifest, replayed by
// whoever controls the update server, cannot take a player back to older files.
constexpr wchar_t ManifestSerialFileName[] = L"launcher.serial";

// The N of the text's one line that begins with "#serial": "#serial ", then 1 to 2^63-1 in decimal
// digits without sign or leading zero, then the line end ("\n", "\r\n" or the end of the text).
// 0 when no line begins with "#serial", when more than one does, or when that line is anything else.
uint64_t ParseManifestSerial(std::string_view text);

enum class SerialVerdict { Accepted, Refused, RecordFailed };

// Whether the update run may act on an authentic manifest. A launcher built without a key accepts
// and records nothing. One built with a key accepts only when the serial is at least the recorded
// one and the built-in minimum, and then records it before returning, so that no later run goes
// below it even if this one ends early. A record that another process holds is waited for, as its
// write is; one that still cannot be read, or a serial that cannot be recorded, is RecordFailed,
// and nothing is acted on. A missing record, or one that holds no serial, counts as none.
SerialVerdict AcceptManifestSerial(const std::string& text, const std::wstring& recordPath);
