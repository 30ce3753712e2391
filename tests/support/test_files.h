#pragma once

#include <string>

// A fresh directory under the temporary folder, removed with everything in it at the end.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Empty when the file cannot be read.
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);

// For what tests write down; the launcher itself never converts wide text to narrow.
std::string WideToUtf8(const std::wstring& text);

// n bytes of a fixed, non-repeating-looking pattern: byte i is (i * 31 + 7) mod 256.
std::string PatternBytes(size_t n);
