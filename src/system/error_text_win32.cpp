#include "system/error_text.h"

#include <cstdio>
#include <cstring>

ErrorText error_text(int error) {
    ErrorText result{};
    if (strerror_s(result.text, sizeof result.text, error) != 0)
        std::snprintf(result.text, sizeof result.text, "error %d", error);
    return result;
}
