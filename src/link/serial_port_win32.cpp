#include "link/serial_port.h"

// The serial port on Windows: a comm device opened for ordinary (not overlapped) input and
// output through the comm API. A byte is read only when the driver reports one queued, so reads
// never wait; writes hand the driver small pieces, so no call holds the program for more than a
// few milliseconds of line time.

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX 1 // std::min and std::max, not the macros
#endif
#include <windows.h>

#include <initializer_list>

#include <mmsystem.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// What one write hands the driver. A non-overlapped WriteFile returns when the driver has sent
// (or buffered) the bytes; 128 bytes are 11 ms of line time at 115200 baud and 22 ms at 57600,
// so ESC is looked at often and a write never blocks for long.
constexpr DWORD write_piece = 128;
// Drivers that buffer report what they still hold; above this there is no room for more.
constexpr DWORD output_room = 2 * write_piece;
// A UART's transmit FIFO, which the driver's queue count no longer includes.
constexpr DWORD fifo_bytes = 16;
constexpr std::uint64_t bits_per_byte = 10; // start bit, 8 data bits, stop bit

constexpr std::int32_t standard_bauds[] = {110,    300,    600,    1200,   2400,   4800,
                                           9600,   14400,  19200,  38400,  56000,  57600,
                                           115200, 128000, 230400, 256000, 460800, 921600};

HANDLE handle_of(const SerialPort& port) {
    return reinterpret_cast<HANDLE>(port.handle);
}

// The waits below sleep in steps of 1 ms. The system's default timer step (15.6 ms on most
// machines) would stretch the 2 ms drain eightfold and delay every mark by as much, so the
// finer step is asked for while the program runs.
bool timer_step_set = false;

void restore_timer_step() {
    timeEndPeriod(1);
}

void use_fine_timer_step() {
    if (timer_step_set)
        return;
    timer_step_set = true;
    if (timeBeginPeriod(1) == TIMERR_NOERROR)
        std::atexit(restore_timer_step);
}

// On an open port the comm calls fail only when the device has gone away (a USB adapter pulled
// out, the far end of a virtual line closed): line errors never abort a call, since the
// configuration leaves fAbortOnError off and ClearCommError clears them as it goes.
// `lost_error` holds the C library's code for the failure, as on other systems, so that the
// message naming the reason reads the same everywhere.
int lost_reason(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_UNIT:
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return ENODEV;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    default:
        return EIO; // ERROR_NOT_READY, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED and the rest
    }
}

void note_lost(SerialPort& port) {
    port.lost_error = lost_reason(GetLastError());
}

// The driver's queue counts; clears any line error as it asks.
bool queue_status(SerialPort& port, COMSTAT& status) {
    DWORD errors = 0;
    status = COMSTAT{};
    if (ClearCommError(handle_of(port), &errors, &status))
        return true;
    note_lost(port);
    return false;
}

std::uint64_t line_ms(std::uint64_t bytes, DWORD baud) {
    return bytes * bits_per_byte * 1000 / std::max<DWORD>(baud, 1) + 1;
}

// Waits until what the driver holds has left the line, so that it goes out at the speed it was
// written for: the driver's queue first (bounded by twice the time it needs), then the FIFO.
void wait_until_sent(SerialPort& port, DWORD baud) {
    COMSTAT status;
    if (!queue_status(port, status))
        return;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(2 * line_ms(status.cbOutQue, baud) + 50);
    while (status.cbOutQue > 0 && Clock::now() < deadline) {
        Sleep(1);
        if (!queue_status(port, status))
            return;
    }
    Sleep(static_cast<DWORD>(line_ms(fifo_bytes, baud)));
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

void error_text(int error, char* text, std::size_t size) {
    if (strerror_s(text, size, error) != 0)
        std::snprintf(text, size, "error %d", error);
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
    const HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        return fail_open(device, handle, held ? "held by another program" : "cannot open", error);
    }
    if (!apply_line_settings(handle, baud))
        return fail_open(device, handle, "cannot apply the line settings", GetLastError());

    SerialPort port;
    port.handle = reinterpret_cast<std::intptr_t>(handle);
    std::snprintf(port.device, sizeof port.device, "%s", device);
    remember_port(reinterpret_cast<std::intptr_t>(handle));
    return port;
}

void release_handle(std::intptr_t handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

// A port's sharing ends with its handle, which the system closes with the process: there is
// nothing to give up beforehand.
void release_on_signal(std::intptr_t) {}

std::size_t peek_received(SerialPort& port, const std::uint8_t*& bytes) {
    if (port.received_at == port.received_end && port_is_open(port) && port.lost_error == 0) {
        port.received_at = port.received_end = 0;
        COMSTAT status;
        if (queue_status(port, status) && status.cbInQue > 0) {
            const DWORD wanted =
                std::min<DWORD>(status.cbInQue, static_cast<DWORD>(sizeof port.received));
            DWORD got = 0;
            if (!ReadFile(handle_of(port), port.received, wanted, &got, nullptr))
                note_lost(port);
            else
                port.received_end = got;
        }
    }
    bytes = port.received + port.received_at;
    return port.received_end - port.received_at;
}

std::ptrdiff_t write_some(SerialPort& port, const std::uint8_t* bytes, std::size_t count) {
    if (!port_is_open(port) || port.lost_error != 0)
        return -1;
    COMSTAT status;
    if (!queue_status(port, status))
        return -1;
    if (count == 0 || status.cbOutQue >= output_room)
        return 0;
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, write_piece));
    DWORD written = 0;
    if (!WriteFile(handle_of(port), bytes, piece, &written, nullptr)) {
        note_lost(port);
        return -1;
    }
    return static_cast<std::ptrdiff_t>(written);
}

void discard_output(SerialPort& port) {
    PurgeComm(handle_of(port), PURGE_TXABORT | PURGE_TXCLEAR);
}

bool set_speed(SerialPort& port, std::int32_t baud) {
    if (!speed_supported(baud) || !port_is_open(port) || port.lost_error != 0)
        return false;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle_of(port), &settings))
        return false;
    wait_until_sent(port, settings.BaudRate);
    settings.BaudRate = static_cast<DWORD>(baud);
    if (!SetCommState(handle_of(port), &settings))
        return false;
    DCB applied{};
    applied.DCBlength = sizeof applied;
    return GetCommState(handle_of(port), &applied) && applied.BaudRate == settings.BaudRate;
}

void wait_ports(SerialPort* const ports[], int count, bool for_output, std::intptr_t key_handle,
                int timeout_ms, std::intptr_t other_handle) {
    use_fine_timer_step();
    const Clock::time_point start = Clock::now();
    for (;;) {
        for (int i = 0; i < count; ++i) {
            SerialPort& port = *ports[i];
            if (!port_is_open(port))
                continue;
            COMSTAT status;
            if (port.lost_error != 0 || !queue_status(port, status))
                return;
            if (for_output ? status.cbOutQue < output_room : status.cbInQue > 0)
                return;
        }
        if (timeout_ms >= 0 && Clock::now() - start >= std::chrono::milliseconds(timeout_ms))
            return;
        // Without overlapped I/O no system wait covers a comm device and the console together
        // (WaitCommEvent would need EV_RXCHAR in the port's mask and cannot time out), so the
        // ports are asked again every millisecond and the thread sleeps in between: on the
        // console input handle when keys matter, which wakes it at once for a key, else plainly.
        HANDLE handles[2];
        DWORD watched = 0;
        for (const std::intptr_t handle : {key_handle, other_handle}) {
            if (handle != -1)
                handles[watched++] = reinterpret_cast<HANDLE>(handle);
        }
        const DWORD woke =
            watched > 0 ? WaitForMultipleObjects(watched, handles, FALSE, 1) : WAIT_FAILED;
        if (woke < WAIT_OBJECT_0 + watched)
            return;
        if (woke == WAIT_FAILED)
            Sleep(1);
    }
}
