// Progress a person can follow (/progress): no per-block fragments, a line at every tenth of
// each image when the output is not a terminal, a status line redrawn in place with the
// receiver's text shown above it on a terminal, and a summary of the download.

#include "sim_fixture.h"

#include <cstdio>

#ifndef UPGRADE_E2E_LINE_EMU_PATH
#define UPGRADE_E2E_LINE_EMU_PATH ""
#endif

namespace e2e {
namespace {

// What a terminal shows of `text`: each line as it stands after its carriage returns, a later
// piece written over an earlier one.
std::vector<std::string> screen_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (const std::string& raw : split_lines(text)) {
        std::string line;
        std::size_t column = 0;
        for (const char c : raw) {
            if (c == '\r') {
                column = 0;
                continue;
            }
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// True when `line` is the status line of an image of `size` bytes, all of them accepted.
bool shows_done(const std::string& line, const char* kind, unsigned long long size) {
    char shown[8];
    unsigned long long accepted = 0, total = 0;
    int percent = 0;
    return std::sscanf(line.c_str(), "%7s %llu of %llu bytes %d%%", shown, &accepted, &total,
                       &percent) == 4 &&
           std::string(shown) == kind && accepted == size && total == size && percent == 100;
}

class Progress : public SimTest {
  protected:
    void run(const std::vector<std::string>& sim_args, const std::vector<std::string>& args) {
        ASSERT_NO_FATAL_FAILURE(write_images(6, sizes, true, images));
        ASSERT_NO_FATAL_FAILURE(start_receiver(sim_args));
        std::vector<std::string> all = args;
        for (const auto& name : name_args(6))
            all.push_back(name);
        start_upgrade(all);
        EXPECT_EQ(wait_upgrade(download_ms), 0);
        EXPECT_EQ(wait_exit(sim), 0);
        DownloadShape shape;
        shape.selection = 6;
        shape.block_size = 4096;
        EXPECT_EQ(flash_mismatch(shape, images), "");
    }

    const std::uint32_t sizes[3] = {0, 40960, 100000};
    Images images;
};

TEST_F(Progress, PlainLinesAtEveryTenthWhenNotATerminal) {
    run({"--resend", "2:1"}, {"/progress", "/block=4096"});
    const std::string& out = upgrade.out.data;
    EXPECT_EQ(out.find("crc = "), std::string::npos) << "per-block fragments";
    std::map<std::string, std::vector<int>> percents;
    for (const std::string& line : split_lines(out)) {
        char kind[8];
        unsigned long long accepted = 0, total = 0;
        int percent = 0;
        if (std::sscanf(line.c_str(), "%7s %llu of %llu bytes %d%%", kind, &accepted, &total,
                        &percent) == 4)
            percents[kind].push_back(percent);
    }
    // The font's 10 blocks of 4096 bytes make exactly one line a tenth.
    EXPECT_EQ(percents["font"], (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    const auto& tplist = percents["tplist"];
    ASSERT_EQ(tplist.size(), 10U);
    for (std::size_t i = 0; i < tplist.size(); ++i)
        EXPECT_EQ(tplist[i] / 10, static_cast<int>(i) + 1) << "line " << i;
    EXPECT_NE(out.find("\nchange speed --> 57600\nsummary : 2 images, 140960 bytes in 35 blocks, "
                       "1 resent, "),
              std::string::npos)
        << printable(out);
}

// On a terminal the status line is redrawn in place; the receiver's text stands on lines of its
// own above it and never tears through it.
TEST_F(Progress, StatusLineOnATerminalWithTheReceiversTextAbove) {
    upgrade_stdout = Output::Console;
    run({"--block-text", "flash ok", "--mark-delay-ms", "20"}, {"/progress", "/block=4096"});
    pump(streams(), 100);
    const std::string& screen = console.master.data;
    EXPECT_EQ(screen.find("crc = "), std::string::npos);
    int texts = 0;
    bool font_done = false, tplist_done = false;
    for (const std::string& line : screen_lines(screen)) {
        for (std::size_t at = line.find("flash ok"); at != std::string::npos;
             at = line.find("flash ok", at + 1))
            ++texts;
        if (line.find("flash ok") != std::string::npos) {
            EXPECT_EQ(line.find("bytes"), std::string::npos) << "torn: " << printable(line);
        }
        font_done = font_done || shows_done(line, "font", 40960);
        tplist_done = tplist_done || shows_done(line, "tplist", 100000);
    }
    // The status line is drawn again at most 5 times a second, not after every piece of text:
    // pieces that came between two redraws stand together, as the receiver sent them.
    EXPECT_EQ(texts, 35) << "the receiver's text of every block";
    EXPECT_TRUE(font_done && tplist_done) << printable(screen);
    EXPECT_NE(screen.find("summary : 2 images, 140960 bytes in 35 blocks, 0 resent, "),
              std::string::npos);
}

// On a line as slow as a cable (line-emu relays the bytes at the speed the program sets), a
// block takes seconds to go out: the status line counts it as it goes, redrawn all the while,
// and says 100 % only once the receiver has accepted the last block.
TEST_F(Progress, StatusLineMovesWhileABlockGoesOut) {
    if (std::string(UPGRADE_E2E_LINE_EMU_PATH).empty())
        GTEST_SKIP() << "line-emu is not built";
    constexpr std::uint32_t size = 16384; // one block: 16400 bytes at 38400 baud take 4.3 s
    const std::uint32_t image_sizes[3] = {0, 0, size};
    ASSERT_NO_FATAL_FAILURE(write_images(4, image_sizes, true, images));
    toolkit::Launch emu;
    emu.argv = {UPGRADE_E2E_LINE_EMU_PATH, "--timeout", std::to_string(sim_timeout_s)};
    Child& line = other_runs.emplace_back();
    ASSERT_TRUE(toolkit::spawn(emu, line));
    std::size_t first_end = 0;
    ASSERT_TRUE(wait_for(line.out, "\n", start_ms) &&
                wait_for(line.out, "\n", start_ms, (first_end = line.out.data.find('\n')) + 1));
    const std::string host_side = line.out.data.substr(0, first_end);
    const std::size_t second_end = line.out.data.find('\n', first_end + 1);
    const std::string receiver_side =
        line.out.data.substr(first_end + 1, second_end - first_end - 1);

    com_device[0] = host_side;
    upgrade_stdout = Output::Console;
    start_upgrade({"/port=com1", "/progress", "/baud=38400", "/block=16384", given_names[tplist]});
    ASSERT_TRUE(wait_for(console.master, "ready.", start_ms));
    toolkit::Launch receiver;
    receiver.argv = {UPGRADE_E2E_SIM_PATH,
                     "--device",
                     receiver_side,
                     "--flash",
                     path("sim-flash.bin"),
                     "--report",
                     path("sim-report.txt"),
                     "--timeout",
                     std::to_string(sim_timeout_s),
                     "--mark-delay-ms",
                     "20"};
    receiver.cwd = dir;
    ASSERT_TRUE(toolkit::spawn(receiver, sim));
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);
    pump(streams(), 100);

    // Every drawing of the status line, in order.
    std::vector<std::pair<unsigned long long, int>> drawn;
    std::string piece;
    for (const char c : console.master.data + "\n") {
        if (c != '\r' && c != '\n') {
            piece += c;
            continue;
        }
        unsigned long long shown = 0, total = 0;
        int percent = 0;
        if (std::sscanf(piece.c_str(), "tplist %llu of %llu bytes %d%%", &shown, &total,
                        &percent) == 3 &&
            total == size)
            drawn.emplace_back(shown, percent);
        piece.clear();
    }
    ASSERT_FALSE(drawn.empty()) << printable(console.master.data);
    EXPECT_EQ(drawn.back(), std::make_pair(static_cast<unsigned long long>(size), 100));
    int moving = 0;
    for (std::size_t i = 0; i + 1 < drawn.size(); ++i) {
        EXPECT_LT(drawn[i].second, 100) << "100 % before the receiver accepted the block";
        EXPECT_LE(drawn[i].first, drawn[i + 1].first) << "the count went back";
        moving += drawn[i].first > 0 && drawn[i].first < size ? 1 : 0;
    }
    // Redrawn at least once a second over the block's 4.3 s on the line.
    EXPECT_GE(moving, 3) << printable(console.master.data);
}

} // namespace
} // namespace e2e
