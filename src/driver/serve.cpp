#include "driver/serve.h"

#include "driver/diagnostics.h"
#include "driver/exchange_text.h"
#include "driver/outcome.h"
#include "driver/record.h"
#include "driver/request.h"
#include "driver/version.h"
#include "system/clock.h"
#include "system/console.h"

#include <cstdio>
#include <cstring>

namespace {

// The images found in the current directory, with the line that says so; nothing found is
// said with the outcome's message.
Selection detect_selection() {
    static const char* const found_lines[8] = {
        "",
        "Found Only rom.bin file.\n",
        "Found Only font.bin file.\n",
        "Found rom.bin and font.bin files.\n",
        "Found Only tplist.bin file.\n",
        "Found rom.bin and tplist.bin files.\n",
        "Found font.bin and tplist.bin files.\n",
        "Found all files.\n",
    };
    const Selection found = images_present();
    say("%s", found_lines[found]);
    return found;
}

// Appends the download's record to the /log= file. A record that cannot be written is said
// on standard error; the run goes on, since the receiver has been served either way.
void append_download_record(Run& run, RecordFacts& facts, const char* message) {
    char reason[512];
    std::snprintf(reason, sizeof reason, "%.*s", static_cast<int>(std::strcspn(message, "\n")),
                  message);
    // The reason lives in this function: it is lent to the facts for the record and taken back
    // before returning, so that the caller is never left holding a dangling pointer.
    const char* given_reason = facts.reason;
    facts.reason = reason[0] != '\0' ? reason : nullptr;
    facts.end_unix_ms = unix_ms_now();
    facts.program = version_text;
    char record[8192];
    const std::size_t length = format_record(facts, record, sizeof record);
    facts.reason = given_reason;
    if (length == 0 || !append_record(run.record, record, length))
        complain("%s: the record of this download could not be written\n", run.options.log_path);
}

} // namespace

DownloadOutcome serve_receiver(Run& run, Line& line) {
    SerialPort& port = line.ports.com[line.ports.active];
    ExchangeText text;
    start_exchange_text(text, port.device, run.options.progress, output_is_terminal(),
                        run.options.speed_hundreds);
    const ExchangeSink sink = exchange_text_sink(text);
    ExchangeEvent announced;
    announced.kind = ExchangeEventKind::Announced;
    sink.hear(sink.context, announced);
    RecordFacts facts;
    facts.start_unix_ms = unix_ms_now();
    const std::int64_t start_ms = now_ms();
    const Selection selection =
        run.options.selection != 0 ? run.options.selection : detect_selection();
    DownloadRequest request = request_for(run.options, selection);
    request.digests = run.options.log_path != nullptr;
    request.tick_ms = text.progress.terminal ? progress_tick_ms : 0;
    DownloadOutcome outcome;
    if (selection == 0) {
        outcome.result = DownloadResult::Refused;
        outcome.reason = DownloadReason::NoImageFile;
    } else {
        outcome =
            run_download(port, line.watch, line.buffers->by_selection[selection], request, sink);
    }
    char message[512];
    outcome_message(outcome, request, port, message, sizeof message);
    if (outcome.result == DownloadResult::LineLost)
        say_line_lost(port, outcome.lost_error);
    else if (message[0] != '\0')
        say("%s", message);
    explain_outcome(outcome, request);
    if (run.options.progress) {
        char summary[160];
        summary_line(outcome, now_ms() - start_ms, summary, sizeof summary);
        say("%s", summary);
    }
    if (run.options.log_path != nullptr) {
        facts.outcome = &outcome;
        facts.request = &request;
        facts.port = line.name;
        facts.device = port.device;
        append_download_record(run, facts, message);
    }
    return outcome;
}
