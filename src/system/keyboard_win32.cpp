#include "system/keyboard.h"

// The keyboard on Windows: keys come from the console input device (CONIN$) as input records.
// It is opened on first use, so that it reaches the console even when standard input is
// redirected.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

constexpr unsigned char esc = 27;
// Input records looked at per call; more stay waiting for the next call.
constexpr DWORD records_per_look = 64;

bool keyboard_opened = false;
HANDLE keyboard_handle = INVALID_HANDLE_VALUE;

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine's console on a Unix terminal starts reading the terminal once a program asks it for
// input, and in some versions asking for the count of waiting events is not enough: no key
// ever shows up until a first read. A read of no records starts it without waiting. Windows'
// own console needs no such start and might wait in that read for a first record, so it is
// made under Wine only.
void start_terminal_input(HANDLE keys) {
    INPUT_RECORD none;
    DWORD read = 0;
    ReadConsoleInputA(keys, &none, 0, &read);
}

// The console's input device, whatever standard input was redirected to.
HANDLE keyboard() {
    if (!keyboard_opened) {
        keyboard_opened = true;
        keyboard_handle =
            CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (keyboard_handle != INVALID_HANDLE_VALUE && under_wine())
            start_terminal_input(keyboard_handle);
    }
    return keyboard_handle;
}

// A key press that counts as a key: one with a character, or one without (an arrow or function
// key, which other consoles deliver as two codes), but not a modifier or lock key, whose
// record comes on its own before the key it goes with.
bool is_key(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
        return false;
    if (record.Event.KeyEvent.uChar.AsciiChar != 0)
        return true;
    switch (record.Event.KeyEvent.wVirtualKeyCode) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
        return false;
    default:
        return true;
    }
}

// ESC by its virtual-key code or by its character: consoles differ in which they fill in
// (Wine's on a terminal reports VK_ESCAPE with character 0).
bool is_escape(const INPUT_RECORD& record) {
    return record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE ||
           static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar) == esc;
}

// Takes `count` records that are known to be waiting, so the read returns at once. Every input
// mode is off during the read, so the records come as they are (Ctrl+C included) and nothing
// is echoed; the console's own mode is back as soon as they are read.
void read_records(HANDLE keys, INPUT_RECORD* records, DWORD count) {
    DWORD mode = 0;
    const bool mode_known = GetConsoleMode(keys, &mode) != 0;
    if (mode_known)
        SetConsoleMode(keys, 0);
    DWORD read = 0;
    ReadConsoleInputA(keys, records, count, &read);
    if (mode_known)
        SetConsoleMode(keys, mode);
}

} // namespace

bool escape_pressed() {
    const HANDLE keys = keyboard();
    // Whether anything waits is the input handle's own state, which the system answers at once.
    // Asking the console itself goes to the process behind it (a console host, or wine's), and
    // on a busy machine that process may get no processor for milliseconds: the keyboard is
    // looked at between a frame's last byte and the drain after it, and that time would come
    // out of the receiver's answer time.
    DWORD waiting = 0;
    if (keys == INVALID_HANDLE_VALUE || WaitForSingleObject(keys, 0) != WAIT_OBJECT_0 ||
        !GetNumberOfConsoleInputEvents(keys, &waiting) || waiting == 0)
        return false;
    INPUT_RECORD records[records_per_look];
    DWORD seen = 0;
    if (!PeekConsoleInputA(keys, records, records_per_look, &seen) || seen == 0)
        return false;
    DWORD key = 0;
    while (key < seen && !is_key(records[key]))
        ++key;
    // One key per call. Releases, modifiers, mouse and focus records around it are taken too:
    // left behind, they would keep the console's wait handle signalled with nothing to read.
    DWORD take = seen;
    for (DWORD next = key + 1; next < seen; ++next) {
        if (is_key(records[next])) {
            take = next;
            break;
        }
    }
    read_records(keys, records, take);
    return key < seen && is_escape(records[key]);
}

std::intptr_t console_wait_handle() {
    const HANDLE keys = keyboard();
    return keys == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(keys);
}
