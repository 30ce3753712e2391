#include "platform/busy_file_retry.h"

#include <algorithm>

namespace {

constexpr DWORD FirstBackoffMs = 10;

// What a file that another process holds open, or has locked a range of, answers.
bool IsBusy(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool RetryWhileBusy(const std::function<bool()>& attempt)
{
    const ULONGLONG deadline = GetTickCount64() + BusyFileRetryLimitMs;
    for (DWORD backoff = FirstBackoffMs;; backoff = std::min(backoff * 2, BusyFileLongestBackoffMs)) {
        SetLastError(ERROR_SUCCESS);  // a failure that sets no error is not taken for a busy file
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (!IsBusy(error) || now >= deadline)
            return false;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(backoff, deadline - now)));
    }
}
