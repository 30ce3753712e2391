#pragma once

#include <windows.h>

#include <functional>

// A real-time scanner opens a file it has just seen, often without sharing its deletion, for
// milliseconds to seconds; a few hold one for longer. Ten seconds outlast the common ones, and a
// file that is still held after them fails as it would have at once, the old file in place.
constexpr DWORD BusyFileRetryLimitMs = 10000;
// The longest wait between two attempts, so the last one comes at most this long after the limit.
constexpr DWORD BusyFileLongestBackoffMs = 500;

// Runs `attempt` (a read, write, move or delete in the install folder that reports its failure
// through GetLastError) until it succeeds or fails with an error other than ERROR_ACCESS_DENIED,
// ERROR_SHARING_VIOLATION or ERROR_LOCK_VIOLATION, backing off from 10 ms to 500 ms between
// attempts, for at most BusyFileRetryLimitMs in all. Returns the last attempt's result, with its
// error still the last one. Blocks: for the worker thread only.
bool RetryWhileBusy(const std::function<bool()>& attempt);
