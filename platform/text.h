#pragma once

#include <string>

// UTF-8 to UTF-16. Malformed sequences become U+FFFD; nothing is rejected.
std::wstring Utf8ToWide(const std::string& text);

// Percent-encodes every byte except ASCII letters, digits and "-", ".", "/", "_".
std::string EncodeUrlPath(const std::string& path);
