#include "sim_echo.h"

std::size_t echo_length(std::string_view sent, const std::uint8_t* bytes, std::size_t count,
                        char answer_start) {
    std::size_t longest = 0;
    // The echo may begin anywhere in the text: the line may have come up halfway through it.
    for (std::size_t from = 0; from < sent.size(); ++from) {
        std::size_t length = 0;
        while (length < count && bytes[length] != static_cast<std::uint8_t>(answer_start) &&
               bytes[length] == static_cast<std::uint8_t>(sent[(from + length) % sent.size()]))
            ++length;
        if (length > longest)
            longest = length;
    }
    return longest;
}
