#include "driver/request.h"

#include "system/console.h"
#include "system/shown_name.h"

Selection images_present() {
    Selection found = 0;
    for (int k = 0; k < image_kind_count; ++k) {
        const ImageKindInfo& kind_info = image_kind_info(static_cast<ImageKind>(k));
        if (image_file_present(kind_info.default_name))
            found |= kind_info.selection_bit;
    }
    return found;
}

DownloadRequest request_for(const Options& options, Selection selection) {
    DownloadRequest request;
    request.selection = selection;
    request.block_size = options.block_size;
    request.speed_hundreds = options.speed_hundreds;
    for (int k = 0; k < image_kind_count; ++k) {
        request.file_names[k] = options.name_mode == NameMode::Given
                                    ? options.names[k]
                                    : image_kind_info(static_cast<ImageKind>(k)).default_name;
    }
    // A station's slot must never wait for ever on its receiver; the one-port program waits as
    // long as the person at the bench lets it, unless /silence= says otherwise.
    if (options.silence_given && options.silence_s > 0) {
        request.answer_bound = AnswerBound::Fixed;
        request.answer_bound_ms = std::int64_t{options.silence_s} * 1000;
    } else if (!options.silence_given && options.station) {
        request.answer_bound = AnswerBound::WorstCase;
    }
    return request;
}

bool names_usable(const Options& options) {
    char shown[shown_name_size];
    switch (options.name_mode) {
    case NameMode::UnknownFormat:
        say("\nFile name : %s\n",
            shown_name(options.names[static_cast<int>(ImageKind::Host)], shown, sizeof shown));
        say("Don't know File format.");
        return false;
    case NameMode::TooLong:
        say("Error : File name is longer too.");
        return false;
    case NameMode::Given:
    case NameMode::None:
        break;
    }
    return true;
}
