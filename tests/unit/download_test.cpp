// One download in the test's own process, against a scripted receiver on the master of a
// pseudo-terminal pair: the download needs no console and no keyboard, only its port, its watch
// and its sink. Each row of the table is one exchange; it checks the events the download
// reported, how it ended, and every byte it put on the line.

#include "helpers/images.h"
#include "protocol/download.h"
#include "protocol/line_time.h"
#include "toolkit/proc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The download every row starts: the transponder list alone, two blocks, the data phase at
// 115200 baud.
constexpr std::uint32_t block_size = 1024;
constexpr std::size_t image_size = 1500;
constexpr std::size_t block_frame_size = block_size + block_trailer_size;

// A bound that rows with a fixed one give the receiver: short, so that a silence ends soon.
constexpr std::int64_t fixed_bound_ms = 300;

// What the receiver does once it has the access string.
enum class Reply {
    Whole,             // the ready mark, then its identification
    Short,             // the ready mark, then 6 of the identification's 10 bytes
    BadCrc,            // the ready mark, then an identification whose CRC is wrong
    HangUp,            // the line goes away
    Silent,            // nothing, ever
    Announce,          // its announcement: it started again
    ReadyThenAnnounce, // the ready mark, then its announcement instead of the identification
};

struct ExchangeCase {
    const char* name;
    Reply reply;
    AnswerBound bound; // the download's bound on an answer (Fixed: fixed_bound_ms)
    // The receiver's answer to each block frame in turn: '!' or '@', '-' for none, 'A' for its
    // announcement (it started again).
    std::string marks;
    int hang_up_at;   // the block frame (from 1) the receiver hangs up at instead of answering
    std::string text; // what the receiver says before its answer to the first block
    ExchangeEventKind escape_on; // ESC is pressed as this event is reported (Ended: never)
    int escape_nth;              // at its nth report
    DownloadResult result;
    DownloadReason reason;
    const char* events; // what the download reported (ticks, text and its ends left out)
    bool header;        // the header went out
    int block_frames;   // block frames on the line, resends included
    std::string blks;   // the blk of each, in order: the blocks still to come after it
};

// A failed row is named by its name, not its bytes.
void PrintTo(const ExchangeCase& row, std::ostream* out) {
    *out << row.name;
}

const ExchangeCase cases[] = {
    {"normal", Reply::Whole, AnswerBound::None, "!!", 0, "", ExchangeEventKind::Ended, 0,
     DownloadResult::Finished, DownloadReason::None,
     "access opened id header speed image go sent ! go sent ! done base end", true, 2, "1 0"},
    // A block asked for again goes out again as it was, blk and all.
    {"resend", Reply::Whole, AnswerBound::None, "@!!", 0, "", ExchangeEventKind::Ended, 0,
     DownloadResult::Finished, DownloadReason::None,
     "access opened id header speed image go sent @ go sent ! go sent ! done base end", true, 3,
     "1 1 0"},
    {"receiver_text", Reply::Whole, AnswerBound::None, "!!", 0, "erasing\r\n",
     ExchangeEventKind::Ended, 0, DownloadResult::Finished, DownloadReason::None,
     "access opened id header speed image go sent ! go sent ! done base end", true, 2, "1 0"},
    {"short_reply", Reply::Short, AnswerBound::None, "", 0, "", ExchangeEventKind::Ended, 0,
     DownloadResult::Failed, DownloadReason::ShortReply, "access opened end", false, 0, ""},
    {"reply_crc_wrong", Reply::BadCrc, AnswerBound::None, "", 0, "", ExchangeEventKind::Ended, 0,
     DownloadResult::Failed, DownloadReason::ReplyCrc, "access opened end", false, 0, ""},
    // ESC at each wait. While the reply is read the keyboard is not looked at, but the header
    // that follows must not go out: nothing may be erased.
    {"esc_at_ready", Reply::Whole, AnswerBound::None, "", 0, "", ExchangeEventKind::ImagesOpened, 1,
     DownloadResult::Escaped, DownloadReason::None, "access opened end", false, 0, ""},
    {"esc_during_reply", Reply::Whole, AnswerBound::None, "", 0, "", ExchangeEventKind::Identified,
     1, DownloadResult::Escaped, DownloadReason::None, "access opened id header end", false, 0, ""},
    {"esc_at_ready_after_header", Reply::Whole, AnswerBound::None, "", 0, "",
     ExchangeEventKind::DataSpeedSet, 1, DownloadResult::Escaped, DownloadReason::None,
     "access opened id header speed end", true, 0, ""},
    {"esc_at_block_mark", Reply::Whole, AnswerBound::None, "", 0, "", ExchangeEventKind::BlockSent,
     1, DownloadResult::Escaped, DownloadReason::None,
     "access opened id header speed image go sent end", true, 1, "1"},
    {"esc_before_a_block", Reply::Whole, AnswerBound::None, "!", 0, "",
     ExchangeEventKind::BlockGoing, 2, DownloadResult::Escaped, DownloadReason::None,
     "access opened id header speed image go sent ! go end", true, 1, "1"},
    {"line_lost_at_ready", Reply::HangUp, AnswerBound::None, "", 0, "", ExchangeEventKind::Ended, 0,
     DownloadResult::LineLost, DownloadReason::None, "access opened end", false, 0, ""},
    {"line_lost_at_block_mark", Reply::Whole, AnswerBound::None, "!", 2, "",
     ExchangeEventKind::Ended, 0, DownloadResult::LineLost, DownloadReason::None,
     "access opened id header speed image go sent ! go sent end", true, 2, "1 0"},
    // With a bound, a receiver that stays silent past it fails the download; one that announces
    // itself while a mark is awaited has started again, and the download ends at once.
    {"no_answer_to_the_access_string", Reply::Silent, AnswerBound::Fixed, "", 0, "",
     ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::NoAnswer,
     "access opened end", false, 0, ""},
    {"no_answer_to_a_block", Reply::Whole, AnswerBound::Fixed, "!-", 0, "",
     ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::NoAnswer,
     "access opened id header speed image go sent ! go sent end", true, 2, "1 0"},
    {"restart_at_the_ready_mark", Reply::Announce, AnswerBound::WorstCase, "", 0, "",
     ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::Restarted,
     "access opened end", false, 0, ""},
    // The announcement read as the identification: a reply whose CRC is wrong, unless it goes on
    // into the whole announcement.
    {"restart_after_the_ready_mark", Reply::ReadyThenAnnounce, AnswerBound::WorstCase, "", 0, "",
     ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::Restarted,
     "access opened end", false, 0, ""},
    {"announcement_as_reply_without_a_bound", Reply::ReadyThenAnnounce, AnswerBound::None, "", 0,
     "", ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::ReplyCrc,
     "access opened end", false, 0, ""},
    {"restart_at_a_block_mark", Reply::Whole, AnswerBound::WorstCase, "A", 0, "",
     ExchangeEventKind::Ended, 0, DownloadResult::Failed, DownloadReason::Restarted,
     "access opened id header speed image go sent end", true, 1, "1"},
    // Without a bound the wait is the person's: an announcement is the receiver's text.
    {"announcement_without_a_bound_is_text", Reply::Whole, AnswerBound::None, "!!", 0, announcement,
     ExchangeEventKind::Ended, 0, DownloadResult::Finished, DownloadReason::None,
     "access opened id header speed image go sent ! go sent ! done base end", true, 2, "1 0"},
};

// What the download reported, as the row writes it, and the receiver's text it passed on.
struct Reported {
    std::string events;
    std::string text;
    const ExchangeCase* row = nullptr;
    Wakeup* stop = nullptr;
    int escape_seen = 0;
};

// The word for each event kind, in the order of ExchangeEventKind; nullptr: left out of the
// row's events (the announcement is not the download's, ticks and text come as they come).
const char* token(ExchangeEventKind kind) {
    static const char* const words[] = {
        nullptr, "access", "opened", "id",   "header", "speed", "image", "go",    nullptr,
        "sent",  "!",      "@",      "done", "base",   nullptr, nullptr, nullptr, "end",
    };
    static_assert(std::size(words) == static_cast<std::size_t>(ExchangeEventKind::Ended) + 1);
    return words[static_cast<int>(kind)];
}

void hear(void* context, const ExchangeEvent& event) {
    Reported& reported = *static_cast<Reported*>(context);
    if (event.kind == ExchangeEventKind::ReceiverText)
        reported.text.append(reinterpret_cast<const char*>(event.bytes), event.count);
    if (const char* word = token(event.kind)) {
        reported.events += reported.events.empty() ? "" : " ";
        reported.events += word;
    }
    if (event.kind == reported.row->escape_on && ++reported.escape_seen == reported.row->escape_nth)
        raise_wakeup(*reported.stop);
}

// The receiver's side: answers the access string with its identification, the header and each
// block with a mark 20 ms later (as a receiver does once it has written its flash), and keeps
// every byte the host sent.
class ScriptedReceiver {
  public:
    ScriptedReceiver(const ExchangeCase& row, toolkit::Stream& line) : row_(row), line_(line) {}

    void run() {
        if (!take(access_string_size))
            return;
        if (row_.reply == Reply::HangUp) {
            toolkit::close_fd(line_.fd);
            return;
        }
        if (row_.reply == Reply::Silent)
            return;
        if (row_.reply == Reply::Announce || row_.reply == Reply::ReadyThenAnnounce) {
            send(row_.reply == Reply::Announce ? announcement : marked(announcement));
            return;
        }
        send(marked(reply()));
        if (!take(header_size))
            return;
        answer("!");
        for (int frame = 1; take(block_frame_size); ++frame) {
            if (frame == row_.hang_up_at) {
                toolkit::close_fd(line_.fd);
                return;
            }
            const auto at = static_cast<std::size_t>(frame - 1);
            const char mark = at < row_.marks.size() ? row_.marks[at] : '!';
            if (mark == '-')
                continue;
            std::string said = frame == 1 ? row_.text : std::string();
            if (mark == 'A')
                said += announcement;
            else
                said += mark;
            answer(said);
        }
    }

    // The download has ended: nothing more will come.
    std::atomic<bool> over{false};

  private:
    // The ready mark, then `bytes`. (Appended, not "!" + bytes: GCC 12 at -O3 takes an insert
    // at the front for an overlapping copy, a false report that warnings as errors would stop.)
    static std::string marked(const std::string& bytes) {
        std::string all(1, static_cast<char>(ready_mark));
        all += bytes;
        return all;
    }

    std::string reply() const {
        std::uint8_t bytes[device_info_size] = {0x01, 0x00, 0x49, 0x22, 1, 2};
        std::uint32_t crc = link_crc(6, 0, bytes);
        if (row_.reply == Reply::BadCrc)
            crc ^= 1;
        for (int i = 0; i < 4; ++i)
            bytes[6 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        const std::string whole(reinterpret_cast<const char*>(bytes), sizeof bytes);
        return row_.reply == Reply::Short ? whole.substr(0, 6) : whole;
    }

    // Waits until `count` more bytes than were taken so far have come; false once the download
    // is over or the line is gone.
    bool take(std::size_t count) {
        const std::size_t wanted = taken_ + count;
        while (line_.data.size() < wanted) {
            if (over.load() || line_.closed || line_.fd < 0)
                return false;
            toolkit::pump_until({&line_}, toolkit::after_ms(50));
        }
        taken_ = wanted;
        return true;
    }

    void send(const std::string& bytes) { toolkit::write_all(line_.fd, bytes, 2000); }

    void answer(const std::string& bytes) {
        std::this_thread::sleep_for(20ms);
        send(bytes);
    }

    const ExchangeCase& row_;
    toolkit::Stream& line_;
    std::size_t taken_ = 0;
};

class Exchange : public testing::TestWithParam<ExchangeCase> {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("download_test_" + std::to_string(getpid()) + "_" + GetParam().name);
        std::filesystem::create_directories(dir);
        image = helpers::image_bytes(image_size, 7);
        tplist = (dir / "tplist.bin").string();
        ASSERT_TRUE(helpers::write_file(tplist, image));
        ASSERT_TRUE(toolkit::open_pty(line, toolkit::PtySettings::SerialLine));
        port = open_port(line.path.c_str(), base_baud);
        ASSERT_TRUE(port_is_open(port));
        ASSERT_TRUE(open_wakeup(stop));
    }
    void TearDown() override {
        close_port(port);
        toolkit::close_pty(line);
        std::filesystem::remove_all(dir);
    }

    std::filesystem::path dir;
    std::vector<std::uint8_t> image;
    std::string tplist;
    toolkit::Pty line;
    SerialPort port;
    Wakeup stop;
};

// The blk of every block frame the receiver got, in order.
std::string blks_on_line(const std::string& bytes) {
    std::string blks;
    for (std::size_t at = access_string_size + header_size; at + block_frame_size <= bytes.size();
         at += block_frame_size) {
        const auto* trailer = reinterpret_cast<const std::uint8_t*>(bytes.data() + at + block_size);
        if (!blks.empty())
            blks += ' ';
        blks += std::to_string(trailer[0] << 8 | trailer[1]);
    }
    return blks;
}

TEST_P(Exchange, ReportsEachStepAndSendsExactlyItsFrames) {
    const ExchangeCase& row = GetParam();
    ScriptedReceiver receiver(row, line.master);
    std::thread receiving([&receiver] { receiver.run(); });

    static std::uint8_t buffer[block_buffer_size];
    DownloadRequest request;
    request.selection = 4;
    request.block_size = block_size;
    request.speed_hundreds = 1152;
    request.file_names[static_cast<int>(ImageKind::Tplist)] = tplist.c_str();
    request.answer_bound = row.bound;
    request.answer_bound_ms = fixed_bound_ms;
    LinkWatch watch;
    watch.stop = &stop;
    Reported reported;
    reported.row = &row;
    reported.stop = &stop;
    const DownloadOutcome outcome =
        run_download(port, watch, buffer, request, ExchangeSink{hear, &reported});
    // What the host sent last may still be on its way to the receiver.
    toolkit::pump_until({&line.master}, toolkit::after_ms(200));
    receiver.over = true;
    receiving.join();

    EXPECT_EQ(outcome.result, row.result);
    EXPECT_FALSE(watch.waiting_for_mark) << "the next download would take over this quiet spell";
    EXPECT_EQ(outcome.reason, row.reason);
    EXPECT_EQ(reported.events, row.events);
    EXPECT_EQ(reported.text, row.reason == DownloadReason::Restarted ? announcement : row.text);
    if (row.reason == DownloadReason::NoAnswer) {
        EXPECT_EQ(outcome.amount, fixed_bound_ms) << "the bound the message names";
    }
    const std::string& sent = line.master.data;
    EXPECT_EQ(sent.substr(0, access_string_size), access_string);
    EXPECT_EQ(sent.size(), access_string_size + (row.header ? header_size : 0) +
                               static_cast<std::size_t>(row.block_frames) * block_frame_size)
        << "the frames on the line";
    EXPECT_EQ(outcome.bytes_sent, sent.size()) << "the bytes the download says it sent";
    EXPECT_EQ(blks_on_line(sent), row.blks);
    // A block sent again is the same frame, byte for byte.
    if (row.marks.starts_with("@")) {
        EXPECT_EQ(
            sent.substr(access_string_size + header_size, block_frame_size),
            sent.substr(access_string_size + header_size + block_frame_size, block_frame_size));
    }
    if (row.result == DownloadResult::Finished) {
        const ImageReport& report = outcome.images[0];
        EXPECT_EQ(report.accepted_bytes, image_size);
        EXPECT_EQ(report.resends, static_cast<std::uint32_t>(row.block_frames - 2));
        EXPECT_EQ(sent.substr(access_string_size + header_size +
                                  static_cast<std::size_t>(row.block_frames - 1) * block_frame_size,
                              image_size - block_size),
                  std::string(image.begin() + block_size, image.end()))
            << "the last block's data";
    }
}

INSTANTIATE_TEST_SUITE_P(Download, Exchange, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<ExchangeCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

// The bound must never cut a receiver that is still working within its chip's worst case: every
// sector listed erased at 15 s, every byte programmed at 300 us, the frame still on its way out
// of the adapter at the line's speed, and the margin beside.
TEST(AnswerBound, CoversTheChipsWorstCase) {
    EXPECT_EQ(header_answer_bound_ms(0), 5000);
    EXPECT_EQ(header_answer_bound_ms(35), 35 * 15000 + 5000);
    const struct {
        std::size_t frame_bytes;
        std::int32_t baud;
        std::uint32_t len;
        std::int64_t bound_ms;
    } blocks[] = {
        // 51216 bytes of 10 bits at 115200 baud: 4445.8 ms on the line; 51200 bytes programmed.
        {51216, 115200, 51200, 4446 + 15360 + 5000},
        // A short last block in a full frame: the whole frame is on the line.
        {51216, 115200, 100, 4446 + 30 + 5000},
        {1040, 57600, 1024, 181 + 308 + 5000},
    };
    for (const auto& block : blocks)
        EXPECT_EQ(block_answer_bound_ms(block.frame_bytes, block.baud, block.len), block.bound_ms)
            << block.frame_bytes << " bytes at " << block.baud;
}

} // namespace
