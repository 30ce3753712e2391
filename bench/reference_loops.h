#pragma once

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

// The platform's own floor under each phase of an update run: the same system calls in a plain
// loop, with none of the launcher's code around them.

// One GetFileAttributesExW per path; how many paths answered.
size_t QueryAttributesLoop(const std::vector<std::wstring>& paths);

// The same, with one posted progress message per path to `window`, as the check posts.
size_t QueryAttributesAndPostLoop(const std::vector<std::wstring>& paths, HWND window, UINT message);

// Each file read with ReadFile in 1 MiB blocks into CNG SHA-256; lowercase hex digests, "" where a
// file could not be read.
std::vector<std::string> ReadAndHashLoop(const std::vector<std::wstring>& paths);

// CNG SHA-256 over `byteCount` bytes already in memory, in 1 MiB updates: the hash alone.
bool HashInMemory(uint64_t byteCount);

// GET of each URL path over one HTTPS connection, with 64 KiB reads; each body is written to the
// matching file, or dropped when `files` is empty. The byte count of each body, -1 where the
// request failed or the status was not 200.
std::vector<long long> WinHttpLoop(const std::wstring& host, INTERNET_PORT port,
                                   const std::vector<std::wstring>& urlPaths, const std::vector<std::wstring>& files);
