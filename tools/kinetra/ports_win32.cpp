// The Windows listing: the COM ports in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// where every serial driver (the built-in one, USB adapters' drivers,
// com0com) enters the ports it has now. The value name is the driver's
// device object, shown as the port's driver.
#include <algorithm>
#include <cstdlib>

#include <windows.h>

#include "os_error.h"
#include "ports.h"

namespace kinetra::tool {

namespace {

constexpr const wchar_t *serial_comm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string utf8(const wchar_t *text, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0) {
        (void)::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size,
                                    nullptr, nullptr);
    }
    return out;
}

// COM2 before COM10: by the number after the letters, then by name.
bool port_order(const port_record &a, const port_record &b) {
    const auto number = [](const std::string &name) {
        const auto digits = name.find_first_of("0123456789");
        return digits == std::string::npos ? 0UL : std::strtoul(name.c_str() + digits, nullptr, 10);
    };
    const auto na = number(a.name);
    const auto nb = number(b.name);
    return na != nb ? na < nb : a.name < b.name;
}

} // namespace

bool list_system_ports(const listing_options &, std::vector<port_record> &ports,
                       std::string &error) {
    HKEY key = nullptr;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, serial_comm, 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return true; // Windows makes the key with the first port
    }
    if (opened != ERROR_SUCCESS) {
        error = "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: " +
                os_error_text(static_cast<int>(opened));
        return false;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t device[256];
        DWORD device_length = 256;
        wchar_t port[256] = {};
        DWORD port_bytes = sizeof port - sizeof(wchar_t); // room for a missing terminator
        DWORD type = 0;
        const LONG got = ::RegEnumValueW(key, index, device, &device_length, nullptr, &type,
                                         reinterpret_cast<BYTE *>(port), &port_bytes);
        if (got == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (got != ERROR_SUCCESS || type != REG_SZ) {
            continue; // a name too long for a COM port, or not a name at all
        }
        std::size_t length = port_bytes / sizeof(wchar_t);
        while (length > 0 && port[length - 1] == L'\0') {
            --length;
        }
        port_record record;
        record.name = utf8(port, length);
        record.driver = utf8(device, device_length);
        if (!record.name.empty()) {
            ports.push_back(std::move(record));
        }
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), port_order);
    return true;
}

} // namespace kinetra::tool
