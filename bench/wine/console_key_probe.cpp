// When a key typed on the terminal reaches a program that waits for it on the console's input
// handle: the smallest program that shows where the time between ESC and upgrade.exe's end
// goes under wine. It opens the console input as upgrade.exe does (with the read of no records
// that starts wine's console reading the terminal), prints "waiting", then sleeps on the input
// handle and prints "esc" for every ESC key press it reads, at once, until it has seen two.
// The other end of the terminal times each "esc" from the moment it typed the key.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

int main() {
    const HANDLE keys =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (keys == INVALID_HANDLE_VALUE) {
        std::printf("cannot open the console: error %lu\n", GetLastError());
        return 2;
    }
    INPUT_RECORD records[16];
    DWORD read = 0;
    ReadConsoleInputA(keys, records, 0, &read);
    std::printf("waiting\n");
    std::fflush(stdout);
    int escapes = 0;
    while (escapes < 2) {
        if (WaitForSingleObject(keys, 20000) != WAIT_OBJECT_0) {
            std::printf("no key\n");
            return 1;
        }
        if (!ReadConsoleInputA(keys, records, 16, &read))
            return 1;
        for (DWORD i = 0; i < read; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown &&
                (key.wVirtualKeyCode == VK_ESCAPE || key.uChar.AsciiChar == 27)) {
                ++escapes;
                std::printf("esc\n");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
