// Stack-protector runtime of the MinGW build of Kinetra.dll.
//
// Code compiled with -fstack-protector-strong keeps a copy of the cookie
// __stack_chk_guard in each guarded frame and calls __stack_chk_fail when the
// copy no longer matches on return. MinGW's libssp supplies both, but seeds
// the cookie through the CryptoAPI, which would make ADVAPI32 an import of
// the DLL. Here they are seeded the way the Microsoft C runtime seeds its /GS
// cookie, from KERNEL32 alone, when the DLL is loaded.
//
// This file is built without the stack protector: it changes the cookie, so
// no frame of its own may hold the old value.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

extern "C" {

// A fixed value until DllMain runs; no guarded code of the library runs
// before that, as nothing is exported to a host until the DLL is loaded.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232u; // NOLINT(bugprone-reserved-identifier)

// A smashed stack must not be unwound or reported through anything that
// could itself be corrupted: end the process at once, with the status code
// Windows uses for a failed /GS check.
[[noreturn]] void __stack_chk_fail() { // NOLINT(bugprone-reserved-identifier)
    constexpr UINT stack_buffer_overrun = 0xC0000409u;
    ::TerminateProcess(::GetCurrentProcess(), stack_buffer_overrun);
    for (;;) {
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    std::uint64_t seed = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    seed ^= std::uint64_t{::GetCurrentProcessId()} << 16;
    seed ^= std::uint64_t{::GetCurrentThreadId()} << 40;
    seed ^= std::uint64_t{::GetTickCount()} << 24;
    seed ^= static_cast<std::uint64_t>(counter.QuadPart) << 32;
    seed ^= static_cast<std::uint64_t>(counter.QuadPart);
    seed ^= reinterpret_cast<std::uintptr_t>(&seed); // where ASLR put this stack
    if (seed != 0) {
        __stack_chk_guard = static_cast<std::uintptr_t>(seed);
    }
    return TRUE;
}

} // extern "C"
