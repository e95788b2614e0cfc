#include "sim_report.h"

#include "system/error_text.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

bool open_report(SimReport& report, const char* path, bool verbose) {
    report.verbose = verbose;
    if (path[0] == '\0')
        return true;
    report.file = std::fopen(path, "a");
    if (report.file == nullptr)
        std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n", path, error_text(errno).text);
    return report.file != nullptr;
}

void close_report(SimReport& report) {
    if (report.file != nullptr && std::fclose(report.file) != 0)
        std::fprintf(stderr, "receiver-sim: the report file could not be written\n");
    report.file = nullptr;
}

namespace {

// Appends one line to the report file; with `to_stderr` it goes to standard error as well.
void write_line(SimReport& report, const char* line, bool to_stderr) {
    if (report.file != nullptr) {
        // The tests read the report: a line lost is said where they see it.
        if (std::fprintf(report.file, "%s\n", line) < 0 || std::fflush(report.file) != 0)
            std::fprintf(stderr, "receiver-sim: the report file could not be written\n");
    }
    if (to_stderr)
        std::fprintf(stderr, "receiver-sim: %s\n", line);
}

} // namespace

void report_line(SimReport& report, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    write_line(report, line, report.verbose);
}

// Errors always reach standard error, without the report's "error " in front.
void report_error(SimReport& report, const char* format, ...) {
    char line[512] = "error ";
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + 6, sizeof line - 6, format, args);
    va_end(args);
    write_line(report, line, false);
    std::fprintf(stderr, "receiver-sim: %s\n", line + 6);
}

void trace(const SimReport& report, const char* format, ...) {
    if (!report.verbose)
        return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "receiver-sim: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}
