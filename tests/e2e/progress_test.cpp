// Progress a person can follow (/progress): no per-block fragments, a line at every tenth of
// each image when the output is not a terminal, a status line redrawn in place with the
// receiver's text shown above it on a terminal, and a summary of the download.

#include "sim_fixture.h"

#include <cstdio>

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

} // namespace
} // namespace e2e
