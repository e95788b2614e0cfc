#include "harness.h"

#include "helpers/programs.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef UPGRADE_E2E_UPGRADE_PATH
#define UPGRADE_E2E_UPGRADE_PATH ""
#endif
#ifndef UPGRADE_E2E_SIM_PATH
#define UPGRADE_E2E_SIM_PATH ""
#endif
#ifndef UPGRADE_E2E_JOB_SHELL_PATH
#define UPGRADE_E2E_JOB_SHELL_PATH ""
#endif

namespace e2e {

namespace {

using toolkit::after_ms;
using toolkit::close_fd;
using toolkit::ms_left;

constexpr int write_ms = 5000; // for keys and the receiver's bytes to go into a pty

// Starts `program` with `args` in `workdir` in a session of its own, with `console` as its
// controlling terminal and standard input; its output goes to the child's streams.
bool launch(Child& child, const std::string& program, const std::vector<std::string>& args,
            const std::string& workdir, const std::string& console) {
    toolkit::Launch how;
    how.argv.push_back(program);
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.cwd = workdir;
    how.console = console;
    how.in = {toolkit::Io::Console};
    return toolkit::spawn(how, child);
}

void dump(const char* what, const Stream& stream) {
    if (stream.data.empty())
        return;
    std::fprintf(stderr, "---- %s (%zu bytes) ----\n%s\n", what, stream.data.size(),
                 printable(stream.data.size() > 6000
                               ? stream.data.substr(0, 3000) + "\n[...]\n" +
                                     stream.data.substr(stream.data.size() - 3000)
                               : stream.data)
                     .c_str());
}

} // namespace

void pump(const std::vector<Stream*>& streams, int timeout_ms) {
    toolkit::pump_until(streams, after_ms(timeout_ms));
}

// ---- fixture ----

void E2eTest::SetUp() {
    ASSERT_STRNE(UPGRADE_E2E_UPGRADE_PATH, "") << "built without the path of upgrade";
    char templ[] = "/tmp/upgrade-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    ASSERT_TRUE(open_pty(console, toolkit::PtySettings::FreshTerminal));
    ASSERT_TRUE(open_pty(com[0], toolkit::PtySettings::SerialLine));
    ASSERT_TRUE(open_pty(com[1], toolkit::PtySettings::SerialLine));
    com_device[0] = com[0].path;
    com_device[1] = com[1].path;
}

void E2eTest::TearDown() {
    std::vector<std::pair<const char*, Child*>> children = {{"upgrade", &upgrade},
                                                            {"receiver-sim", &sim}};
    for (Child& child : other_runs)
        children.push_back({"other process", &child});
    for (auto& [name, child] : children) {
        if (child->pid > 0 && !child->reaped) {
            pump(streams(), 0);
            if (HasFailure())
                std::fprintf(stderr, "%s was still running: killed\n", name);
        }
        toolkit::kill_and_reap(*child);
    }
    // A job left behind by a job shell that was killed.
    if (job_pid > 0 && job_state() != '?')
        kill(job_pid, SIGKILL);
    // UPGRADE_E2E_DUMP=1 shows the captured output of passing tests too.
    if (HasFailure() || std::getenv("UPGRADE_E2E_DUMP")) {
        dump("upgrade stdout", upgrade.out);
        dump("upgrade stderr", upgrade.err);
        dump("upgrade console", console.master);
        dump("receiver-sim stdout", sim.out);
        dump("receiver-sim stderr", sim.err);
        std::ifstream report(path("sim-report.txt"));
        std::string text((std::istreambuf_iterator<char>(report)), {});
        if (!text.empty())
            std::fprintf(stderr, "---- receiver-sim report ----\n%s", text.c_str());
    }
    close_fd(job_fd);
    close_pty(console);
    close_pty(com[0]);
    close_pty(com[1]);
    for (Pty& pty : other_consoles)
        close_pty(pty);
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

std::vector<Stream*> E2eTest::streams() {
    std::vector<Stream*> all = {&upgrade.out,   &upgrade.err, &console.master, &com[0].master,
                                &com[1].master, &sim.out,     &sim.err};
    for (Child& child : other_runs) {
        all.push_back(&child.out);
        all.push_back(&child.err);
    }
    for (Pty& pty : other_consoles)
        all.push_back(&pty.master);
    return all;
}

void E2eTest::start_upgrade(const std::vector<std::string>& args) {
    toolkit::Launch how =
        helpers::upgrade_launch(UPGRADE_E2E_UPGRADE_PATH, com_device[0], com_device[1], args,
                                with_console ? console.path : std::string());
    how.cwd = dir;
    how.out = {upgrade_stdout};
    how.ignored_signals = ignored_signals;
    ASSERT_TRUE(toolkit::spawn(how, upgrade));
}

void E2eTest::start_job(const std::vector<std::string>& args, bool in_foreground) {
    ASSERT_STRNE(UPGRADE_E2E_JOB_SHELL_PATH, "") << "built without the job shell";
    job_control = path("job-control");
    job_pid_file = path("job-pid");
    ASSERT_EQ(mkfifo(job_control.c_str(), 0600), 0);
    // Held open for reading and writing, so that commands never block and never meet a closed
    // end, whenever the shell opens its side.
    job_fd = open(job_control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(job_fd, 0);
    std::vector<std::string> full = {in_foreground ? "--fg" : "--bg",
                                     job_control,
                                     job_pid_file,
                                     UPGRADE_E2E_UPGRADE_PATH,
                                     "/com1=" + com_device[0],
                                     "/com2=" + com_device[1]};
    full.insert(full.end(), args.begin(), args.end());
    ASSERT_TRUE(launch(upgrade, UPGRADE_E2E_JOB_SHELL_PATH, full, dir, console.path));
    auto deadline = after_ms(start_ms);
    while (job_pid <= 0 && ms_left(deadline) > 0) {
        pump(streams(), 10);
        std::ifstream file(job_pid_file);
        file >> job_pid;
    }
    ASSERT_GT(job_pid, 0) << "the job shell named no job";
}

void E2eTest::job_command(char command) {
    ASSERT_EQ(write(job_fd, &command, 1), 1);
}

char E2eTest::job_state() {
    std::ifstream file("/proc/" + std::to_string(job_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), {});
    auto close_paren = text.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= text.size()
               ? '?'
               : text[close_paren + 2];
}

bool E2eTest::wait_job_state(char state, int timeout_ms) {
    auto deadline = after_ms(timeout_ms);
    while (job_state() != state) {
        if (ms_left(deadline) == 0)
            return false;
        pump(streams(), 10);
    }
    return true;
}

bool E2eTest::console_given_back(int timeout_ms) {
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        termios settings{};
        if (tcgetattr(console.slave, &settings) == 0 &&
            (settings.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO))
            return true;
        if (ms_left(deadline) == 0)
            return false;
        pump(streams(), 10);
    }
}

void E2eTest::close_stream(Stream& stream) {
    toolkit::close_stream(stream);
}

Child& E2eTest::launch_other_upgrade(const std::vector<std::string>& args) {
    Child& child = other_runs.emplace_back();
    Pty& console_pty = other_consoles.emplace_back();
    if (!open_pty(console_pty, toolkit::PtySettings::FreshTerminal) ||
        !launch(child, UPGRADE_E2E_UPGRADE_PATH, args, dir, console_pty.path))
        ADD_FAILURE() << "another upgrade could not be started";
    return child;
}

std::string E2eTest::start_sim(const std::vector<std::string>& args) {
    return start_sim_as(sim, args);
}

std::string E2eTest::start_other_sim(const std::vector<std::string>& args) {
    return start_sim_as(other_runs.emplace_back(), args);
}

std::string E2eTest::start_sim_as(Child& child, const std::vector<std::string>& args) {
    // A receiver answers a frame once it has written its flash: 20 ms unless a test says
    // otherwise. The simulator's own few milliseconds fall inside the host's 2 ms drain whenever
    // the host is scheduled late on a loaded machine, and the mark is then discarded.
    std::vector<std::string> full = args;
    if (std::find(full.begin(), full.end(), "--mark-delay-ms") == full.end())
        full.insert(full.end(), {"--mark-delay-ms", "20"});
    toolkit::Launch how = helpers::sim_launch(UPGRADE_E2E_SIM_PATH, full);
    how.cwd = dir;
    std::string slave;
    if (!helpers::start_sim(how, child, slave, after_ms(start_ms), streams())) {
        ADD_FAILURE() << "receiver-sim did not start and name its line";
        return {};
    }
    return slave;
}

bool E2eTest::wait_for(Stream& stream, const std::string& text, int timeout_ms, std::size_t from) {
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        if (stream.data.size() >= from && stream.data.find(text, from) != std::string::npos)
            return true;
        if (stream.closed || ms_left(deadline) == 0) {
            // A last look: the bytes may have come with the end of the stream.
            pump(streams(), 0);
            return stream.data.size() >= from && stream.data.find(text, from) != std::string::npos;
        }
        pump(streams(), std::min(ms_left(deadline), 100));
    }
}

bool E2eTest::stays_quiet(Stream& stream, int ms) {
    std::size_t before = stream.data.size();
    auto deadline = after_ms(ms);
    while (ms_left(deadline) > 0)
        pump(streams(), std::min(ms_left(deadline), 50));
    return stream.data.size() == before;
}

helpers::SpanFigures E2eTest::figures_while_quiet(int ms) {
    bool quiet = false;
    const helpers::SpanFigures figures =
        helpers::figures_over(upgrade.pid, [&] { quiet = stays_quiet(upgrade.out, ms); });
    EXPECT_TRUE(quiet) << "expected no output while the program waits";
    EXPECT_TRUE(figures.ok) << "expected the program to run on while it was watched";
    return figures;
}

int E2eTest::wait_exit(Child& child, int timeout_ms) {
    if (child.pid <= 0)
        return -1;
    if (!toolkit::wait_exit(child, streams(), after_ms(timeout_ms))) {
        ADD_FAILURE() << "process " << child.pid << " did not end within " << timeout_ms
                      << " ms: killed";
        toolkit::kill_and_reap(child);
        return -1;
    }
    // The rest of its output is in the pipes; read it up to the end of file.
    auto drain_deadline = after_ms(2000);
    while ((!child.out.closed || !child.err.closed) && ms_left(drain_deadline) > 0)
        pump(streams(), 20);
    return child.status;
}

bool E2eTest::still_running(Child& child, int ms) {
    auto deadline = after_ms(ms);
    while (ms_left(deadline) > 0) {
        pump(streams(), std::min(ms_left(deadline), 20));
        if (toolkit::try_reap(child))
            return false;
    }
    return true;
}

void E2eTest::press(const std::string& keys) {
    ASSERT_TRUE(toolkit::write_all(console.master.fd, keys, write_ms));
}

bool E2eTest::wait_console_keys(int timeout_ms) {
    auto deadline = after_ms(timeout_ms);
    for (;;) {
        termios settings{};
        if (tcgetattr(console.slave, &settings) == 0 && (settings.c_lflag & (ICANON | ECHO)) == 0)
            return true;
        if (ms_left(deadline) == 0)
            return false;
        pump(streams(), 10);
    }
}

void E2eTest::receiver_sends(int com_index, const std::string& bytes) {
    ASSERT_TRUE(toolkit::write_all(com[com_index].master.fd, bytes, write_ms));
}

} // namespace e2e
