#include "system/error_text.h"

#include <cstring>

namespace {

// strerror_r comes in two forms: the GNU one returns the text (which may be a constant string
// and not the buffer), the POSIX one fills the buffer and returns 0.
[[maybe_unused]] const char* chosen(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* chosen(int, const char* buffer) {
    return buffer;
}

} // namespace

ErrorText error_text(int error) {
    ErrorText result{};
    char buffer[sizeof result.text] = "unknown error";
    const char* text = chosen(strerror_r(error, buffer, sizeof buffer), buffer);
    std::strncpy(result.text, text, sizeof result.text - 1);
    return result;
}
