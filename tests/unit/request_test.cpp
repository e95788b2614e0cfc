#include "driver/request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Runs each case in an empty directory of its own, as the current directory, and goes back
// afterwards.
class InScratchDirectory : public testing::Test {
  protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        previous = here;
        char pattern[] = "/tmp/request_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch = pattern;
        ASSERT_EQ(chdir(scratch.c_str()), 0);
    }
    void TearDown() override {
        for (const std::string& name : made)
            std::remove(name.c_str());
        EXPECT_EQ(chdir(previous.c_str()), 0);
        rmdir(scratch.c_str());
    }
    void make_file(const std::string& name) {
        FILE* file = std::fopen(name.c_str(), "wb");
        ASSERT_NE(file, nullptr) << name;
        std::fputs("x", file);
        std::fclose(file);
        made.push_back(name);
    }
    std::string previous;
    std::string scratch;
    std::vector<std::string> made;
};

// Only the default names count, and each kind gives its own bit; a name given on the command
// line is not looked for here.
TEST_F(InScratchDirectory, ImagesPresentAreFoundByTheirDefaultNames) {
    struct Case {
        std::vector<std::string> files;
        Selection found;
    };
    const Case cases[] = {
        {{}, 0},
        {{"rom.bin"}, 1},
        {{"font.bin"}, 2},
        {{"tplist.bin"}, 4},
        {{"rom.bin", "tplist.bin"}, 5},
        {{"font.bin", "tplist.bin", "rom.bin"}, 7},
        {{"newrom.bin", "font.bin.old", "tplist"}, 0},
    };
    for (const Case& c : cases) {
        for (const std::string& name : c.files)
            make_file(name);
        EXPECT_EQ(images_present(), c.found) << (c.files.empty() ? "(none)" : c.files[0]);
        for (const std::string& name : made)
            std::remove(name.c_str());
        made.clear();
    }
}

TEST(RequestFor, TakesTheGivenNamesOrTheDefaultOnes) {
    Options given;
    given.block_size = 16384;
    given.speed_hundreds = 384;
    classify_file_name("/images/v2/newrom.bin", given);
    const DownloadRequest named = request_for(given, 1);
    EXPECT_EQ(named.selection, 1);
    EXPECT_EQ(named.block_size, 16384U);
    EXPECT_EQ(named.speed_hundreds, 384);
    EXPECT_STREQ(named.file_names[0], "/images/v2/newrom.bin");

    const DownloadRequest detected = request_for(Options{}, 7);
    EXPECT_EQ(detected.selection, 7);
    EXPECT_STREQ(detected.file_names[0], "rom.bin");
    EXPECT_STREQ(detected.file_names[1], "font.bin");
    EXPECT_STREQ(detected.file_names[2], "tplist.bin");
}

} // namespace
