#ifndef UPGRADE_TESTS_E2E_SIM_FIXTURE_H
#define UPGRADE_TESTS_E2E_SIM_FIXTURE_H

// Fixture for downloads against the receiver simulator: writes the image files, starts
// `receiver-sim --pty` with a simulated flash and a report in the work directory, and maps the
// program's COM1 (or COM2) to the simulator's line.

#include "download_check.h"
#include "harness.h"

#include <filesystem>

#ifndef UPGRADE_E2E_SIM_PATH
#define UPGRADE_E2E_SIM_PATH ""
#endif

namespace e2e {

// The names a run gives on its command line: other names than the defaults, in a directory,
// so that a program that fell back to the default names would send the decoys instead.
constexpr const char* given_names[3] = {"img/newrom.bin", "img/myfont.bin", "img/TPLIST.BIN"};

class SimTest : public E2eTest {
  protected:
    void SetUp() override {
        if (std::string(UPGRADE_E2E_SIM_PATH).empty() ||
            !std::filesystem::exists(UPGRADE_E2E_SIM_PATH))
            GTEST_SKIP() << "receiver-sim is not built";
        E2eTest::SetUp();
    }

    // Writes the selected images with the lengths in `sizes`. With `by_name` they go under the
    // given names, and decoys with other contents lie under the default names.
    void write_images(int selection, const std::uint32_t sizes[3], bool by_name, Images& images) {
        if (by_name)
            std::filesystem::create_directory(path("img"));
        for (int kind = 0; kind < 3; ++kind) {
            if ((selection >> kind) & 1) {
                images.file[kind] = image_bytes(sizes[kind], 100u + static_cast<unsigned>(kind));
                ASSERT_TRUE(write_file(path(by_name ? given_names[kind] : default_names[kind]),
                                       images.file[kind]));
            }
            if (by_name) {
                auto decoy =
                    image_bytes(kind == host ? 200000 : 30000, 200u + static_cast<unsigned>(kind));
                ASSERT_TRUE(write_file(path(default_names[kind]), decoy));
            }
        }
    }

    // The given names of a selection as arguments, last kind first (their order must not
    // matter), and the name report they lead to.
    static std::vector<std::string> name_args(int selection) {
        std::vector<std::string> args;
        for (int kind = 2; kind >= 0; --kind)
            if ((selection >> kind) & 1)
                args.push_back(given_names[kind]);
        return args;
    }
    static std::string given_name_report(int selection) {
        std::string names[3] = {given_names[0], given_names[1], given_names[2]};
        return name_report(selection, names);
    }

    // Starts the simulator and maps COM`com + 1` to its line.
    void start_receiver(const std::vector<std::string>& extra, int com_index = 0) {
        std::vector<std::string> args = {"--flash",   path("sim-flash.bin"),
                                         "--report",  path("sim-report.txt"),
                                         "--timeout", std::to_string(sim_timeout_s)};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string slave = start_sim(args);
        ASSERT_FALSE(slave.empty());
        com_device[com_index] = slave;
    }

    std::vector<ReportedDownload> report() {
        auto bytes = read_file(path("sim-report.txt"));
        return parse_report(std::string(bytes.begin(), bytes.end()));
    }

    // Empty when the simulated flash holds exactly the images and 0xFF elsewhere.
    std::string flash_mismatch(const DownloadShape& shape, const Images& images) {
        auto flash = read_file(path("sim-flash.bin"));
        auto expected = expected_flash(shape, images);
        if (flash.size() != expected.size())
            return "flash file of " + std::to_string(flash.size()) + " bytes";
        for (std::size_t i = 0; i < flash.size(); ++i)
            if (flash[i] != expected[i]) {
                char text[120];
                std::snprintf(text, sizeof text,
                              "flash differs first at 0x%06zX: 0x%02X, expected 0x%02X", i,
                              flash[i], expected[i]);
                return text;
            }
        return {};
    }
};

} // namespace e2e

#endif
