#include "helpers/figures.h"

#include "toolkit/proc.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <time.h>

namespace helpers {

namespace {

// The value of the line `name:` in a status file, or -1.
long long field_of(const std::string& status_path, const char* name) {
    FILE* file = std::fopen(status_path.c_str(), "r");
    if (file == nullptr)
        return -1;
    char line[256];
    long long value = -1;
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            value = std::atoll(line + length + 1);
            break;
        }
    }
    std::fclose(file);
    return value;
}

} // namespace

std::int64_t process_cpu_ns(pid_t pid) {
    clockid_t clock{};
    timespec used{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
        return -1;
    return std::int64_t{used.tv_sec} * 1000000000 + used.tv_nsec;
}

// The counts are per thread, in /proc/<pid>/task/<tid>/status. The process's own
// /proc/<pid>/status gives its main thread's alone, which misses every wake-up of the other
// threads; /proc/<pid>/stat has no such count, and a reaped child's rusage comes too late for a
// span taken while it runs.
long long context_switches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return -1;
    long long total = 0;
    while (const dirent* task = readdir(dir)) {
        if (task->d_name[0] == '.')
            continue;
        const std::string status = tasks + "/" + task->d_name + "/status";
        // A thread that ended since the directory was read counts no more.
        for (const char* name : {"voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"})
            total += std::max(field_of(status, name), 0LL);
    }
    closedir(dir);
    return total;
}

long long status_field(pid_t pid, const char* name) {
    return field_of("/proc/" + std::to_string(pid) + "/status", name);
}

SpanFigures figures_over(pid_t pid, const std::function<void()>& span) {
    SpanFigures figures;
    const std::int64_t cpu_before = process_cpu_ns(pid);
    const long long switches_before = context_switches(pid);
    const std::int64_t start = toolkit::mono_ns();
    span();
    const std::int64_t cpu_after = process_cpu_ns(pid);
    const long long switches_after = context_switches(pid);
    figures.seconds = static_cast<double>(toolkit::mono_ns() - start) / 1e9;
    if (cpu_before < 0 || cpu_after < 0 || switches_before < 0 || switches_after < 0 ||
        figures.seconds <= 0)
        return figures;
    figures.ok = true;
    figures.cpu_share = static_cast<double>(cpu_after - cpu_before) / 1e9 / figures.seconds;
    figures.wakeups_per_s = static_cast<double>(switches_after - switches_before) / figures.seconds;
    return figures;
}

} // namespace helpers
