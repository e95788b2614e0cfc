// The waits of the link over real pseudo-terminal pairs: the test holds the master (the
// receiver's end), the code under test opens the slave as its serial port. Whatever looks at
// the keyboard runs in a child process whose controlling terminal is a pseudo-terminal of its
// own, so ESC and the echo are real terminal traffic and the developer's terminal is left alone.

#include "helpers/key_sequences.h"
#include "link/link_wait.h"
#include "system/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Pty {
    int master = -1;
    int slave = -1; // held open so that nothing is lost before the code under test opens it
    std::string path;
};

Pty make_pty(bool raw) {
    Pty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(pty.master);
    unlockpt(pty.master);
    pty.path = ptsname(pty.master);
    pty.slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    if (raw) {
        termios settings{};
        tcgetattr(pty.slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(pty.slave, TCSANOW, &settings);
    }
    return pty;
}

void close_pty(Pty& pty) {
    if (pty.master >= 0)
        close(pty.master);
    if (pty.slave >= 0)
        close(pty.slave);
    pty.master = pty.slave = -1;
}

void send(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads what arrives on `fd` until `wanted` bytes came or `limit` passed.
std::string receive(int fd, std::size_t wanted, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < wanted && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return got;
}

class LinkWait : public testing::Test {
  protected:
    void SetUp() override {
        line = make_pty(true);
        console = make_pty(false);
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close_pty(line);
        close_pty(console);
    }

    SerialPort open_line() { return open_port(line.path.c_str(), base_baud); }

    // Runs `body` in a child whose controlling terminal is the console pty; its result is the
    // child's exit status.
    void start(const std::function<int(SerialPort&)>& body) {
        child = fork();
        if (child == 0) {
            // The child must hold no end of the test's own: a closed master has to hang up.
            close(line.master);
            close(console.master);
            setsid();
            const int tty = open(console.path.c_str(), O_RDWR);
            ioctl(tty, TIOCSCTTY, 0);
            SerialPort port = open_line();
            std::exit(port_is_open(port) ? body(port) : 99);
        }
    }

    // The child's exit status, or -1 when it did not end within `limit`.
    int finish(std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    // True while the child is still waiting.
    bool still_running() {
        int status = 0;
        return waitpid(child, &status, WNOHANG) == 0;
    }

    Pty line;
    Pty console;
    pid_t child = -1;
};

TEST_F(LinkWait, AReplyAlreadyQueuedReturnsAtOnce) {
    SerialPort port = open_line();
    send(line.master, "0123456789XYZ");
    std::this_thread::sleep_for(20ms);
    std::uint8_t reply[10];
    const auto start = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 5000, got), LinkResult::Done);
    EXPECT_EQ(got, 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(std::string(reply, reply + 10), "0123456789");
    EXPECT_EQ(read_byte(port), 'X') << "bytes behind the reply stay queued";
    close_port(port);
}

TEST_F(LinkWait, AShortReplyReturnsItsCountAtTheDeadline) {
    SerialPort port = open_line();
    send(line.master, "1234567");
    std::uint8_t reply[10];
    const auto start = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 300, got), LinkResult::TimedOut);
    EXPECT_EQ(got, 7);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3000ms);
    close_port(port);
}

TEST_F(LinkWait, TheDeadlineBoundsTheWholeReplyNotTheGaps) {
    SerialPort port = open_line();
    std::thread trickle([this] {
        for (int i = 0; i < 8; ++i) {
            send(line.master, "x");
            std::this_thread::sleep_for(60ms);
        }
    });
    std::uint8_t reply[10];
    const auto start = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 250, got), LinkResult::TimedOut);
    const auto took = std::chrono::steady_clock::now() - start;
    trickle.join();
    EXPECT_GE(got, 3);
    EXPECT_LE(got, 6);
    EXPECT_LT(took, 400ms);
    close_port(port);
}

TEST_F(LinkWait, TheDrainSwallowsAMarkThatComesTooSoonAndKeepsLaterBytes) {
    SerialPort port = open_line();
    send(line.master, "!");
    std::this_thread::sleep_for(10ms);
    const auto start = std::chrono::steady_clock::now();
    drain_input(port);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(drain_ms));
    send(line.master, "@");
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(read_byte(port), '@');
    EXPECT_EQ(read_byte(port), -1);
    close_port(port);
}

TEST_F(LinkWait, MarkWaitEchoesTextAndReturnsTheMarksPosition) {
    start([](SerialPort& port) {
        int mark = -1;
        return wait_for_mark(port, "!@", mark) == LinkResult::Done ? mark + 10 : 99;
    });
    send(line.master, "abc@!");
    EXPECT_EQ(finish(), 11);
    // The echo is on the console, with nothing else.
    EXPECT_EQ(receive(console.master, 3, 1000ms), "abc");
}

// A receiver that says nothing for the quiet time is said once on standard error, naming the
// port and ESC; the wait goes on and ends on the mark as usual, and the line carries nothing.
TEST_F(LinkWait, AQuietReceiverIsSaidOnceAndTheWaitGoesOn) {
    char errors[] = "/tmp/link_wait_errors_XXXXXX";
    const int errors_fd = mkstemp(errors);
    ASSERT_GE(errors_fd, 0);
    start([errors_fd](SerialPort& port) {
        dup2(errors_fd, STDERR_FILENO);
        set_quiet_notice_ms(300);
        int mark = -1;
        return wait_for_mark(port, "!@", mark) == LinkResult::Done ? mark : 99;
    });
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(still_running());
    send(line.master, "!");
    EXPECT_EQ(finish(), 0);
    char text[512] = {};
    const ssize_t length = pread(errors_fd, text, sizeof text - 1, 0);
    close(errors_fd);
    unlink(errors);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0))),
              "upgrade: nothing heard from the receiver on " + line.path +
                  " for 1 s; ESC ends the download\n");
    EXPECT_EQ(receive(line.master, 1, 200ms), "") << "the quiet wait wrote to the line";
}

TEST_F(LinkWait, ReadyWaitTakesOnlyTheReadyMark) {
    start([](SerialPort& port) { return wait_ready(port) == LinkResult::Done ? 0 : 1; });
    send(line.master, "@x!");
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(receive(console.master, 2, 1000ms), "@x");
}

TEST_F(LinkWait, OnlyALoneEscEndsAWait) {
    for (const helpers::KeySequence& c : helpers::key_sequences) {
        TearDown();
        SetUp();
        start([](SerialPort& port) { return wait_ready(port) == LinkResult::Done ? 0 : 1; });
        std::this_thread::sleep_for(100ms);
        send(console.master, c.bytes);
        std::this_thread::sleep_for(200ms);
        if (c.is_escape) {
            EXPECT_EQ(finish(), 1) << c.name;
        } else {
            EXPECT_TRUE(still_running()) << c.name;
            send(line.master, "!");
            EXPECT_EQ(finish(), 0) << c.name;
        }
    }
}

TEST_F(LinkWait, EscStopsABlockThatTheReceiverDoesNotRead) {
    start([](SerialPort& port) {
        static std::uint8_t block[1 << 20];
        return write_watching_keys(port, block, sizeof block) == LinkResult::Escaped ? 0 : 1;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(still_running()) << "the writer waits for room while nobody reads";
    send(console.master, "\x1b");
    EXPECT_EQ(finish(2000ms), 0);
}

TEST_F(LinkWait, AWaitEndsWhenTheDeviceGoesAway) {
    start([](SerialPort& port) {
        int mark = -1;
        const LinkResult result = wait_for_mark(port, "!@", mark);
        return result == LinkResult::Lost && port.lost_error != 0 ? 0 : 1;
    });
    std::this_thread::sleep_for(100ms);
    close(line.master);
    line.master = -1;
    EXPECT_EQ(finish(), 0);
}

} // namespace
