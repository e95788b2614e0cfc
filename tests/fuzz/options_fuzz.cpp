// Argument lists (the input cut at NUL bytes) through the option parser, the request finder,
// the value check and the file-name rule; none of them prints. Every file name kept must fit its
// slot with its terminator, and each /comN= device must be a pointer into the argument it came
// from.

#include "driver/options.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t max_arguments = 64;

void require(bool condition) {
    if (!condition)
        std::abort();
}

bool points_into(const char* pointer, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (pointer >= argument.c_str() && pointer <= argument.c_str() + argument.size())
            return true;
    }
    return false;
}

void check_options(const Options& options, const std::vector<std::string>& arguments) {
    require(options.selection <= 7);
    require(options.name_mode >= NameMode::None && options.name_mode <= NameMode::TooLong);
    for (const auto& name : options.names)
        require(std::memchr(name, '\0', name_slot_size) != nullptr);
    for (const char* device : options.devices)
        require(device == nullptr || points_into(device, arguments));
    require(options.log_path == nullptr || points_into(options.log_path, arguments));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    const char* text = reinterpret_cast<const char*>(data);
    for (std::size_t start = 0; start <= size && arguments.size() < max_arguments;) {
        const void* end = std::memchr(text + start, '\0', size - start);
        const std::size_t length =
            end ? static_cast<std::size_t>(static_cast<const char*>(end) - (text + start))
                : size - start;
        arguments.emplace_back(text + start, length);
        start += length + 1;
    }
    std::vector<const char*> argv{"upgrade"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    (void)find_request(argc, argv.data());
    Options options;
    if (parse_options(argc, argv.data(), options) == ParseResult::Parsed)
        (void)check_values(options);
    check_options(options, arguments);

    for (const std::string& argument : arguments) {
        Options named;
        classify_file_name(argument.c_str(), named);
        check_options(named, arguments);
    }
    return 0;
}
