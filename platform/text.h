#pragma once

#include <string>

// UTF-8 to UTF-16. Malformed sequences become U+FFFD; nothing is rejected.
std::wstring Utf8ToWide(const std::string& text);

// Percent-encodes every byte except ASCII letters, digits and "-", ".", "/", "_".
std::string EncodeUrlPath(const std::string& path);

// Whole-text comparison that ignores the case of A to Z only: hex digests and Windows names.
bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b);
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);
// The text with A to Z lowered and nothing else changed: a key under which such names are one.
std::wstring AsciiLowercase(std::wstring text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut-off sequence.
bool IsValidUtf8(const std::string& text);
