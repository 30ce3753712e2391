#pragma once

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

// The platform's own floor under each phase of an update run: the same system calls in a plain
// loop, with none of the launcher's code around them. The variants add one platform cost at a
// time, so a figure shows where the launcher's time goes.

// One GetFileAttributesExW per path; how many paths answered.
size_t QueryAttributesLoop(const std::vector<std::wstring>& paths);

// The same, posting the check's progress values (0 to 300) to `window` as `message`: one per path,
// or only those that differ from the one before.
enum class Posting { EveryValue, ChangedValues };
size_t QueryAttributesAndPostLoop(const std::vector<std::wstring>& paths, HWND window, UINT message,
                                  Posting posting);

// Each file read with ReadFile in 1 MiB blocks into CNG SHA-256; lowercase hex digests, "" where a
// file could not be read.
std::vector<std::string> ReadAndHashLoop(const std::vector<std::wstring>& paths);

// CNG SHA-256 over `byteCount` bytes already in memory, in 1 MiB updates: the hash alone.
bool HashInMemory(uint64_t byteCount);

// What the WinHTTP loop does with each 64 KiB read; each step includes the ones before it.
enum class BodyHandling {
    Write,             // into the body's file
    WriteAndHash,      // and into CNG SHA-256, checked against the expected digest at the end
    WriteHashAndPost,  // and one posted message per read, as the download posts its progress
    // and written beside its file, under the file's name followed by ".download", then flushed to the
    // disk and moved over the file: what replacing each file safely costs
    WriteHashPostAndReplace,
};

struct WinHttpLoopTarget {
    std::wstring host;
    INTERNET_PORT port = 0;
    HWND window = nullptr;  // receives the posts of WriteHashAndPost: progress 300 to 1000
    UINT message = 0;
    uint64_t totalBytes = 1;  // of all the bodies, for that progress
};

// GET of each URL path over one HTTPS connection, with 64 KiB reads, each body going to its file.
// The byte count of each body; -1 where the request failed, the status was not 200, a write failed,
// the body's digest was not the expected one or it could not be flushed or moved over its file.
std::vector<long long> WinHttpLoop(const WinHttpLoopTarget& target, const std::vector<std::wstring>& urlPaths,
                                   const std::vector<std::wstring>& files, const std::vector<std::string>& digests,
                                   BodyHandling handling);
