#ifndef UPGRADE_SYSTEM_ERROR_TEXT_H
#define UPGRADE_SYSTEM_ERROR_TEXT_H

// The system's text for an errno value, safe to take from several threads at once (a station
// serves many receivers; strerror may hand them all one buffer). Used as
// error_text(errno).text inside the call that prints it: the text lives until that call ends.

#include <cstring>

struct ErrorText {
    char text[256];
};

namespace error_text_detail {
// strerror_r comes in two forms: the GNU one returns the text (which may be a constant string
// and not the buffer), the POSIX one fills the buffer and returns 0.
inline const char* chosen(const char* text, const char*) {
    return text;
}
inline const char* chosen(int, const char* buffer) {
    return buffer;
}
} // namespace error_text_detail

inline ErrorText error_text(int error) {
    ErrorText result{};
    char buffer[sizeof result.text] = "unknown error";
    const char* text = error_text_detail::chosen(strerror_r(error, buffer, sizeof buffer), buffer);
    std::strncpy(result.text, text, sizeof result.text - 1);
    return result;
}

#endif
