#include "bench_runs.h"

#include "helpers/programs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::size_t handshake_bytes = 15 + 52; // access string and download header

std::int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

} // namespace

bool start_upgrade(const Setup& setup, const std::string& cwd, const std::string& com1,
                   bool auto_ports, const std::vector<std::string>& args, UpgradeRun& run,
                   const std::string& err_path, const std::vector<std::string>& prefix) {
    if (!open_pty(run.console, toolkit::PtySettings::FreshTerminal) ||
        !open_pty(run.spare, toolkit::PtySettings::SerialLine))
        return false;
    std::vector<std::string> all;
    if (!auto_ports)
        all.push_back("/port=com1");
    all.insert(all.end(), args.begin(), args.end());
    Launch launch =
        helpers::upgrade_launch(setup.upgrade, com1, run.spare.path, all, run.console.path);
    launch.argv.insert(launch.argv.begin(), prefix.begin(), prefix.end());
    launch.cwd = cwd;
    launch.err = err_to(err_path);
    return toolkit::spawn(launch, run.child);
}

void close_upgrade(UpgradeRun& run) {
    close_pty(run.console);
    close_pty(run.spare);
}

bool spawn_station(const Setup& setup, const std::string& cwd, const std::vector<std::string>& args,
                   UpgradeRun& run, const std::string& err_path) {
    if (!open_pty(run.console, toolkit::PtySettings::FreshTerminal))
        return false;
    Launch launch;
    launch.argv = {setup.upgrade};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.cwd = cwd;
    launch.console = run.console.path;
    launch.in = {toolkit::Io::Console};
    launch.err = err_to(err_path);
    return toolkit::spawn(launch, run.child);
}

Group group_of(UpgradeRun& run, const std::vector<Child*>& others) {
    Group group{{&run.child}, {&run.console.master}};
    group.children.insert(group.children.end(), others.begin(), others.end());
    return group;
}

bool start_sim(const Setup& setup, const std::vector<std::string>& args, Child& sim,
               std::string& slave, const std::string& err_path) {
    std::vector<std::string> all = {"--timeout", "60"};
    all.insert(all.end(), args.begin(), args.end());
    Launch launch = helpers::sim_launch(setup.sim, all);
    launch.err = err_to(err_path);
    return helpers::start_sim(launch, sim, slave, after_ms(10000));
}

bool press_escape(const Group& group, UpgradeRun& run, double& esc_ms) {
    std::int64_t pressed = mono_ns();
    if (!put_bytes(run.console.master.fd, "\x1b") || !wait_exit(group, run.child, after_ms(5000)))
        return false;
    esc_ms = static_cast<double>(run.child.ended_ns - pressed) / 1e6;
    return true;
}

DownloadSample run_download(const Setup& setup, const std::vector<std::string>& extra) {
    DownloadSample r;
    Child sim;
    UpgradeRun up;
    Group group = group_of(up, {&sim});
    std::string slave;
    std::string report = setup.dir + "/download.report";
    std::remove(report.c_str());
    std::string delay = std::to_string(setup.mark_delay_ms);
    std::int64_t started = 0;
    std::vector<std::string> args = {"rom.bin", "font.bin", "tplist.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!start_sim(setup,
                   {"--delay", "50", "--announce-every", "200", "--mark-delay-ms", delay,
                    "--report", report},
                   sim, slave, setup.dir + "/download.sim.err"))
        r.why = "receiver-sim did not start";
    else if (!start_upgrade(setup, setup.download_dir, slave, false, args, up,
                            setup.dir + "/download.err"))
        r.why = "upgrade did not start";
    else if (!wait_text(group, up.child, "start pol ok", after_ms(20000), &started))
        r.why = "no download began";
    else {
        std::int64_t cpu_before = process_cpu_ns(up.child.pid);
        if (!wait_exit(group, up.child, after_ms(60000)))
            r.why = "the download did not end within 60 s";
        else if (up.child.status != 0)
            r.why = "upgrade exited with status " + std::to_string(up.child.status);
        else if (!wait_exit(group, sim, after_ms(5000)) || sim.status != 0)
            r.why = "receiver-sim did not accept the download (see download.report)";
        else {
            r.ok = true;
            r.wall_ms = static_cast<double>(up.child.ended_ns - started) / 1e6;
            r.cpu_ms = static_cast<double>(up.child.cpu_ns - cpu_before) / 1e6;
            r.peak_kib = static_cast<double>(up.child.max_rss_kib);
        }
    }
    finish(group);
    close_upgrade(up);
    return r;
}

namespace {

// The writer of the raw copy: waits for the go byte, writes `bytes` into the slave in large
// blocking writes, and reports its own CPU time through `result`.
[[noreturn]] void raw_writer(const char* slave_path, std::size_t bytes, int go, int result) {
    int slave = open(slave_path, O_WRONLY | O_NOCTTY);
    std::vector<char> chunk(65536, 'x');
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
    char c;
    if (slave < 0 || read(go, &c, 1) != 1)
        _exit(1);
    std::int64_t cpu0 = thread_cpu_ns();
    std::size_t done = 0;
    while (done < bytes) {
        std::size_t n = bytes - done < chunk.size() ? bytes - done : chunk.size();
        ssize_t put = write(slave, chunk.data(), n);
        if (put < 0 && errno != EINTR)
            _exit(1);
        if (put > 0)
            done += static_cast<std::size_t>(put);
    }
    std::int64_t used = thread_cpu_ns() - cpu0;
    if (write(result, &used, sizeof used) != sizeof used)
        _exit(1);
    _exit(0);
}

// Reads `bytes` from the master within the deadline; false when they did not all come.
bool raw_reader(int master, std::size_t bytes, std::int64_t deadline) {
    std::vector<char> buf(65536);
    std::size_t got = 0;
    while (got < bytes) {
        ssize_t n = read(master, buf.data(), buf.size());
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        std::int64_t left = deadline - mono_ns();
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || left <= 0)
            return false;
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left / 1000000) + 1);
    }
    return true;
}

RawSample raw_copy_once(std::size_t bytes) {
    RawSample r;
    Pty pty;
    int go[2] = {-1, -1}, result[2] = {-1, -1};
    if (!open_pty(pty, toolkit::PtySettings::SerialLine) || pipe2(go, O_CLOEXEC) != 0 ||
        pipe2(result, O_CLOEXEC) != 0) {
        r.why = "no pty or pipe";
        return r;
    }
    pid_t writer = fork();
    if (writer == 0)
        raw_writer(pty.path.c_str(), bytes, go[0], result[1]);
    close(go[0]);
    close(result[1]);
    usleep(50000); // time for the writer to open the slave and wait for the go byte
    std::int64_t cpu0 = thread_cpu_ns();
    std::int64_t t0 = mono_ns();
    bool copied = writer > 0 && write(go[1], "g", 1) == 1 &&
                  raw_reader(pty.master.fd, bytes, t0 + 30000000000LL);
    std::int64_t t1 = mono_ns();
    std::int64_t reader_cpu = thread_cpu_ns() - cpu0;
    std::int64_t writer_cpu = -1;
    pollfd p{result[0], POLLIN, 0};
    if (copied && poll(&p, 1, 5000) == 1 &&
        read(result[0], &writer_cpu, sizeof writer_cpu) == sizeof writer_cpu) {
        r.ok = true;
        r.wall_ms = static_cast<double>(t1 - t0) / 1e6;
        r.writer_cpu_ms = static_cast<double>(writer_cpu) / 1e6;
        r.reader_cpu_ms = static_cast<double>(reader_cpu) / 1e6;
    } else {
        r.why = "the raw copy did not complete";
    }
    if (writer > 0) {
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
    }
    close(go[1]);
    close(result[0]);
    close_pty(pty);
    return r;
}

double middle(double a, double b, double c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

} // namespace

// The copy is short (about 10 ms) and the kernel charges its pty work to whichever side
// happens to trigger it, so each figure is the median of three copies made back to back.
RawSample run_raw_copy(std::size_t bytes) {
    RawSample t[3];
    for (RawSample& one : t) {
        one = raw_copy_once(bytes);
        if (!one.ok)
            return one;
    }
    RawSample r = t[0];
    r.wall_ms = middle(t[0].wall_ms, t[1].wall_ms, t[2].wall_ms);
    r.writer_cpu_ms = middle(t[0].writer_cpu_ms, t[1].writer_cpu_ms, t[2].writer_cpu_ms);
    r.reader_cpu_ms = middle(t[0].reader_cpu_ms, t[1].reader_cpu_ms, t[2].reader_cpu_ms);
    return r;
}

namespace {

// From one strace line of a write to `line` (strace -y): the bytes written, or 0 for a failed
// call. False for lines about other descriptors or other calls.
bool traced_write(const std::string& text, const std::string& line, long long& written) {
    if (text.rfind("write", 0) != 0 && text.rfind("pwrite", 0) != 0)
        return false;
    std::size_t open = text.find('<');
    std::size_t close = text.find('>', open);
    std::size_t eq = text.rfind(" = ");
    if (open == std::string::npos || close == std::string::npos || eq == std::string::npos ||
        text.compare(open + 1, close - open - 1, line) != 0)
        return false;
    written = std::atoll(text.c_str() + eq + 3);
    if (written < 0)
        written = 0;
    return true;
}

} // namespace

WriteSample count_block_writes(const Setup& setup, std::size_t tplist_size, std::uint32_t block) {
    WriteSample r;
    Child sim;
    UpgradeRun up;
    Group group = group_of(up, {&sim});
    std::string slave;
    std::string trace = setup.dir + "/writes.strace";
    std::system(("rm -f '" + trace + "'.*").c_str()); // the files of an earlier run
    // Each line is served by a thread of its own: -ff follows the threads, one file each
    // (trace.TID), so that every write stays whole on its line of the file.
    std::vector<std::string> tracer = {
        setup.strace, "-qq", "-ff", "-y",
        "-s",         "0",   "-e",  "trace=write,writev,pwrite64,pwritev,pwritev2",
        "-o",         trace};
    if (!start_sim(setup, {"--delay", "300", "--announce-every", "300"}, sim, slave,
                   setup.dir + "/writes.sim.err") ||
        !start_upgrade(setup, setup.download_dir, slave, false, {"tplist.bin"}, up,
                       setup.dir + "/writes.err", tracer))
        r.why = "could not start";
    else if (!wait_exit(group, up.child, after_ms(120000)) || up.child.status != 0)
        r.why = "the traced download failed";
    finish(group);
    close_upgrade(up);
    if (!r.why.empty())
        return r;

    std::size_t frame = block + 16;
    std::size_t full = tplist_size / block;
    long long position = 0; // bytes the line has taken so far
    // The one thread that wrote on the line has them all, in order.
    DIR* dir = opendir(setup.dir.c_str());
    while (const dirent* e = dir ? readdir(dir) : nullptr) {
        if (std::strncmp(e->d_name, "writes.strace.", 14) != 0 || position > 0)
            continue;
        r.per_full_block.assign(full, 0);
        FILE* f = std::fopen((setup.dir + "/" + e->d_name).c_str(), "r");
        char buf[4096];
        while (f && std::fgets(buf, sizeof buf, f)) {
            long long written = 0;
            if (!traced_write(buf, slave, written))
                continue;
            long long at = position - static_cast<long long>(handshake_bytes);
            if (at >= 0 && static_cast<std::size_t>(at) / frame < full)
                ++r.per_full_block[static_cast<std::size_t>(at) / frame];
            position += written;
        }
        if (f)
            std::fclose(f);
    }
    if (dir)
        closedir(dir);
    r.ok = position ==
           static_cast<long long>(handshake_bytes + frame * ((tplist_size + block - 1) / block));
    if (!r.ok)
        r.why = "the trace shows " + std::to_string(position) + " bytes on the line";
    return r;
}

} // namespace bench
