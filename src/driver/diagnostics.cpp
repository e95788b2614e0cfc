#include "driver/diagnostics.h"

#include "system/console.h"
#include "system/image_file.h"
#include "system/port_advice.h"
#include "system/shown_name.h"

void explain_port(const SerialPort& port) {
    if (port.open_step == nullptr)
        return; // not tried, or open
    complain("%s: %s: %s\n", port.device, port.open_step, port.open_reason);
    DeviceAccess access;
    char advice[512];
    if (read_denied_access(port.device, port.open_error, access) &&
        access_advice(port.device, access, advice, sizeof advice))
        complain("%s\n", advice);
}

void explain_ports(const PortSet& ports) {
    for (const SerialPort& port : ports.com)
        explain_port(port);
}

void explain_outcome(const DownloadOutcome& outcome, const DownloadRequest& request) {
    if (outcome.result != DownloadResult::Refused || outcome.reason != DownloadReason::ImageMissing)
        return;
    const char* name = request.file_names[static_cast<int>(outcome.kind)];
    if (name == nullptr || name[0] == '\0') {
        // A kind chosen by a letter while other images were named: it has no name of its own.
        complain("no file was named for %s: name it on the command line beside the others\n",
                 image_kind_info(outcome.kind).default_name);
        return;
    }
    char reason[256];
    describe_image_error(outcome.file_error, reason, sizeof reason);
    char shown[shown_name_size];
    complain("cannot open %s: %s\n", shown_name(name, shown, sizeof shown), reason);
}
