#include "link/serial_port.h"

// The serial port on Windows, opened and set up: a comm device opened for overlapped input and
// output, the one line configuration, the speed and the reasons a port could not be opened.
// What moves bytes once a port is open, and what waits on it, is in serial_io_win32.cpp.

#include "link/serial_io_win32.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX 1 // std::min and std::max, not the macros
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr std::int32_t standard_bauds[] = {110,    300,    600,    1200,   2400,   4800,
                                           9600,   14400,  19200,  38400,  56000,  57600,
                                           115200, 128000, 230400, 256000, 460800, 921600};

HANDLE handle_of(const SerialPort& port) {
    return reinterpret_cast<HANDLE>(port.handle);
}

// The one line configuration, complete: 8N1, binary, no flow control of any kind, DTR and RTS
// held low, no character replaced, stripped or acted on.
DCB line_settings(std::int32_t baud) {
    DCB settings{};
    settings.DCBlength = sizeof settings;
    settings.BaudRate = static_cast<DWORD>(baud);
    settings.fBinary = TRUE;
    settings.fDtrControl = DTR_CONTROL_DISABLE;
    settings.fRtsControl = RTS_CONTROL_DISABLE;
    settings.XonLim = 1;
    settings.XoffLim = 1;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    return settings;
}

bool apply_line_settings(HANDLE handle, std::int32_t baud) {
    DCB settings = line_settings(baud);
    if (!SetCommState(handle, &settings)) {
        // Some drivers refuse equal XON and XOFF characters even with XON/XOFF off; the usual
        // DC1 and DC3 stand in for them there, just as unused.
        settings.XonChar = 0x11;
        settings.XoffChar = 0x13;
        if (!SetCommState(handle, &settings))
            return false;
    }
    return SetCommMask(handle, EV_TXEMPTY) != 0;
}

// "com1" and "COM5" are device names; the "\\.\" prefix reaches every port, COM10 and up too.
void device_path(const char* device, char* path, std::size_t size) {
    if (std::strncmp(device, "\\\\", 2) == 0)
        std::snprintf(path, size, "%s", device);
    else
        std::snprintf(path, size, "\\\\.\\%s", device);
}

void describe_error(DWORD error, char* text, DWORD size) {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, size, nullptr);
    if (length == 0) {
        std::snprintf(text, size, "system error %lu", static_cast<unsigned long>(error));
        return;
    }
    for (DWORD end = length; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'); --end)
        text[end - 1] = '\0';
}

SerialPort fail_open(const char* device, HANDLE handle, const char* what, DWORD error) {
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    SerialPort port;
    std::snprintf(port.device, sizeof port.device, "%s", device);
    port.open_step = what;
    port.open_error = static_cast<int>(error);
    describe_error(error, port.open_reason, sizeof port.open_reason);
    return port;
}

} // namespace

bool port_missing(const SerialPort& port) {
    return port.open_error == ERROR_FILE_NOT_FOUND || port.open_error == ERROR_PATH_NOT_FOUND ||
           port.open_error == ERROR_DEV_NOT_EXIST;
}

const char* default_device(int index) {
    return index == 0 ? "com1" : "com2";
}

bool speed_supported(std::int32_t baud) {
    return std::find(std::begin(standard_bauds), std::end(standard_bauds), baud) !=
           std::end(standard_bauds);
}

SerialPort open_port(const char* device, std::int32_t baud) {
    if (!speed_supported(baud))
        return fail_open(device, INVALID_HANDLE_VALUE, "unsupported speed",
                         ERROR_INVALID_PARAMETER);
    char path[MAX_PATH];
    device_path(device, path, sizeof path);
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        return fail_open(device, handle, held ? "held by another program" : "cannot open", error);
    }
    if (!apply_line_settings(handle, baud))
        return fail_open(device, handle, "cannot apply the line settings", GetLastError());

    SerialPort port;
    port.handle = reinterpret_cast<std::intptr_t>(handle);
    if (!make_port_io(port))
        return fail_open(device, handle, "cannot open", GetLastError());
    std::snprintf(port.device, sizeof port.device, "%s", device);
    remember_port(reinterpret_cast<std::intptr_t>(handle));
    return port;
}

// A port's sharing ends with its handle, which the system closes with the process: there is
// nothing to give up beforehand.
void release_on_signal(std::intptr_t) {}

bool set_speed(SerialPort& port, std::int32_t baud) {
    if (!speed_supported(baud) || !port_is_open(port) || port.lost_error != 0)
        return false;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle_of(port), &settings))
        return false;
    wait_until_sent(port, static_cast<std::uint32_t>(settings.BaudRate));
    settings.BaudRate = static_cast<DWORD>(baud);
    if (!SetCommState(handle_of(port), &settings))
        return false;
    DCB applied{};
    applied.DCBlength = sizeof applied;
    return GetCommState(handle_of(port), &applied) && applied.BaudRate == settings.BaudRate;
}
