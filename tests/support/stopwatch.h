#pragma once

#include <windows.h>

// A file held for good fails once the busy-file retries' 10 s are over: within this, on a loaded
// machine too, and not after the retries of a second step on top.
constexpr double HeldFileFailsWithinMs = 12000;

// Wall-clock milliseconds since construction, from the performance counter.
class Stopwatch {
public:
    Stopwatch()
    {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    double ElapsedMs() const
    {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) * MillisPerSecond /
               static_cast<double>(frequency_.QuadPart);
    }

private:
    static constexpr double MillisPerSecond = 1000.0;
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};
