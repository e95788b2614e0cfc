// job_shell: a job-control shell in miniature, for the end-to-end tests. It runs on the console
// that the harness made its controlling terminal, as the leader of its session, and starts one
// job in a process group of its own, the way an interactive shell runs `upgrade ... &` or
// `upgrade ...`. The test moves the job with one-letter commands written to a FIFO:
//
//   job_shell --fg|--bg CONTROL_FIFO PID_FILE PROGRAM [ARGS...]
//
//   f   fg: the job's group gets the terminal, then SIGCONT
//   b   bg: the shell keeps the terminal, the job gets SIGCONT
//
// When the job stops (Ctrl-Z typed on the console), the shell takes the terminal back, as
// shells do. The job's pid is written to PID_FILE; the shell ends with the job's exit status
// (128 + the signal's number when a signal ended it).

#include "toolkit/proc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int job_signals[] = {SIGTTOU, SIGTTIN, SIGTSTP, SIGINT, SIGQUIT};

bool write_pid(const char* path, pid_t pid) {
    char temporary[4096];
    std::snprintf(temporary, sizeof temporary, "%s.new", path);
    FILE* file = std::fopen(temporary, "w");
    if (file == nullptr)
        return false;
    std::fprintf(file, "%d\n", static_cast<int>(pid));
    // Renamed into place, so that the test never reads half a number.
    return std::fclose(file) == 0 && std::rename(temporary, path) == 0;
}

int run_job(pid_t job, int control) {
    for (;;) {
        int status = 0;
        if (waitpid(job, &status, WNOHANG | WUNTRACED) == job) {
            tcsetpgrp(STDIN_FILENO, getpgrp());
            const int ended = toolkit::exit_status(status);
            if (ended >= 0)
                return ended;
            continue; // stopped: the shell holds the terminal until fg
        }
        pollfd wait_for_command{control, POLLIN, 0};
        poll(&wait_for_command, 1, 10);
        char command = 0;
        while (read(control, &command, 1) == 1) {
            tcsetpgrp(STDIN_FILENO, command == 'f' ? job : getpgrp());
            kill(-job, SIGCONT);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || (std::strcmp(argv[1], "--fg") != 0 && std::strcmp(argv[1], "--bg") != 0)) {
        std::fprintf(stderr,
                     "usage: job_shell --fg|--bg CONTROL_FIFO PID_FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    const bool in_foreground = std::strcmp(argv[1], "--fg") == 0;
    // The shell moves the terminal between groups from wherever it stands, and is not stopped
    // or ended by the keys meant for its job.
    for (int signal_number : job_signals)
        std::signal(signal_number, SIG_IGN);
    const int control = open(argv[2], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int placed[2];
    if (control < 0 || pipe2(placed, O_CLOEXEC) != 0) {
        std::perror("job_shell");
        return 2;
    }
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        char go = 0;
        if (read(placed[0], &go, 1) != 1)
            _exit(126);
        for (int signal_number : job_signals)
            std::signal(signal_number, SIG_DFL);
        execv(argv[4], argv + 4);
        _exit(127);
    }
    if (job < 0) {
        std::perror("job_shell: fork");
        return 2;
    }
    setpgid(job, job);
    if (in_foreground)
        tcsetpgrp(STDIN_FILENO, job);
    if (write(placed[1], "g", 1) != 1 || !write_pid(argv[3], job)) {
        kill(job, SIGKILL);
        return 2;
    }
    return run_job(job, control);
}
