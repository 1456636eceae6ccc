#include "os_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#endif

namespace kinetra::tool {

#ifdef _WIN32

void clear_os_error() { ::SetLastError(0); }

int last_os_error_code() { return static_cast<int>(::GetLastError()); }

std::string os_error_text(int error) {
    const auto code = static_cast<DWORD>(error);
    if (code == 0) {
        return "unknown reason";
    }
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string out;
    if (length > 0 && text != nullptr) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                               0, nullptr, nullptr);
        out.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        if (size > 0) {
            (void)::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(),
                                        size, nullptr, nullptr);
        }
    }
    ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    const std::string number = "error " + std::to_string(code);
    return out.empty() ? number : out + " (" + number + ")";
}

#else

void clear_os_error() { errno = 0; }

int last_os_error_code() { return errno; }

std::string os_error_text(int error) {
    return error != 0 ? std::strerror(error) : "unknown reason";
}

#endif

std::string last_os_error() { return os_error_text(last_os_error_code()); }

} // namespace kinetra::tool
