// The waits of the link over real pseudo-terminal pairs: the test holds the master (the
// receiver's end), the code under test opens the slave as its serial port. The waits look at
// nothing but the port and the watch they are given, so they run in the test's own process: a
// wait that must go on runs in a thread of its own, and the test raises the watch's stop as ESC
// would, or reads what the watch's listener heard.

#include "link/link_wait.h"
#include "toolkit/proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Generous: these bound a wait that should end at once, on a loaded machine.
constexpr auto prompt = 5s;

// What a watch's listener heard, in order: text as it came, "|" for the end of a piece of
// text, and "(quiet)" for the quiet notice.
struct Heard {
    std::mutex lock;
    std::condition_variable changed;
    std::string news;
    int quiet_ms = 0;
    bool end_on_text = false; // the listener ends the wait on the first text it hears
};

bool hear(void* context, const LinkNews& news) {
    Heard& heard = *static_cast<Heard*>(context);
    const std::lock_guard<std::mutex> hold(heard.lock);
    switch (news.kind) {
    case LinkNewsKind::Text:
        heard.news.append(reinterpret_cast<const char*>(news.bytes), news.count);
        break;
    case LinkNewsKind::TextEnded:
        heard.news += "|";
        break;
    case LinkNewsKind::Quiet:
        heard.news += "(quiet)";
        heard.quiet_ms = news.quiet_ms;
        break;
    }
    heard.changed.notify_all();
    return !(heard.end_on_text && news.kind == LinkNewsKind::Text);
}

class LinkWait : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(toolkit::open_pty(line, toolkit::PtySettings::SerialLine));
        port = open_port(line.path.c_str(), base_baud);
        ASSERT_TRUE(port_is_open(port));
        ASSERT_TRUE(open_wakeup(stop));
        watch.stop = &stop;
        watch.listener = LinkListener{hear, &heard};
    }
    void TearDown() override {
        // A wait that a failed check left running ends as ESC ends it.
        raise_wakeup(stop);
        if (waiting.valid())
            waiting.wait();
        close_port(port);
        toolkit::close_pty(line);
    }

    void send(const std::string& bytes) {
        ASSERT_TRUE(toolkit::write_all(line.master.fd, bytes, 2000));
    }

    // Blocks until the port has input, as a wait would, so that what the test sent is queued.
    void until_received() {
        SerialPort* ports[1] = {&port};
        wait_ports(ports, 1, false, -1, 5000);
    }

    // Runs `wait` in a thread of its own.
    void start(std::function<LinkResult()> wait) {
        waiting = std::async(std::launch::async, std::move(wait));
    }

    // The started wait's result, or nothing when it did not end within `limit`.
    bool ended(LinkResult& result, std::chrono::milliseconds limit = prompt) {
        if (waiting.wait_for(limit) != std::future_status::ready)
            return false;
        result = waiting.get();
        return true;
    }

    // Waits until the listener has heard `wanted` (the whole news so far ends with it).
    bool heard_news(const std::string& wanted) {
        std::unique_lock<std::mutex> hold(heard.lock);
        return heard.changed.wait_for(hold, prompt, [&] {
            return heard.news.size() >= wanted.size() &&
                   heard.news.compare(heard.news.size() - wanted.size(), wanted.size(), wanted) ==
                       0;
        });
    }

    std::string news() {
        const std::lock_guard<std::mutex> hold(heard.lock);
        return heard.news;
    }

    toolkit::Pty line;
    SerialPort port;
    Wakeup stop;
    Heard heard;
    LinkWatch watch;
    std::future<LinkResult> waiting;
};

// Names a parameterised case after its `name`.
struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& param_info) const {
        return param_info.param.name;
    }
};

// ---- the reply and the drain ----

TEST_F(LinkWait, AReplyAlreadyQueuedReturnsAtOnceAndLeavesWhatFollows) {
    send("0123456789XYZ");
    until_received();
    std::uint8_t reply[10];
    const auto start_time = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 5000, got), LinkResult::Done);
    EXPECT_EQ(got, 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start_time, 1000ms);
    EXPECT_EQ(std::string(reply, reply + 10), "0123456789");
    EXPECT_EQ(read_byte(port), 'X') << "bytes behind the reply stay queued";
}

TEST_F(LinkWait, AShortReplyReturnsItsCountAtTheDeadline) {
    send("1234567");
    std::uint8_t reply[10];
    const auto start_time = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 300, got), LinkResult::TimedOut);
    EXPECT_EQ(got, 7);
    const auto took = std::chrono::steady_clock::now() - start_time;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3000ms);
}

// The receiver's bytes are paced here as a slow receiver would send them; the deadline is the
// reply's, not the gap's.
TEST_F(LinkWait, TheDeadlineBoundsTheWholeReplyNotTheGaps) {
    std::thread trickle([this] {
        for (int i = 0; i < 8; ++i) {
            send("x");
            std::this_thread::sleep_for(60ms);
        }
    });
    std::uint8_t reply[10];
    const auto start_time = std::chrono::steady_clock::now();
    int got = 0;
    EXPECT_EQ(read_reply(port, reply, 10, 250, got), LinkResult::TimedOut);
    const auto took = std::chrono::steady_clock::now() - start_time;
    trickle.join();
    EXPECT_GE(got, 1);
    EXPECT_LT(got, 8);
    EXPECT_LT(took, 2000ms);
}

TEST_F(LinkWait, TheDrainSwallowsAMarkThatCameTooSoonAndKeepsLaterBytes) {
    send("!");
    until_received();
    const auto start_time = std::chrono::steady_clock::now();
    drain_input(port);
    EXPECT_GE(std::chrono::steady_clock::now() - start_time, std::chrono::milliseconds(drain_ms));
    send("@");
    std::uint8_t later = 0;
    int got = 0;
    EXPECT_EQ(read_reply(port, &later, 1, 5000, got), LinkResult::Done);
    EXPECT_EQ(later, '@');
    EXPECT_EQ(read_byte(port), -1) << "the drained mark came back";
}

// ---- the mark wait ----

struct MarkCase {
    const char* name;
    const char* marks; // what the wait takes as a mark
    std::string sent;
    int mark;         // the position in `marks` of the one that ended the wait
    std::string news; // what the listener heard
    int next_byte;    // what stays queued behind the mark (-1: nothing)
};

class MarkWait : public LinkWait, public testing::WithParamInterface<MarkCase> {};

TEST_P(MarkWait, ReportsTheTextBeforeTheMarkAndKeepsWhatFollows) {
    const MarkCase& c = GetParam();
    send(c.sent);
    until_received();
    int mark = -1;
    EXPECT_EQ(wait_for_mark(port, watch, c.marks, mark), LinkResult::Done);
    EXPECT_EQ(mark, c.mark);
    EXPECT_EQ(news(), c.news);
    EXPECT_EQ(read_byte(port), c.next_byte);
}

INSTANTIATE_TEST_SUITE_P(
    LinkWait, MarkWait,
    testing::Values(MarkCase{"accepted", "!@", "!", 0, "||", -1},
                    MarkCase{"resend", "!@", "@", 1, "||", -1},
                    MarkCase{"text_then_mark", "!@", "abc@!", 1, "|abc|", '!'},
                    // A NUL in the text is text, not the end of the mark list.
                    MarkCase{"nul_is_text", "!@", std::string("a\0b!", 4), 0,
                             std::string("|a\0b|", 5), -1},
                    // The ready wait takes '!' alone: an '@' is the receiver's text.
                    MarkCase{"ready_takes_only_its_mark", "!", "@x!y", 0, "|@x|", 'y'}),
    CaseName());

// A listener that learns from the receiver's text that the mark will not come (the receiver
// announced itself: it started again) ends the wait; the text it heard is taken.
TEST_F(LinkWait, TheListenerEndsAWaitOnWhatItHeard) {
    heard.end_on_text = true;
    send("KAL VERON KELDKAR");
    until_received();
    int mark = -1;
    EXPECT_EQ(wait_for_mark(port, watch, "!@", mark), LinkResult::Ended);
    EXPECT_EQ(news(), "|KAL VERON KELDKAR");
    EXPECT_EQ(read_byte(port), -1);
}

// A receiver that says nothing for the quiet time is reported once; the wait goes on and ends on
// the mark as usual, and the line carries nothing.
TEST_F(LinkWait, AQuietReceiverIsReportedOnceAndTheWaitGoesOn) {
    watch.quiet_ms = 300;
    start([this] {
        int mark = -1;
        return wait_for_mark(port, watch, "!@", mark);
    });
    ASSERT_TRUE(heard_news("(quiet)"));
    LinkResult result = LinkResult::TimedOut;
    EXPECT_FALSE(ended(result, 0ms)) << "the quiet notice ended the wait";
    send("!");
    ASSERT_TRUE(ended(result));
    EXPECT_EQ(result, LinkResult::Done);
    EXPECT_EQ(news(), "|(quiet)|") << "said more than once";
    EXPECT_EQ(heard.quiet_ms, 300);
    toolkit::read_available(line.master);
    EXPECT_EQ(line.master.data, "") << "the quiet wait wrote to the line";
}

// A caller that waits for one mark in short spells (to redraw a status line) waits through one
// quiet spell, not a new one each call; the next mark has a spell of its own.
TEST_F(LinkWait, TheQuietSpellIsTheMarksNotOneCalls) {
    watch.quiet_ms = 300;
    const auto quiet_count = [this] {
        const std::string heard_so_far = news();
        int count = 0;
        for (auto at = heard_so_far.find("(quiet)"); at != std::string::npos;
             at = heard_so_far.find("(quiet)", at + 1))
            ++count;
        return count;
    };
    // Waits in spells of 50 ms until `count` notices were heard, or for `limit`.
    const auto spells = [this, &quiet_count](int count, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (quiet_count() < count && std::chrono::steady_clock::now() < end) {
            int mark = -1;
            if (wait_for_mark_until(port, watch, "!@", mark, now_ms() + 50) != LinkResult::TimedOut)
                return false;
        }
        return quiet_count() >= count;
    };
    ASSERT_TRUE(spells(1, prompt)) << "spells of 50 ms never added up to the quiet time";
    spells(2, 700ms);
    EXPECT_EQ(quiet_count(), 1) << "one mark's silence was reported twice";
    send("!");
    int mark = -1;
    ASSERT_EQ(wait_for_mark(port, watch, "!@", mark), LinkResult::Done);
    EXPECT_TRUE(spells(2, prompt)) << "the next mark's silence went unreported";
}

// ---- what ends a wait: the stop (ESC) and the device going away ----

struct EndCase {
    const char* name;
    std::function<LinkResult(SerialPort&, LinkWatch&)> wait;
};

// A write that can never finish: a pseudo-terminal's buffer is far smaller than a megabyte, and
// nobody reads the master.
LinkResult write_what_nobody_reads(SerialPort& port, LinkWatch& watch) {
    static const std::vector<std::uint8_t> block(1 << 20);
    return write_watching_stop(port, watch, block.data(), block.size());
}

const EndCase end_cases[] = {
    {"mark_wait",
     [](SerialPort& port, LinkWatch& watch) {
         int mark = -1;
         return wait_for_mark(port, watch, "!@", mark);
     }},
    {"ready_wait", [](SerialPort& port, LinkWatch& watch) { return wait_ready(port, watch); }},
    {"write_without_room", write_what_nobody_reads},
};

class WaitEnds : public LinkWait, public testing::WithParamInterface<EndCase> {};

TEST_P(WaitEnds, WhenTheStopIsRaised) {
    start([this] { return GetParam().wait(port, watch); });
    raise_wakeup(stop);
    LinkResult result = LinkResult::Done;
    ASSERT_TRUE(ended(result)) << "the stop did not wake the wait";
    EXPECT_EQ(result, LinkResult::Escaped);
}

TEST_P(WaitEnds, WhenTheDeviceGoesAway) {
    start([this] { return GetParam().wait(port, watch); });
    toolkit::close_fd(line.master.fd);
    LinkResult result = LinkResult::Done;
    ASSERT_TRUE(ended(result)) << "the hangup did not wake the wait";
    EXPECT_EQ(result, LinkResult::Lost);
    EXPECT_NE(port.lost_error, 0);
}

INSTANTIATE_TEST_SUITE_P(LinkWait, WaitEnds, testing::ValuesIn(end_cases), CaseName());

// A stop raised before a frame goes out keeps every byte of it off the line: ESC pressed while
// the reply was read must not let the header erase the flash.
TEST_F(LinkWait, AStopRaisedBeforeAWriteSendsNothing) {
    raise_wakeup(stop);
    const std::uint8_t header[52] = {1, 2, 3};
    EXPECT_EQ(write_watching_stop(port, watch, header, sizeof header), LinkResult::Escaped);
    toolkit::pump_until({&line.master}, toolkit::after_ms(100));
    EXPECT_EQ(line.master.data, "");
}

} // namespace
