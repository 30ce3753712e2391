#pragma once

#include <string>

// SHA-256 of the file's content as 64 lowercase hexadecimal digits, or empty when the file cannot be
// opened or read to its end, or the hashing service fails: empty never equals a manifest digest.
std::string FileSha256(const std::wstring& path);
