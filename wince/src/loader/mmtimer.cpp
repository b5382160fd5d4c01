#include <time.h>

#include "wince/loader.h"

DWORD WINAPI timeGetTime() {
    // Milliseconds since boot like the device's timer; the 32-bit result
    // wraps after about 49.7 days, as on Windows.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long ms = static_cast<unsigned long long>(now.tv_sec) * 1000ull +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000000ull;
    return static_cast<DWORD>(ms);
}
