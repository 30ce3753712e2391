#include "platform/stack_guard.h"

#include <windows.h>

#include <intrin.h>

namespace {

// What Windows reports for a process ended by a failed stack or buffer check (ntstatus.h).
constexpr UINT StatusStackBufferOverrun = 0xC0000409;

uintptr_t FileTimeValue(const FILETIME& time)
{
    return (static_cast<uintptr_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Unknown to an attacker from outside: the clock to 100 ns, the cycle counter, the process and thread
// ids and where ASLR put this stack. The same sources as the platform's own compilers use for theirs.
__attribute__((no_stack_protector)) uintptr_t NewGuard(const void* stackAddress)
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    uintptr_t guard = FileTimeValue(now) ^ static_cast<uintptr_t>(counter.QuadPart) ^ __rdtsc();
    guard ^= (static_cast<uintptr_t>(GetCurrentProcessId()) << 32) ^ GetCurrentThreadId();
    guard ^= reinterpret_cast<uintptr_t>(stackAddress) << 16;
    return guard & ~static_cast<uintptr_t>(0xFF);
}

// First of all constructors, so that no function with a canary is running when the guard changes.
__attribute__((constructor(101), no_stack_protector)) void SetStackGuard()
{
    int local = 0;
    const uintptr_t guard = NewGuard(&local);
    if (guard != 0)
        __stack_chk_guard = guard;
}

// Nothing more of this process may run: no handler, no atexit, no flush of possibly corrupt state.
[[noreturn]] void EndAtOnce()
{
    TerminateProcess(GetCurrentProcess(), StatusStackBufferOverrun);
    __builtin_trap();
}

}  // namespace

extern "C" {
uintptr_t __stack_chk_guard = StackGuardBeforeStart;

void __stack_chk_fail()
{
    EndAtOnce();
}

void __chk_fail()
{
    EndAtOnce();
}
}
