#include "system/shown_name.h"

const char* shown_name(const char* name, char* shown, std::size_t size) {
    std::size_t length = 0;
    for (const char* at = name; at != nullptr && *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        const bool control = byte < 0x20 || byte == 0x7F;
        if (length + (control ? 2 : 1) >= size)
            break;
        if (control) {
            shown[length++] = '^';
            shown[length++] = static_cast<char>(byte ^ 0x40);
        } else {
            shown[length++] = static_cast<char>(byte);
        }
    }
    shown[length] = '\0';
    return shown;
}
