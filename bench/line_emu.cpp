// line-emu: a serial cable between two programs, made of two pseudo-terminals.
//
// A pseudo-terminal moves bytes as fast as memory allows and ignores the line speed, so a
// download through one shows nothing of the timing a real cable imposes. line-emu creates two
// pseudo-terminals, side A (the host program, `upgrade`) and side B (the receiver), and relays
// the bytes between them at the speed that side A's program has set on its line: each byte
// takes (start bit + data bits + parity + stop bits) / baud on the line, 10 bits for 8N1. The
// speed change after the download header and the return to the base speed are therefore felt
// as on a cable. Each byte is timed at the speed in force when line-emu takes it from the
// pseudo-terminal, which is within microseconds of the write unless its direction is full
// (tcdrain on a pseudo-terminal does not wait for line-emu). The host switches 2 ms after its
// header, so the header crosses at the old speed, as on a cable. Side B's line is kept
// at side A's speed (checked every 2 ms while bytes move, every 50 ms after 2 s of quiet), so
// the receiver can see the switch with tcgetattr.
//
// On Linux, tcgetattr and tcsetattr on a master act on its slave's settings; that is how the
// speed set by side A's program is read and how side B's is set.
//
// Each direction holds at most lane_capacity bytes "on the wire"; beyond that line-emu stops
// reading, so a sender's writes back up as they would on a UART. A receiver that stops
// reading backs its direction up the same way instead of losing bytes.
//
// Output: the path of side A's slave alone on the first line of standard output, side B's on
// the second; then, for each SIGUSR1, one line with the figures of the span since the previous
// one (or the start), after which a new span begins:
//   span N first_byte_ns F last_byte_ns L a_to_b_bytes .. a_to_b_line_ns .. b_to_a_bytes ..
//   b_to_a_line_ns ..
// so that a benchmark that keeps one line up for many downloads (receivers come and go on side
// B) can take each download's figures apart: it asks for a span while the line is quiet, before
// a receiver comes and once its download is over. A byte still on its way at the signal counts
// in the next span. Ends with status 0 on SIGTERM, SIGINT or SIGHUP, or once both slaves have
// been opened and closed again; 3 when --timeout expires; 1 on a setup failure. It never spins:
// it sleeps in ppoll until a byte is due, input arrives or a check is due.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::size_t lane_capacity = 4096;      // a UART transmit buffer's worth
constexpr std::int64_t ps_per_s = 1000000000000; // times are kept in picoseconds
constexpr std::int64_t ps_per_ms = 1000000000;
constexpr std::int64_t busy_check_ps = 2 * ps_per_ms;  // speed and hangup checks while busy
constexpr std::int64_t idle_check_ps = 50 * ps_per_ms; // ... and after 2 s without traffic
constexpr std::int64_t busy_span_ps = 2000 * ps_per_ms;
constexpr std::int32_t default_baud = 57600;

// One direction of the line. Counters only grow; index = counter % lane_capacity.
// [written, landed): arrived at the far end, not yet taken by its pseudo-terminal.
// [landed, queued): still travelling; line_free_ps is when the byte at `landed` starts.
struct Lane {
    std::uint8_t bytes[lane_capacity] = {};
    std::int64_t byte_ps[lane_capacity] = {}; // line time of each byte at its speed
    std::uint64_t written = 0, landed = 0, queued = 0;
    std::int64_t line_free_ps = 0;
    std::int64_t last_land_ps = -ps_per_s;
};

struct Side {
    int master = -1;
    char path[128] = {};
    const char* link = nullptr;
    bool hung_up = false; // its slave was opened and every descriptor of it is closed now
};

struct Config {
    std::int32_t baud = default_baud;
    std::int64_t quantum_ps = 1 * ps_per_ms; // least time between two deliveries
    double timeout_s = 0;                    // 0: none
    const char* stats_path = nullptr;
    const char* link_a = nullptr;
    const char* link_b = nullptr;
};

// What crossed the line in a span: the whole run for --stats, since the last SIGUSR1 for the
// span lines.
struct Figures {
    std::int64_t first_byte_ns = -1; // CLOCK_MONOTONIC of the first byte put on the line
    std::int64_t last_byte_ns = -1;  // ... and of the last byte that arrived
    std::uint64_t bytes[2] = {};     // per lane: bytes that crossed
    std::int64_t line_ps[2] = {};    // ... and their line time
};

struct Emulator {
    Config config;
    Side side[2];
    Lane lane[2];              // lane[0]: A to B, lane[1]: B to A
    std::int64_t start_ns = 0; // CLOCK_MONOTONIC at start; times below count from it
    std::int64_t last_traffic_ps = -busy_span_ps;
    Figures whole; // the run, for --stats
    Figures span;  // since the last SIGUSR1
    int spans = 0; // span lines printed
};

struct SpeedName {
    speed_t code;
    std::int32_t baud;
};

constexpr SpeedName speed_table[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

std::int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::int64_t now_ps(const Emulator& emu) {
    return (monotonic_ns() - emu.start_ns) * 1000;
}

std::int32_t baud_of(speed_t code) {
    for (const SpeedName& s : speed_table)
        if (s.code == code)
            return s.baud;
    return 0;
}

bool code_of(std::int32_t baud, speed_t& code) {
    for (const SpeedName& s : speed_table)
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    return false;
}

// Line time of one character as the slave behind `master` is set now; 0 when the speed is
// hung up (B0) or not one of the standard ones.
std::int64_t char_time_ps(int master, std::int32_t* baud_out) {
    termios t{};
    if (tcgetattr(master, &t) != 0)
        return 0;
    std::int32_t baud = baud_of(cfgetospeed(&t));
    if (baud_out)
        *baud_out = baud;
    if (baud <= 0)
        return 0;
    tcflag_t size = t.c_cflag & CSIZE;
    std::int64_t bits = 1 + (size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8);
    bits += (t.c_cflag & PARENB) ? 1 : 0;
    bits += (t.c_cflag & CSTOPB) ? 2 : 1;
    return bits * ps_per_s / baud;
}

bool set_line(int master, std::int32_t baud, bool make_raw) {
    termios t{};
    speed_t code{};
    if (!code_of(baud, code) || tcgetattr(master, &t) != 0)
        return false;
    if (make_raw)
        cfmakeraw(&t);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    return tcsetattr(master, TCSANOW, &t) == 0;
}

bool open_side(Side& s, std::int32_t baud) {
    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0 ||
        ptsname_r(s.master, s.path, sizeof s.path) != 0)
        return false;
    if (!set_line(s.master, baud, true))
        return false;
    if (s.link) {
        unlink(s.link);
        if (symlink(s.path, s.link) != 0)
            return false;
    }
    return true;
}

// Side B follows side A's speed; side A's own setting is never touched.
void follow_speed(Emulator& emu) {
    std::int32_t a = 0, b = 0;
    char_time_ps(emu.side[0].master, &a);
    char_time_ps(emu.side[1].master, &b);
    if (a > 0 && a != b)
        set_line(emu.side[1].master, a, false);
}

// A slave that had been opened and is now closed shows POLLHUP on its master; one that was
// never opened does not, so a line waiting for its program is not taken for a closed one.
bool slave_hung_up(int master) {
    pollfd p{master, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

// Reads what side `from` has sent into its lane, each byte timed at the current speed.
void take_input(Emulator& emu, int from, std::int64_t now) {
    Lane& lane = emu.lane[from];
    std::int64_t byte_ps = char_time_ps(emu.side[0].master, nullptr);
    if (byte_ps <= 0)
        byte_ps = 10 * ps_per_s / emu.config.baud;
    while (lane.queued - lane.written < lane_capacity) {
        std::size_t at = lane.queued % lane_capacity;
        std::size_t room = lane_capacity - (lane.queued - lane.written);
        if (room > lane_capacity - at)
            room = lane_capacity - at;
        ssize_t got = read(emu.side[from].master, lane.bytes + at, room);
        if (got <= 0) {
            if (got < 0 && errno == EIO)
                emu.side[from].hung_up = true;
            return;
        }
        if (lane.landed == lane.queued && lane.line_free_ps < now)
            lane.line_free_ps = now; // the line was idle: these bytes start now
        for (Figures* f : {&emu.whole, &emu.span})
            if (f->first_byte_ns < 0)
                f->first_byte_ns = emu.start_ns + now / 1000;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i)
            lane.byte_ps[at + i] = byte_ps;
        lane.queued += static_cast<std::uint64_t>(got);
        emu.last_traffic_ps = now;
    }
}

// Moves the bytes whose line time has passed to the far end and hands them to its slave.
void deliver(Emulator& emu, int from, std::int64_t now) {
    Lane& lane = emu.lane[from];
    std::uint64_t before = lane.landed;
    std::int64_t line_ps = 0;
    while (lane.landed < lane.queued) {
        std::int64_t t = lane.byte_ps[lane.landed % lane_capacity];
        if (lane.line_free_ps + t > now)
            break;
        lane.line_free_ps += t;
        line_ps += t;
        ++lane.landed;
    }
    if (lane.landed != before) {
        lane.last_land_ps = now;
        for (Figures* f : {&emu.whole, &emu.span}) {
            f->bytes[from] += lane.landed - before;
            f->line_ps[from] += line_ps;
            f->last_byte_ns = emu.start_ns + now / 1000;
        }
    }
    int to = emu.side[1 - from].master;
    while (lane.written < lane.landed) {
        std::size_t at = lane.written % lane_capacity;
        std::uint64_t count = lane.landed - lane.written;
        if (count > lane_capacity - at)
            count = lane_capacity - at;
        ssize_t put = write(to, lane.bytes + at, count);
        if (put <= 0)
            return; // the far end's input is full: try again when it has room
        lane.written += static_cast<std::uint64_t>(put);
    }
}

// When the next byte of the lane is due, but no sooner than one quantum after the last
// delivery, so that a fast line is served in small batches instead of one wakeup per byte.
std::int64_t next_due(const Emulator& emu, const Lane& lane) {
    if (lane.landed == lane.queued)
        return INT64_MAX;
    std::int64_t due = lane.line_free_ps + lane.byte_ps[lane.landed % lane_capacity];
    std::int64_t batch = lane.last_land_ps + emu.config.quantum_ps;
    return due > batch ? due : batch;
}

// The figures as `name value` pairs, each followed by `separator`.
void print_figures(FILE* f, const Figures& figures, char separator) {
    std::fprintf(f, "first_byte_ns %lld%clast_byte_ns %lld%c",
                 static_cast<long long>(figures.first_byte_ns), separator,
                 static_cast<long long>(figures.last_byte_ns), separator);
    const char* names[2] = {"a_to_b", "b_to_a"};
    for (int i = 0; i < 2; ++i)
        std::fprintf(f, "%s_bytes %llu%c%s_line_ns %lld%c", names[i],
                     static_cast<unsigned long long>(figures.bytes[i]), separator, names[i],
                     static_cast<long long>(figures.line_ps[i] / 1000), separator);
}

void write_stats(const Emulator& emu) {
    if (!emu.config.stats_path)
        return;
    FILE* f = std::fopen(emu.config.stats_path, "w");
    if (!f)
        return;
    print_figures(f, emu.whole, '\n');
    std::fclose(f);
}

// Ends the span: its figures on one line of standard output, then a new span.
void end_span(Emulator& emu) {
    std::printf("span %d ", ++emu.spans);
    print_figures(stdout, emu.span, ' ');
    std::printf("\n");
    std::fflush(stdout);
    emu.span = Figures{};
}

int open_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Takes the signals that came: a span's end for each SIGUSR1. False for one that ends the run.
bool take_signals(Emulator& emu, int signals) {
    signalfd_siginfo info{};
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGUSR1)
            return false;
        end_span(emu);
    }
    return true;
}

// The periodic part: side B's speed, and whether a side hung up or came back.
void check_lines(Emulator& emu) {
    follow_speed(emu);
    for (Side& s : emu.side)
        s.hung_up = slave_hung_up(s.master);
}

// The earliest moment something is due: a byte at the far end, the periodic check, the end.
std::int64_t next_wake(const Emulator& emu, std::int64_t next_check, std::int64_t end_ps) {
    std::int64_t wake = next_check < end_ps ? next_check : end_ps;
    for (const Lane& lane : emu.lane)
        if (next_due(emu, lane) < wake)
            wake = next_due(emu, lane);
    return wake;
}

// Sleeps until input or room on a side, a signal, or `wake`; then reads what arrived.
// Returns 1 to go on, 0 on a termination signal, -1 when the wait failed.
int wait_and_take(Emulator& emu, int signals, std::int64_t wake) {
    pollfd fds[3] = {};
    int side_at[3] = {-1, -1, -1};
    nfds_t n = 0;
    fds[n++] = {signals, POLLIN, 0};
    for (int i = 0; i < 2; ++i) {
        if (emu.side[i].hung_up)
            continue; // POLLHUP would wake us at once; the periodic check watches it
        short events = 0;
        if (emu.lane[i].queued - emu.lane[i].written < lane_capacity)
            events |= POLLIN;
        if (emu.lane[1 - i].written < emu.lane[1 - i].landed)
            events |= POLLOUT;
        side_at[n] = i;
        fds[n++] = {emu.side[i].master, events, 0};
    }
    std::int64_t now = now_ps(emu);
    std::int64_t wait_ps = wake > now ? wake - now : 0;
    timespec ts{static_cast<time_t>(wait_ps / ps_per_s),
                static_cast<long>((wait_ps % ps_per_s) / 1000)};
    if (ppoll(fds, n, &ts, nullptr) < 0 && errno != EINTR)
        return -1;
    if ((fds[0].revents & POLLIN) && !take_signals(emu, signals))
        return 0;
    now = now_ps(emu);
    for (nfds_t k = 1; k < n; ++k) {
        int i = side_at[k];
        if (fds[k].revents & (POLLIN | POLLHUP))
            take_input(emu, i, now);
        if (fds[k].revents & POLLHUP)
            emu.side[i].hung_up = true;
    }
    return 1;
}

// Returns the exit status.
int relay(Emulator& emu, int signals) {
    std::int64_t next_check = 0;
    std::int64_t end_ps = emu.config.timeout_s > 0
                              ? static_cast<std::int64_t>(emu.config.timeout_s * 1e12)
                              : INT64_MAX;
    for (;;) {
        std::int64_t now = now_ps(emu);
        if (now >= end_ps)
            return 3;
        if (now >= next_check) {
            check_lines(emu);
            bool busy = now - emu.last_traffic_ps < busy_span_ps;
            next_check = now + (busy ? busy_check_ps : idle_check_ps);
        }
        for (int i = 0; i < 2; ++i) {
            if (emu.side[i].hung_up) // a closed slave may still hold its last bytes
                take_input(emu, i, now);
            deliver(emu, i, now);
        }
        if (emu.side[0].hung_up && emu.side[1].hung_up)
            return 0;
        int went_on = wait_and_take(emu, signals, next_wake(emu, next_check, end_ps));
        if (went_on <= 0)
            return went_on == 0 ? 0 : 1;
    }
}

void usage() {
    std::fputs("usage: line-emu [--baud N] [--link-a PATH] [--link-b PATH] [--quantum-us N]\n"
               "                [--stats FILE] [--timeout S]\n"
               "Prints side A's slave path, then side B's, one per line. Bytes cross at the\n"
               "speed side A's program has set (8N1: 10 bits per byte).\n",
               stderr);
}

bool parse(int argc, char** argv, Config& c) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v)
            return false;
        ++i;
        if (!std::strcmp(a, "--baud"))
            c.baud = static_cast<std::int32_t>(std::atol(v));
        else if (!std::strcmp(a, "--quantum-us"))
            c.quantum_ps = std::atoll(v) * 1000000;
        else if (!std::strcmp(a, "--timeout"))
            c.timeout_s = std::atof(v);
        else if (!std::strcmp(a, "--stats"))
            c.stats_path = v;
        else if (!std::strcmp(a, "--link-a"))
            c.link_a = v;
        else if (!std::strcmp(a, "--link-b"))
            c.link_b = v;
        else
            return false;
    }
    speed_t code{};
    return code_of(c.baud, code) && c.quantum_ps >= 0;
}

} // namespace

int main(int argc, char** argv) {
    static Emulator emu; // two lanes of timed bytes: too large for the stack
    if (!parse(argc, argv, emu.config)) {
        usage();
        return 1;
    }
    emu.side[0].link = emu.config.link_a;
    emu.side[1].link = emu.config.link_b;
    int signals = open_signals();
    if (signals < 0 || !open_side(emu.side[0], emu.config.baud) ||
        !open_side(emu.side[1], emu.config.baud)) {
        std::fprintf(stderr, "line-emu: cannot set up the pseudo-terminals: %s\n",
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n%s\n", emu.side[0].path, emu.side[1].path);
    std::fflush(stdout);
    emu.start_ns = monotonic_ns();
    int status = relay(emu, signals);
    write_stats(emu);
    for (const Side& s : emu.side)
        if (s.link)
            unlink(s.link);
    return status;
}
