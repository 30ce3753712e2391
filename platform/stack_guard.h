#pragma once

#include <cstdint>

// The stack protector's guard value and the two endings that compiled-in checks call: a smashed
// canary, and a fortified copy that would overrun its buffer. Defined here rather than taken from
// libssp, whose guard setup acquires a CryptoAPI context before main: that loads the crypto provider,
// which imports bcrypt.dll, and Windows would look for that in the launcher's own folder first (a
// player's Downloads). Only the kernel is asked for the guard's entropy here.
// The guard as the image holds it, until a constructor that runs before any other replaces it with a
// value of this process. Its low byte is zero, as the real one's, so that no string copy reproduces it.
constexpr uintptr_t StackGuardBeforeStart = 0x2F8A43C0D95E1B00ull;

extern "C" {
extern uintptr_t __stack_chk_guard;
[[noreturn]] void __stack_chk_fail();
[[noreturn]] void __chk_fail();
}
