#include "driver/record.h"

#include "protocol/device_report.h"
#include "system/console.h"
#include "system/port_list.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Keys stay in the order they are set: a person reading the file finds every record alike.
using Json = nlohmann::ordered_json;

Json text_or_null(const char* text) {
    return text != nullptr ? Json(text) : Json(nullptr);
}

// A non-empty text, or null.
Json given_or_null(const char* text) {
    return text[0] != '\0' ? Json(text) : Json(nullptr);
}

Json time_text(std::int64_t unix_ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> at{milliseconds{unix_ms}};
    const auto day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{at - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

// How the download ended; a receiver that went away is named for how it did.
const char* result_name(const DownloadOutcome& outcome) {
    if (outcome.reason == DownloadReason::NoAnswer)
        return "no_answer";
    if (outcome.reason == DownloadReason::Restarted)
        return "restarted";
    switch (outcome.result) {
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

// The USB serial adapter behind the device, as /list describes it.
Json adapter_of(const RecordFacts& facts) {
    PortInfo port;
    if (facts.device == nullptr || !describe_device(facts.system_root, facts.device, port) ||
        !is_usb_adapter(port))
        return nullptr;
    Json adapter;
    adapter["vid"] = port.vid;
    adapter["pid"] = port.pid;
    adapter["serial"] = given_or_null(port.serial);
    adapter["product"] = given_or_null(port.product);
    return adapter;
}

// The receiver's boot block and flash chip, once its identification was read.
void add_receiver(Json& record, const DownloadOutcome& outcome) {
    if (!outcome.reply_read) {
        for (const char* key : {"bootblock", "manufacturer", "device_id", "model"})
            record[key] = nullptr;
        return;
    }
    const DeviceInfo& reply = outcome.reply;
    char version[16];
    std::snprintf(version, sizeof version, "%u.%u", reply.version_major, reply.version_minor);
    record["bootblock"] = version;
    record["manufacturer"] = reply.manufacturer_id;
    record["device_id"] = reply.device_id;
    const char* line = flash_model_line(reply.manufacturer_id, reply.device_id);
    record["model"] =
        line != nullptr ? Json(std::string(line, std::strcspn(line, "\n"))) : Json(nullptr);
}

Json image_entry(const ImageReport& image, const DownloadRequest& request) {
    Json entry;
    entry["kind"] = image_kind_info(image.kind).label;
    entry["file"] = text_or_null(request.file_names[static_cast<int>(image.kind)]);
    entry["length"] = image.length >= 0 ? Json(image.length) : Json(nullptr);
    if (image.hashed) {
        char hex[sha256_hex_size];
        sha256_hex(image.sha256, hex);
        entry["sha256"] = hex;
    } else {
        entry["sha256"] = nullptr;
    }
    entry["blocks"] = image.blocks > 0 ? Json(image.blocks) : Json(nullptr);
    entry["resends"] = image.blocks > 0 ? Json(image.resends) : Json(nullptr);
    return entry;
}

} // namespace

std::size_t format_record(const RecordFacts& facts, char* text, std::size_t size) {
    const DownloadOutcome& outcome = *facts.outcome;
    const DownloadRequest& request = *facts.request;
    Json record;
    record["start"] = time_text(facts.start_unix_ms);
    record["end"] = time_text(facts.end_unix_ms);
    record["seconds"] = static_cast<double>(facts.end_unix_ms - facts.start_unix_ms) / 1000.0;
    record["program"] = text_or_null(facts.program);
    record["port"] = text_or_null(facts.port);
    record["device"] = text_or_null(facts.device);
    record["adapter"] = adapter_of(facts);
    add_receiver(record, outcome);
    record["speed"] = static_cast<std::int64_t>(request.speed_hundreds) * 100;
    record["block_size"] = request.block_size;
    record["images"] = Json::array();
    for (int i = 0; i < outcome.image_count; ++i)
        record["images"].push_back(image_entry(outcome.images[i], request));
    record["bytes_sent"] = outcome.bytes_sent;
    record["result"] = result_name(outcome);
    record["reason"] = text_or_null(facts.reason);
    // Texts are the only values that could make dump fail (bytes that are not UTF-8); they are
    // replaced instead, so nothing here throws.
    const std::string line = record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    if (line.size() >= size)
        return 0;
    std::memcpy(text, line.c_str(), line.size() + 1);
    return line.size();
}

std::int64_t unix_ms_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
