#include "driver/record.h"

#include "protocol/device_report.h"
#include "system/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Appends to a fixed buffer; remembers when something did not fit.
struct Writer {
    char* text;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;
};

void put(Writer& out, const char* format, ...) __attribute__((format(UPGRADE_PRINTF_FORMAT, 2, 3)));

void put(Writer& out, const char* format, ...) {
    if (out.full)
        return;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(out.text + out.used, out.size - out.used, format, arguments);
    va_end(arguments);
    if (written < 0 || static_cast<std::size_t>(written) >= out.size - out.used)
        out.full = true;
    else
        out.used += static_cast<std::size_t>(written);
}

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none.
std::size_t utf8_length(const std::uint8_t* at, std::size_t left) {
    const std::uint8_t lead = at[0];
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || length > left || at[1] < low || at[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF)
            return 0;
    }
    return length;
}

// A JSON text, or null for a null pointer.
void put_text(Writer& out, const char* text) {
    if (text == nullptr) {
        put(out, "null");
        return;
    }
    put(out, "\"");
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    const std::size_t length = std::strlen(text);
    for (std::size_t i = 0; i < length;) {
        const std::uint8_t byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            put(out, "\\%c", byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            put(out, "\\u%04x", byte);
        } else if (byte < 0x80) {
            put(out, "%c", byte);
        } else if (const std::size_t sequence = utf8_length(bytes + i, length - i)) {
            put(out, "%.*s", static_cast<int>(sequence), text + i);
            i += sequence;
            continue;
        } else {
            put(out, "\\ufffd");
        }
        ++i;
    }
    put(out, "\"");
}

void put_time(Writer& out, std::int64_t unix_ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> at{milliseconds{unix_ms}};
    const auto day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{at - day};
    put(out, "\"%04d-%02u-%02uT%02d:%02d:%02d.%03dZ\"", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}

const char* kind_name(ImageKind kind) {
    static const char* const names[image_kind_count] = {"host", "font", "tplist"};
    return names[static_cast<int>(kind)];
}

const char* result_name(DownloadResult result) {
    switch (result) {
    case DownloadResult::Finished:
        return "finished";
    case DownloadResult::Refused:
        return "refused";
    case DownloadResult::Failed:
        return "failed";
    case DownloadResult::Escaped:
        return "escaped";
    case DownloadResult::LineLost:
        break;
    }
    return "line_lost";
}

void put_image(Writer& out, const ImageReport& image, const DownloadRequest& request) {
    put(out, "{\"kind\":\"%s\",\"file\":", kind_name(image.kind));
    put_text(out, request.file_names[static_cast<int>(image.kind)]);
    if (image.length >= 0)
        put(out, ",\"length\":%lld", static_cast<long long>(image.length));
    else
        put(out, ",\"length\":null");
    put(out, ",\"sha256\":");
    if (image.hashed) {
        char hex[sha256_hex_size];
        sha256_hex(image.sha256, hex);
        put(out, "\"%s\"", hex);
    } else {
        put(out, "null");
    }
    if (image.blocks > 0)
        put(out, ",\"blocks\":%u,\"resends\":%u}", image.blocks, image.resends);
    else
        put(out, ",\"blocks\":null,\"resends\":null}");
}

// The receiver's boot block and flash chip, once its identification was read.
void put_receiver(Writer& out, const DownloadOutcome& outcome) {
    if (!outcome.reply_read) {
        put(out, ",\"bootblock\":null,\"manufacturer\":null,\"device_id\":null,\"model\":null");
        return;
    }
    const DeviceInfo& reply = outcome.reply;
    put(out, ",\"bootblock\":\"%u.%u\",\"manufacturer\":%u,\"device_id\":%u,\"model\":",
        reply.version_major, reply.version_minor, reply.manufacturer_id, reply.device_id);
    const char* line = flash_model_line(reply.manufacturer_id, reply.device_id);
    if (line == nullptr) {
        put(out, "null");
        return;
    }
    char model[64];
    std::snprintf(model, sizeof model, "%.*s", static_cast<int>(std::strcspn(line, "\n")), line);
    put_text(out, model);
}

} // namespace

std::size_t format_record(const RecordFacts& facts, char* text, std::size_t size) {
    const DownloadOutcome& outcome = *facts.outcome;
    const DownloadRequest& request = *facts.request;
    Writer out{text, size};
    put(out, "{\"start\":");
    put_time(out, facts.start_unix_ms);
    put(out, ",\"end\":");
    put_time(out, facts.end_unix_ms);
    put(out, ",\"seconds\":%.3f,\"program\":",
        static_cast<double>(facts.end_unix_ms - facts.start_unix_ms) / 1000.0);
    put_text(out, facts.program);
    put(out, ",\"port\":");
    put_text(out, facts.port);
    put(out, ",\"device\":");
    put_text(out, facts.device);
    put_receiver(out, outcome);
    put(out, ",\"speed\":%ld,\"block_size\":%u,\"images\":[",
        static_cast<long>(request.speed_hundreds) * 100, request.block_size);
    for (int i = 0; i < outcome.image_count; ++i) {
        if (i > 0)
            put(out, ",");
        put_image(out, outcome.images[i], request);
    }
    put(out, "],\"bytes_sent\":%llu,\"result\":\"%s\",\"reason\":",
        static_cast<unsigned long long>(outcome.bytes_sent), result_name(outcome.result));
    put_text(out, facts.reason);
    put(out, "}\n");
    return out.full ? 0 : out.used;
}

std::int64_t unix_ms_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
