#include "com_port.h"

#include <windows.h>

#include "os_error.h"

namespace kinetra::tool {

namespace {

bool configure(HANDLE port, DWORD write_timeout_ms) {
    (void)::SetupComm(port, 4096, 4096);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(port, &dcb) == 0) {
        return false;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (::SetCommState(port, &dcb) == 0) {
        return false;
    }
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.WriteTotalTimeoutConstant = write_timeout_ms;
    return ::SetCommTimeouts(port, &t) != 0;
}

} // namespace

void *open_com_port(const std::string &name, unsigned long share, unsigned long write_timeout_ms,
                    std::string &error) {
    const HANDLE port = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        error = last_os_error();
        return nullptr;
    }
    if (!configure(port, write_timeout_ms)) {
        error = last_os_error();
        ::CloseHandle(port);
        return nullptr;
    }
    return port;
}

} // namespace kinetra::tool
