#include "toolkit/proc.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace toolkit {

std::int64_t mono_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::int64_t after_ms(std::int64_t ms) {
    return mono_ns() + ms * 1000000;
}

int ms_left(std::int64_t deadline) {
    const std::int64_t left_ms = (deadline - mono_ns()) / 1000000;
    return left_ms <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left_ms, 1 << 30));
}

void read_available(Stream& stream) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(stream.fd, buffer, sizeof buffer);
        if (n > 0) {
            stream.data.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        stream.closed = true; // end of file, or EIO once the other side is gone
        return;
    }
}

void pump_until(const std::vector<Stream*>& streams, std::int64_t deadline,
                const std::vector<int>& wake) {
    std::vector<pollfd> fds;
    std::vector<Stream*> watched;
    for (Stream* stream : streams) {
        if (stream->fd >= 0 && !stream->closed) {
            fds.push_back(pollfd{stream->fd, POLLIN, 0});
            watched.push_back(stream);
        }
    }
    for (int fd : wake)
        fds.push_back(pollfd{fd, POLLIN, 0});
    const std::int64_t left_ns = std::max<std::int64_t>(deadline - mono_ns(), 0);
    const timespec timeout{static_cast<time_t>(left_ns / 1000000000),
                           static_cast<long>(left_ns % 1000000000)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0)
        return;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        if (fds[i].revents != 0)
            read_available(*watched[i]);
    }
}

bool write_all(int fd, const std::string& bytes, int timeout_ms) {
    const std::int64_t deadline = after_ms(timeout_ms);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (mono_ns() >= deadline)
            return false;
        pollfd room{fd, POLLOUT, 0};
        poll(&room, 1, 10);
    }
    return true;
}

void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void close_stream(Stream& stream) {
    close_fd(stream.fd);
    stream.closed = true;
}

bool open_pty(Pty& pty, PtySettings settings) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[256];
    int slave = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0)
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return false;
    }
    if (settings == PtySettings::SerialLine) {
        termios line{};
        tcgetattr(slave, &line);
        cfmakeraw(&line);
        cfsetispeed(&line, B57600);
        cfsetospeed(&line, B57600);
        tcsetattr(slave, TCSANOW, &line);
    }
    pty.master = Stream{};
    pty.master.fd = master;
    pty.slave = slave;
    pty.path = name;
    return true;
}

void close_pty(Pty& pty) {
    close_fd(pty.master.fd);
    close_fd(pty.slave);
}

namespace {

// What the child needs, prepared before fork: between fork and exec it only makes system
// calls, allocates nothing and ends with _exit.
struct Prepared {
    std::vector<char*> argv;
    const char* console = nullptr;
    const char* cwd = nullptr;
    Io io[3] = {};
    const char* paths[3] = {nullptr, nullptr, nullptr};
    int pipe_ends[3] = {-1, -1, -1}; // the child's write ends, for out and err
    long max_fd = 0;
};

[[noreturn]] void start_child(const Prepared& child, const std::vector<int>& ignored) {
    setsid();
    int console = -1;
    if (child.console != nullptr) {
        // The session's first terminal: opening it would make it the controlling one on its
        // own; TIOCSCTTY says so whatever the system's habit.
        console = open(child.console, O_RDWR);
        if (console < 0 || ioctl(console, TIOCSCTTY, 0) != 0)
            _exit(126);
    }
    // Each source is first lifted above the standard three, so that setting one never
    // overwrites the source of another.
    int source[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        int from = -1;
        switch (child.io[i]) {
        case Io::Closed:
            continue;
        case Io::Null:
            from = open("/dev/null", i == 0 ? O_RDONLY : O_WRONLY);
            break;
        case Io::Pipe:
            from = child.pipe_ends[i];
            break;
        case Io::Console:
            from = console;
            break;
        case Io::File:
            from = i == 0 ? open(child.paths[i], O_RDWR | O_NOCTTY)
                          : open(child.paths[i], O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0644);
            break;
        }
        source[i] = from < 0 ? -1 : fcntl(from, F_DUPFD_CLOEXEC, 3);
        if (source[i] < 0)
            _exit(126);
    }
    for (int i = 0; i < 3; ++i) {
        if (source[i] >= 0 && dup2(source[i], i) < 0)
            _exit(126);
    }
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < child.max_fd; ++fd)
            close(fd);
    }
    for (int i = 0; i < 3; ++i) {
        if (child.io[i] == Io::Closed)
            close(i);
    }
    for (int signal_number : ignored)
        signal(signal_number, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (child.cwd != nullptr && chdir(child.cwd) != 0)
        _exit(126);
    execv(child.argv[0], child.argv.data());
    _exit(127);
}

bool valid(const Launch& launch) {
    const Stdio* all[3] = {&launch.in, &launch.out, &launch.err};
    for (const Stdio* stdio : all) {
        if ((stdio->io == Io::Console && launch.console.empty()) ||
            (stdio->io == Io::File && stdio->path.empty()))
            return false;
    }
    return !launch.argv.empty() && launch.in.io != Io::Pipe;
}

} // namespace

bool spawn(const Launch& launch, Child& child) {
    if (!valid(launch))
        return false;
    Prepared prepared;
    for (const std::string& arg : launch.argv)
        prepared.argv.push_back(const_cast<char*>(arg.c_str()));
    prepared.argv.push_back(nullptr);
    if (!launch.console.empty())
        prepared.console = launch.console.c_str();
    if (!launch.cwd.empty())
        prepared.cwd = launch.cwd.c_str();
    prepared.max_fd = sysconf(_SC_OPEN_MAX);
    if (prepared.max_fd < 0 || prepared.max_fd > 4096)
        prepared.max_fd = 4096;

    const Stdio* stdio[3] = {&launch.in, &launch.out, &launch.err};
    for (int i = 0; i < 3; ++i) {
        prepared.io[i] = stdio[i]->io;
        prepared.paths[i] = stdio[i]->path.c_str();
    }
    int read_ends[3] = {-1, -1, -1};
    bool piped = true;
    for (int i = 1; i < 3 && piped; ++i) {
        int ends[2];
        if (stdio[i]->io != Io::Pipe)
            continue;
        piped = pipe2(ends, O_CLOEXEC) == 0;
        if (piped) {
            read_ends[i] = ends[0];
            prepared.pipe_ends[i] = ends[1];
        }
    }
    const std::int64_t started_ns = mono_ns();
    const pid_t pid = piped ? fork() : -1;
    if (pid == 0)
        start_child(prepared, launch.ignored_signals);
    for (int i = 0; i < 3; ++i)
        close_fd(prepared.pipe_ends[i]);
    if (pid < 0) {
        for (int& fd : read_ends)
            close_fd(fd);
        return false;
    }
    child = Child{};
    child.pid = pid;
    child.started_ns = started_ns;
    child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); // close-on-exec always
    child.out.fd = read_ends[1];
    child.err.fd = read_ends[2];
    for (Stream* stream : {&child.out, &child.err}) {
        stream->closed = stream->fd < 0;
        if (stream->fd >= 0)
            fcntl(stream->fd, F_SETFL, fcntl(stream->fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

int exit_status(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

namespace {

void note_end(Child& child, int wait_status, const rusage& usage) {
    child.reaped = true;
    child.status = exit_status(wait_status);
    child.ended_ns = mono_ns();
    child.cpu_ns = (std::int64_t{usage.ru_utime.tv_sec} + usage.ru_stime.tv_sec) * 1000000000 +
                   (std::int64_t{usage.ru_utime.tv_usec} + usage.ru_stime.tv_usec) * 1000;
    child.max_rss_kib = usage.ru_maxrss;
    close_fd(child.pidfd);
}

} // namespace

bool try_reap(Child& child) {
    if (child.reaped)
        return true;
    int wait_status = 0;
    rusage usage{};
    if (child.pid <= 0 || wait4(child.pid, &wait_status, WNOHANG, &usage) != child.pid)
        return false;
    note_end(child, wait_status, usage);
    return true;
}

bool wait_exit(Child& child, const std::vector<Stream*>& streams, std::int64_t deadline) {
    constexpr std::int64_t look_ms = 10; // without a pidfd, the longest an end goes unnoticed
    while (!try_reap(child)) {
        if (mono_ns() >= deadline)
            return false;
        if (child.pidfd >= 0)
            pump_until(streams, deadline, {child.pidfd});
        else
            pump_until(streams, std::min(deadline, after_ms(look_ms)));
    }
    return true;
}

void kill_and_reap(Child& child) {
    if (child.pid > 0 && !child.reaped) {
        // The group for what the program started; the process itself too, in case it has not
        // made its session yet.
        kill(-child.pid, SIGKILL);
        kill(child.pid, SIGKILL);
        int wait_status = 0;
        rusage usage{};
        wait4(child.pid, &wait_status, 0, &usage);
        note_end(child, wait_status, usage);
    }
    close_fd(child.pidfd);
    close_fd(child.out.fd);
    close_fd(child.err.fd);
}

} // namespace toolkit
