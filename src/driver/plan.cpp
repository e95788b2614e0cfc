#include "driver/plan.h"

#include "driver/diagnostics.h"
#include "driver/outcome.h"
#include "driver/request.h"
#include "link/link_wait.h"
#include "protocol/download.h"
#include "protocol/frames.h"
#include "system/console.h"
#include "system/image_file.h"
#include "system/shown_name.h"

#include <cstdio>

namespace {

// The images a download would send: those chosen, or those present now.
Selection chosen_images(const Options& options) {
    const bool detected = options.selection == 0;
    const Selection selection = detected ? images_present() : options.selection;
    say("images :");
    for (int k = 0; k < image_kind_count; ++k) {
        if ((selection & image_kind_info(static_cast<ImageKind>(k)).selection_bit) != 0)
            say(" %s", image_kind_info(static_cast<ImageKind>(k)).label);
    }
    if (selection != 0)
        say(detected                               ? ", found in this directory\n"
            : options.name_mode == NameMode::Given ? ", named on the command line\n"
                                                   : ", chosen by option\n");
    else
        say(" none found in this directory\n");
    return selection;
}

// Says why the download would be refused, as the download would; always false.
bool refuse(const DownloadOutcome& outcome, const DownloadRequest& request) {
    const SerialPort no_port{};
    char message[512];
    outcome_message(outcome, request, no_port, message, sizeof message);
    say("%s", message);
    explain_outcome(outcome, request);
    return false;
}

void say_image(const ImagePlan& plan, int index, const DownloadRequest& request,
               const ImageFile& file) {
    const PlannedImage& image = plan.images[index];
    const ImageKindInfo& kind_info = image_kind_info(image.kind);
    char shown[shown_name_size];
    say("%-6s %s : %lld bytes", kind_info.label,
        shown_name(request.file_names[static_cast<int>(image.kind)], shown, sizeof shown),
        static_cast<long long>(file.length));
    if (kind_info.skipped_bytes != 0)
        say(", its first %u never sent", kind_info.skipped_bytes);
    const std::uint32_t last = kind_info.flash_address + image.size - 1;
    say("\n       %u bytes to 0x%06X-0x%06X, in its region 0x%06X-0x%06X\n", image.size,
        kind_info.flash_address, last, kind_info.flash_address,
        kind_info.flash_address + kind_info.region_size - 1);
    say("       sector%s %u", image.sectors > 1 ? "s" : "", kind_info.first_sector);
    if (image.sectors > 1)
        say("-%u", kind_info.first_sector + image.sectors - 1);
    say(", %u block%s\n", image.blocks, image.blocks > 1 ? "s" : "");
}

// The time the download's frames take on the line: the access string and the header at the
// base speed, every block's whole frame at the data phase's speed, 10 bits a byte (8N1), and
// the drain after each block. The receiver's erasing and writing are not known here.
void say_time(const ImagePlan& plan, std::int32_t speed_hundreds) {
    const std::uint64_t base_bytes = access_string_size + header_size;
    const std::uint64_t data_bytes =
        std::uint64_t{plan.total_blocks} * (plan.block_size + block_trailer_size);
    const double seconds = static_cast<double>(base_bytes) * 10.0 / base_baud +
                           static_cast<double>(data_bytes) * 10.0 / (speed_hundreds * 100.0) +
                           plan.total_blocks * drain_ms / 1000.0;
    say("time : %.1f s on the line at %d00 baud\n", seconds, speed_hundreds);
    say("       %llu bytes at %d and %llu at %d00 baud, 10 bits a byte, and %d ms\n"
        "       a block for the drain; the receiver's erasing and writing come on top\n",
        static_cast<unsigned long long>(base_bytes), base_baud,
        static_cast<unsigned long long>(data_bytes), speed_hundreds, drain_ms);
}

bool plan_download(const Options& options) {
    const Selection selection = chosen_images(options);
    const DownloadRequest request = request_for(options, selection);
    DownloadOutcome outcome;
    if (selection == 0) {
        outcome.result = DownloadResult::Refused;
        outcome.reason = DownloadReason::NoImageFile;
        return refuse(outcome, request);
    }
    ImageFile files[image_kind_count];
    ImagePlan plan;
    const bool planned = open_and_plan_images(request, files, plan, outcome);
    if (planned) {
        for (int i = 0; i < plan.image_count; ++i)
            say_image(plan, i, request, files[static_cast<int>(plan.images[i].kind)]);
        say("erase : sectors");
        for (std::size_t i = 0; i < plan.sector_count; ++i)
            say(" %u", plan.sectors[i]);
        say("\n        (the header lists them: the receiver erases them)\n");
        say("blocks : %u of up to %u bytes, each sent as a frame of %zu\n", plan.total_blocks,
            plan.block_size, plan.block_size + block_trailer_size);
        say_time(plan, request.speed_hundreds);
    }
    for (ImageFile& file : files)
        close_image_file(file);
    return planned || refuse(outcome, request);
}

} // namespace

int print_plan(const Options& options) {
    say("plan : what a download would do; no port is opened, nothing is sent\n");
    if (!names_usable(options) || !plan_download(options))
        return exit_failed;
    say("A download would start.\n");
    return exit_done;
}
