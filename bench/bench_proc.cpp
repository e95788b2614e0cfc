#include "bench_proc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace bench {

std::int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool open_pty(Pty& pty, bool raw) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
        ptsname_r(pty.master, name, sizeof name) != 0)
        return false;
    pty.slave = name;
    if (!raw)
        return true;
    termios t{};
    if (tcgetattr(pty.master, &t) != 0) // on a master this reads the slave's settings
        return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    return tcsetattr(pty.master, TCSANOW, &t) == 0;
}

void close_pty(Pty& pty) {
    if (pty.master >= 0)
        close(pty.master);
    pty.master = -1;
}

namespace {

// In the child, between fork and exec: only async-signal-safe calls, and _exit on failure.
[[noreturn]] void start_child(const Launch& launch, int out_write, char* const* argv) {
    setsid();
    int in = -1;
    int out = out_write;
    if (!launch.console.empty()) {
        in = open(launch.console.c_str(), O_RDWR); // the session's first tty: it controls it
        if (in < 0 || ioctl(in, TIOCSCTTY, 0) != 0)
            _exit(126);
    } else if (!launch.line.empty()) {
        in = open(launch.line.c_str(), O_RDWR | O_NOCTTY);
        out = in;
    } else if (!launch.input.empty()) {
        in = open(launch.input.c_str(), O_RDWR | O_NOCTTY);
        out = open(launch.output.c_str(), O_RDWR | O_NOCTTY);
        if (out < 0)
            _exit(126);
    } else {
        in = open("/dev/null", O_RDONLY);
    }
    const char* err_name = launch.err_path.empty() ? "/dev/null" : launch.err_path.c_str();
    int err = open(err_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0)
        _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv);
    _exit(127);
}

void read_all(int& fd, std::string* into) {
    char buf[8192];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            if (into)
                into->append(buf, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (into) { // a pipe at its end; a console master is closed by its owner
                close(fd);
                fd = -1;
            }
        }
        return;
    }
}

void reap(Child& c) {
    int status = 0;
    if (wait4(c.pid, &status, WNOHANG, &c.usage) != c.pid)
        return;
    c.exit_ns = mono_ns();
    c.done = true;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (c.pidfd >= 0)
        close(c.pidfd);
    c.pidfd = -1;
    if (c.out >= 0)
        read_all(c.out, &c.text);
}

} // namespace

bool spawn(const Launch& launch, Child& child) {
    std::vector<char*> argv;
    for (const std::string& a : launch.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return false;
    child.spawn_ns = mono_ns();
    child.pid = fork();
    if (child.pid == 0)
        start_child(launch, pipe_fds[1], argv.data());
    close(pipe_fds[1]);
    if (child.pid < 0) {
        close(pipe_fds[0]);
        return false;
    }
    child.out = pipe_fds[0];
    fcntl(child.out, F_SETFL, O_NONBLOCK);
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    return child.pidfd >= 0;
}

void pump(const Group& group, std::int64_t deadline) {
    std::vector<pollfd> fds;
    for (Child* c : group) {
        if (c->out >= 0)
            fds.push_back({c->out, POLLIN, 0});
        if (c->console >= 0 && !c->done) // a console whose program ended stays hung up
            fds.push_back({c->console, POLLIN, 0});
        if (c->pidfd >= 0)
            fds.push_back({c->pidfd, POLLIN, 0});
    }
    std::int64_t left = deadline - mono_ns();
    if (left < 0)
        left = 0;
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    ppoll(fds.data(), fds.size(), &ts, nullptr);
    for (Child* c : group) {
        if (c->out >= 0)
            read_all(c->out, &c->text);
        if (c->console >= 0 && !c->done)
            read_all(c->console, nullptr); // the receiver's echoed text: not needed
        if (c->pidfd >= 0 && !c->done)
            reap(*c);
    }
}

bool wait_text(const Group& group, Child& child, const char* needle, std::int64_t deadline,
               std::int64_t* seen_ns, std::size_t from) {
    for (;;) {
        if (child.text.size() > from && child.text.find(needle, from) != std::string::npos) {
            if (seen_ns)
                *seen_ns = mono_ns();
            return true;
        }
        if (child.done || mono_ns() >= deadline)
            return false;
        pump(group, deadline);
    }
}

bool wait_exit(const Group& group, Child& child, std::int64_t deadline) {
    while (!child.done) {
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
        if (c->pid > 0 && !c->done) {
            kill(-c->pid, SIGKILL);
            kill(c->pid, SIGKILL);
            int status = 0;
            wait4(c->pid, &status, 0, &c->usage);
            c->done = true;
            c->status = 128 + SIGKILL;
            c->exit_ns = mono_ns();
        } else if (c->pid > 0) {
            kill(-c->pid, SIGKILL); // a tracee or helper left behind in its group
        }
        for (int* fd : {&c->out, &c->pidfd})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
    }
}

std::int64_t process_cpu_ns(pid_t pid) {
    clockid_t clock{};
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return -1;
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
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

bool put_bytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    std::int64_t deadline = after_ms(2000);
    while (done < bytes.size()) {
        ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (mono_ns() >= deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    return true;
}

} // namespace bench
