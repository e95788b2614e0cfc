#include "sim_report.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

bool open_report(SimReport& report, const char* path, bool verbose) {
    report.verbose = verbose;
    if (path[0] == '\0')
        return true;
    report.file = std::fopen(path, "a");
    if (report.file == nullptr)
        std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n", path, std::strerror(errno));
    return report.file != nullptr;
}

void close_report(SimReport& report) {
    if (report.file != nullptr)
        std::fclose(report.file);
    report.file = nullptr;
}

void report_line(SimReport& report, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (report.file != nullptr) {
        std::fprintf(report.file, "%s\n", line);
        std::fflush(report.file);
    }
    if (report.verbose)
        std::fprintf(stderr, "receiver-sim: %s\n", line);
}

void report_error(SimReport& report, const char* format, ...) {
    char text[480];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (report.file != nullptr) {
        std::fprintf(report.file, "error %s\n", text);
        std::fflush(report.file);
    }
    std::fprintf(stderr, "receiver-sim: %s\n", text);
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
