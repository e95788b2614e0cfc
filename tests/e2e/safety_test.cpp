// What must never happen to a receiver: an image written that was not the one named, a write
// past the end of the flash, the program's own text sent down the line instead of the protocol,
// or an image "file" that hangs the program before it has said anything.

#include "sim_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace e2e {
namespace {

using e2e::PrintTo; // case names in failure messages

// ---- absolute paths ----

// Absolute names whose first directory (the work directory's /tmp) begins like the option /t,
// and whose further directories begin like other options. Decoys with other contents lie under
// the default names in the current directory: a name taken for an option would select those.
struct PathCase {
    const char* name;
    int selection;
    const char* files[3]; // by kind, below the work directory
};

class AbsolutePath : public SimTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(AbsolutePath, DownloadsExactlyTheNamedFiles) {
    const auto& c = GetParam();
    const std::uint32_t sizes[3] = {65536 + 60000, 30000, 20000};
    Images images;
    std::string names[3];
    std::vector<std::string> args;
    for (int kind = 0; kind < 3; ++kind) {
        auto decoy = image_bytes(sizes[kind], 300u + static_cast<unsigned>(kind));
        ASSERT_TRUE(write_file(path(default_names[kind]), decoy));
        if (((c.selection >> kind) & 1) == 0)
            continue;
        names[kind] = path(c.files[kind]);
        ASSERT_EQ(names[kind][0], '/');
        std::filesystem::create_directories(std::filesystem::path(names[kind]).parent_path());
        images.file[kind] = image_bytes(sizes[kind], 400u + static_cast<unsigned>(kind));
        ASSERT_TRUE(write_file(names[kind], images.file[kind]));
        args.push_back(names[kind]);
    }
    ASSERT_NO_FATAL_FAILURE(start_receiver({}));
    start_upgrade(args);
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);

    DownloadShape shape;
    shape.selection = c.selection;
    EXPECT_EQ(pattern_mismatch(upgrade.out.data, banner() + settings_report("auto", 1152, 51200) +
                                                     name_report(c.selection, names) +
                                                     "ready.\n\n" + download_text(shape, images)),
              "");
    EXPECT_EQ(flash_mismatch(shape, images), "");
}

INSTANTIATE_TEST_SUITE_P(
    E2e, AbsolutePath,
    ::testing::Values(PathCase{"host_under_fw", 1, {"fw/rom.bin"}},
                      PathCase{"font_under_root", 2, {nullptr, "root/images/font.bin"}},
                      PathCase{"tplist_under_home", 4, {nullptr, nullptr, "home/tech/tplist.bin"}},
                      PathCase{"all_three_under_repeat_and_all",
                               7,
                               {"repeat/rom.bin", "all/font.bin", "h/tplist.bin"}}),
    CaseName());

// ---- the end of the flash ----

// The largest transponder list fills sectors 30 to 34, up to the last byte of the 2 MiB flash.
TEST_F(SimTest, TplistUpToTheFlashEndIsWritten) {
    const std::uint32_t sizes[3] = {0, 0, 327680};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(4, sizes, true, images));
    ASSERT_NO_FATAL_FAILURE(start_receiver({}));
    start_upgrade(name_args(4));
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0);
    DownloadShape shape;
    shape.selection = 4;
    auto downloads = report();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].sectors, (std::vector<int>{30, 31, 32, 33, 34}));
    EXPECT_EQ(flash_mismatch(shape, images), "");
}

// A sparse file of the largest length a file system reports (tmpfs allows it): refused with its
// true length, nothing after the access string.
TEST_F(E2eTest, TplistOfTheLargestLengthIsRefusedWithItsTrueLength) {
    char shm_template[] = "/dev/shm/upgrade-e2e-XXXXXX";
    if (mkdtemp(shm_template) == nullptr)
        GTEST_SKIP() << "no /dev/shm";
    const std::string shm_dir = shm_template;
    const std::string name = shm_dir + "/tplist.bin";
    const bool sparse = write_file(name, {}) && truncate(name.c_str(), LLONG_MAX) == 0;
    if (!sparse) {
        std::filesystem::remove_all(shm_dir);
        GTEST_SKIP() << "this file system cannot hold a file of 2^63 - 1 bytes";
    }
    start_upgrade({"/port=com1", name});
    ASSERT_TRUE(wait_output("ready.\n"));
    receiver_sends(0, announcement);
    const int status = wait_upgrade();
    std::filesystem::remove_all(shm_dir);
    EXPECT_EQ(status, 1);
    const std::string& out = upgrade.out.data;
    EXPECT_EQ(printable(out.substr(out.find("ready.\n"))),
              printable("ready.\n\nstart pol ok\nflen = 9223372036854775807\nRefused " + name +
                        " : 9223372036854775807 bytes to send, more than the 327680 bytes of "
                        "its flash region.\n"));
    pump(streams(), 100);
    EXPECT_EQ(printable(com[0].master.data), printable(access_string));
}

// ---- image names that are not regular files ----

// A FIFO under an image's name would block a plain open until a writer came: it is no image
// file, named or detected, and the program goes on at once.
TEST_F(E2eTest, AFifoIsNoImageFile) {
    ASSERT_EQ(mkfifo(path("tplist.bin").c_str(), 0600), 0) << std::strerror(errno);
    struct Case {
        std::vector<std::string> args;
        std::string after_ready;
    };
    const Case cases[] = {
        {{"/port=com1", "/t"}, "\nstart pol ok\nopen fail\n"},
        {{"/port=com1"}, "\nNot found bin files.\n"},
    };
    for (const Case& c : cases) {
        upgrade = Child{};
        console.master.data.clear();
        start_upgrade(c.args);
        ASSERT_TRUE(wait_output("ready.\n"));
        receiver_sends(0, announcement);
        EXPECT_EQ(wait_upgrade(prompt_ms), 1) << c.args.back();
        const std::string& out = upgrade.out.data;
        EXPECT_EQ(printable(out.substr(out.find("ready.\n") + 7)), printable(c.after_ready));
    }
}

// ---- ESC before the header ----

// The header makes the receiver erase the sectors it lists. ESC pressed during the reply read
// (which does not look at the keyboard) ends the download before it: the line carries the
// access string and nothing else.
TEST_F(E2eTest, EscDuringTheReplyReadSendsNoHeader) {
    ASSERT_TRUE(write_file(path("font.bin"), image_bytes(1000, 5)));
    start_upgrade({"/port=com1", "font.bin"});
    ASSERT_TRUE(wait_output("ready.\n"));
    ASSERT_TRUE(wait_console_keys());
    receiver_sends(0, announcement);
    ASSERT_TRUE(wait_for(com[0].master, access_string, start_ms));
    receiver_sends(0, "<t>!");
    ASSERT_TRUE(wait_for(console.master, "<t>", start_ms));
    EXPECT_TRUE(stays_quiet(upgrade.out, 500)); // in the reply read now
    press("\x1b");
    EXPECT_TRUE(stays_quiet(upgrade.out, 300));
    // A good identification: AMD flash, boot block 1.2.
    receiver_sends(0, std::string("\x01\x00\x49\x22\x01\x02\xF1\x06\x9C\xE1", 10));
    EXPECT_EQ(wait_upgrade(prompt_ms), 1);
    const std::string& out = upgrade.out.data;
    EXPECT_EQ(printable(out.substr(out.find("ready.\n") + 7)),
              printable("\nstart pol ok\n" + device_report_text(Identity{}) + "\n"));
    pump(streams(), 100);
    EXPECT_EQ(printable(com[0].master.data), printable(access_string));
}

// ---- the console never goes down the line ----

// Started with standard output closed, the program must not let a port take descriptor 1: the
// receiver would get the console text instead of the access string.
TEST_F(SimTest, ClosedStandardOutputNeverReachesTheLine) {
    const std::uint32_t sizes[3] = {0, 20000, 0};
    Images images;
    ASSERT_NO_FATAL_FAILURE(write_images(2, sizes, true, images));
    ASSERT_NO_FATAL_FAILURE(start_receiver({}));
    upgrade_stdout = Output::Closed;
    start_upgrade(name_args(2));
    EXPECT_EQ(wait_upgrade(download_ms), 0);
    EXPECT_EQ(wait_exit(sim), 0) << "the receiver saw something other than the protocol";
    DownloadShape shape;
    shape.selection = 2;
    auto downloads = report();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(report_mismatch(downloads[0], shape, images), "");
    EXPECT_EQ(flash_mismatch(shape, images), "");
}

} // namespace
} // namespace e2e
