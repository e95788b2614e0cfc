#include "bench_proc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {

// Opens the files and terminals of `launch` that the child inherits, into `opened` (-1 for one
// that could not be opened: the start then fails); the caller closes them once it has started.
void plan_stdio(const Launch& launch, toolkit::Launch& how, std::vector<int>& opened) {
    auto open_here = [&opened](const std::string& path, int flags) {
        opened.push_back(open(path.c_str(), flags | O_CLOEXEC, 0644));
        return toolkit::Stdio{toolkit::Io::Inherit, opened.back()};
    };
    if (!launch.console.empty()) {
        how.console = launch.console;
        how.in = {toolkit::Io::Console};
    } else if (!launch.line.empty()) {
        how.in = how.out = open_here(launch.line, O_RDWR | O_NOCTTY);
    } else if (!launch.input.empty()) {
        how.in = open_here(launch.input, O_RDWR | O_NOCTTY);
        how.out = open_here(launch.output, O_RDWR | O_NOCTTY);
    }
    how.err = launch.err_path.empty() ? toolkit::Stdio{toolkit::Io::Null}
                                      : open_here(launch.err_path, O_WRONLY | O_CREAT | O_TRUNC);
}

void reap(Child& c) {
    if (!toolkit::try_reap(c.proc, &c.usage))
        return;
    c.exit_ns = mono_ns();
    toolkit::close_fd(c.pidfd);
    if (c.proc.out.fd >= 0 && !c.proc.out.closed)
        toolkit::read_available(c.proc.out); // what it wrote just before its end
}

} // namespace

bool spawn(const Launch& launch, Child& child) {
    toolkit::Launch how;
    how.argv = launch.argv;
    how.cwd = launch.cwd;
    std::vector<int> opened;
    plan_stdio(launch, how, opened);
    child.spawn_ns = mono_ns();
    const bool started = toolkit::spawn(how, child.proc);
    for (int& fd : opened)
        toolkit::close_fd(fd);
    if (!started)
        return false;
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.proc.pid, 0));
    return child.pidfd >= 0;
}

void pump(const Group& group, std::int64_t deadline) {
    std::vector<toolkit::Stream*> streams;
    std::vector<int> ends;
    for (Child* c : group) {
        streams.push_back(&c->proc.out);
        if (c->console != nullptr && !c->proc.reaped)
            streams.push_back(c->console);
        if (c->pidfd >= 0)
            ends.push_back(c->pidfd);
    }
    toolkit::pump_until(streams, deadline, ends);
    for (Child* c : group) {
        if (c->console != nullptr)
            c->console->data.clear(); // the receiver's echoed text: not needed
        if (c->pidfd >= 0 && !c->proc.reaped)
            reap(*c);
    }
}

bool wait_text(const Group& group, Child& child, const char* needle, std::int64_t deadline,
               std::int64_t* seen_ns, std::size_t from) {
    const std::string& text = child.proc.out.data;
    for (;;) {
        if (text.size() > from && text.find(needle, from) != std::string::npos) {
            if (seen_ns)
                *seen_ns = mono_ns();
            return true;
        }
        if (child.proc.reaped || mono_ns() >= deadline)
            return false;
        pump(group, deadline);
    }
}

bool wait_exit(const Group& group, Child& child, std::int64_t deadline) {
    while (!child.proc.reaped) {
        if (mono_ns() >= deadline)
            return false;
        pump(group, deadline);
    }
    return true;
}

void idle_until(const Group& group, std::int64_t deadline) {
    while (mono_ns() < deadline)
        pump(group, deadline);
}

void finish(const Group& group) {
    for (Child* c : group) {
        const bool running = c->proc.pid > 0 && !c->proc.reaped;
        if (c->proc.pid > 0 && !running)
            kill(-c->proc.pid, SIGKILL); // a tracee or helper left behind in its group
        toolkit::kill_and_reap(c->proc, &c->usage);
        if (running)
            c->exit_ns = mono_ns();
        toolkit::close_fd(c->pidfd);
    }
}

std::int64_t process_cpu_ns(pid_t pid) {
    clockid_t clock{};
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return -1;
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

long long process_switches(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* tasks = opendir(path);
    if (!tasks)
        return -1;
    long long sum = 0;
    while (const dirent* e = readdir(tasks)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string status = std::string(path) + "/" + e->d_name + "/status";
        std::ifstream in(status);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                sum += std::atoll(line.c_str() + line.find(':') + 1);
    }
    closedir(tasks);
    return sum;
}

long long status_field(pid_t pid, const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long long value = -1;
    std::size_t n = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, n) == 0 && line[n] == ':') {
            value = std::atoll(line + n + 1);
            break;
        }
    std::fclose(f);
    return value;
}

} // namespace bench
