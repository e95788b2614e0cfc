#include "protocol/download.h"

#include "link/console.h"
#include "link/link_wait.h"
#include "protocol/device_report.h"
#include "protocol/frames.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

constexpr std::int32_t base_speed = base_baud / 100; // 576: no speed change

// Each selection keeps a buffer of its own for the whole run, zero-filled at start and never
// cleared: header bytes behind the sector list and data bytes behind a short last block are
// sent as the buffer holds them (the receiver does not read them; the CRC covers them).
std::uint8_t block_buffers[8][block_buffer_size];

struct ImageFiles {
    std::FILE* files[image_kind_count] = {};
    std::int64_t lengths[image_kind_count] = {};
};

[[noreturn]] void fail() {
    std::exit(exit_download_failed);
}

SerialPort& active(PortSet& ports) {
    return ports.com[ports.active];
}

void close_files(ImageFiles& images) {
    for (std::FILE*& file : images.files) {
        if (file != nullptr)
            std::fclose(file);
        file = nullptr;
    }
}

// Opens an image file and takes its length; only a regular file counts.
std::FILE* open_image(const char* name, std::int64_t& length) {
    std::error_code error;
    if (name == nullptr || !std::filesystem::is_regular_file(name, error))
        return nullptr;
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr)
        return nullptr;
    if (std::fseek(file, 0, SEEK_END) != 0 || (length = std::ftell(file)) < 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

int selected_count(std::uint8_t selection) {
    return ((selection & 1) != 0) + ((selection & 2) != 0) + ((selection & 4) != 0);
}

// Opens every selected file, the last image first, and keeps them open for the whole download
// so that the lengths planned and the bytes sent come from the same files. Prints the
// selection's message and returns false when one cannot be opened.
bool open_images(const DownloadRequest& request, ImageFiles& images) {
    const bool single = selected_count(request.selection) == 1;
    for (int k = image_kind_count - 1; k >= 0; --k) {
        const ImageSpec& kind_spec = image_spec(static_cast<ImageKind>(k));
        if ((request.selection & kind_spec.selection_bit) == 0)
            continue;
        images.files[k] = open_image(request.file_names[k], images.lengths[k]);
        if (images.files[k] == nullptr) {
            if (single)
                say("open fail\n");
            else
                say("not found %s\n", kind_spec.default_name);
            close_files(images);
            return false;
        }
    }
    if (request.selection == image_spec(ImageKind::Tplist).selection_bit)
        say("flen = %d\n", static_cast<int>(images.lengths[static_cast<int>(ImageKind::Tplist)]));
    return true;
}

void switch_speed(PortSet& ports, std::int32_t baud) {
    if (set_speed(active(ports), baud))
        return;
    if (active(ports).lost_error != 0)
        end_on_lost_line(active(ports));
    say("Error : the line cannot be switched to %d baud.\n", static_cast<int>(baud));
    fail();
}

// Reads the identification reply and prints the report; ends the program on a short reply or
// a bad CRC.
void read_identification(PortSet& ports, std::uint8_t* buffer) {
    if (!wait_ready(ports))
        end_on_escape_or_lost(ports);
    const int received = read_reply(ports, buffer, device_info_size, reply_timeout_ms);
    if (received < device_info_size) {
        if (active(ports).lost_error != 0)
            end_on_lost_line(active(ports));
        say("received data = %d, (%d)\n", received, device_info_size);
        fail();
    }
    DeviceInfo info;
    if (!parse_device_info(buffer, info)) {
        say("crc error my = %08X, 0x%08X\n", info.computed_crc, info.received_crc);
        fail();
    }
    report_device(info);
}

// Sends the header that lists the sectors to erase, then moves the line to the data-phase
// speed, which the receiver switches to as soon as it has the header.
void send_header(PortSet& ports, const DownloadRequest& request, const ImagePlan& plan,
                 std::uint8_t* buffer) {
    put_header_sectors(buffer, plan.sectors, plan.sector_count);
    say("\n");
    complete_header(buffer, request.block_size, request.speed);
    if (write_watching_keys(ports, buffer, header_size) < 0)
        end_on_escape_or_lost(ports);
    drain_input(ports);
    if (request.speed != base_speed) {
        switch_speed(ports, request.speed * 100);
        say("change baudrate 57600 -> %d00\n", request.speed);
    }
    if (!wait_ready(ports))
        end_on_escape_or_lost(ports);
}

// Sends one block until the receiver accepts it. A resent block goes out again from the same
// buffer with the same blk, len and address: the receiver counts blocks by blk.
void send_until_accepted(PortSet& ports, std::uint8_t* buffer, std::uint32_t block_size,
                         const PlannedBlock& block, bool last_of_image) {
    int mark;
    do {
        const SendResult sent =
            send_block(ports, buffer, block_size, block.blk, block.len, block.address);
        if (sent == SendResult::Escaped)
            fail();
        if (sent == SendResult::Lost)
            end_on_lost_line(active(ports));
        // What the receiver sends right after a frame is not its answer yet.
        drain_input(ports);
        if (!last_of_image)
            say(":  ");
        mark = wait_for_mark(ports, "!@");
        if (mark < 0)
            end_on_escape_or_lost(ports);
    } while (mark == 1);
}

void send_image(PortSet& ports, const ImagePlan& plan, int image, ImageFiles& images,
                const DownloadRequest& request, std::uint8_t* buffer) {
    const PlannedImage& planned = plan.images[image];
    const int k = static_cast<int>(planned.kind);
    std::FILE* file = images.files[k];
    if (plan.image_count > 1)
        say("%s", image_spec(planned.kind).heading);
    std::fseek(file, static_cast<long>(image_spec(planned.kind).skipped_bytes), SEEK_SET);
    for (std::uint32_t index = 0; index < planned.blocks; ++index) {
        const PlannedBlock block = plan_block(plan, image, index);
        if (std::fread(buffer, 1, block.len, file) != block.len) {
            // Older buffer content must never go out as image data.
            say("Error : %s could not be read.\n", request.file_names[k]);
            fail();
        }
        send_until_accepted(ports, buffer, plan.block_size, block, index + 1 == planned.blocks);
    }
    std::fclose(file);
    images.files[k] = nullptr;
}

} // namespace

void end_on_lost_line(const SerialPort& port) {
    say("Error : the serial line on %s is gone (%s).\n", port.device,
        std::strerror(port.lost_error));
    fail();
}

void end_on_escape_or_lost(PortSet& ports) {
    if (active(ports).lost_error != 0)
        end_on_lost_line(active(ports));
    fail();
}

bool run_download(PortSet& ports, const DownloadRequest& request) {
    std::uint8_t* buffer = block_buffers[request.selection & 7];
    const auto* access = reinterpret_cast<const std::uint8_t*>(access_string);
    if (write_watching_keys(ports, access, access_string_size) < 0)
        end_on_escape_or_lost(ports);
    say("start pol ok\n");

    ImageFiles images;
    if (!open_images(request, images))
        return false;
    ImagePlan plan;
    const PlanCheck check = make_plan(request.selection, images.lengths, request.block_size, plan);
    if (check.refusal != PlanRefusal::None) {
        report_refusal(check, request.file_names[static_cast<int>(check.kind)]);
        close_files(images);
        return false;
    }

    read_identification(ports, buffer);
    send_header(ports, request, plan, buffer);
    for (int image = 0; image < plan.image_count; ++image)
        send_image(ports, plan, image, images, request, buffer);

    switch_speed(ports, base_baud);
    say("change speed --> 57600\n");
    return true;
}

bool image_file_present(const char* name) {
    std::int64_t length = 0;
    std::FILE* file = open_image(name, length);
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}
