// A station's slots hold: a receiver that starts again mid-download (its power cut, or cycled by
// the operator) or goes silent costs its slot one failed download, never the slot and never the
// other slots. The slot serves the receiver again and the second download is whole.

#include "station_fixture.h"

#include <chrono>
#include <ostream>

namespace e2e {
namespace {

struct SlotCase {
    const char* name;
    std::vector<std::string> receiver; // the restarting receiver's simulator options
    std::vector<std::string> station;  // options of the station beside /station
    const char* record;                // the first download's result in its record
    const char* shown;                 // its line on the slot's channel
};

// A failed case is named by its name, not its bytes.
void PrintTo(const SlotCase& c, std::ostream* out) {
    *out << c.name;
}

// Names a case after its `name`.
struct SlotName {
    std::string operator()(const ::testing::TestParamInfo<SlotCase>& param_info) const {
        return param_info.param.name;
    }
};

class Slot : public Station, public ::testing::WithParamInterface<SlotCase> {};

// COM1's receiver is steady; COM2's starts again at the row's point, silent for 2 s, then
// announcing itself every second at 57600 as a freshly powered boot block does, and takes a
// whole download then.
TEST_P(Slot, ARestartingReceiverCostsOneDownloadAndIsServedAgain) {
    const SlotCase& c = GetParam();
    StationLine lines[2] = {{1, false, {}, {}}, {2, true, {}, {}}};
    ASSERT_NO_FATAL_FAILURE(start_line(lines[0], {"--mark-delay-ms", "20"}));
    std::vector<std::string> restarting = {"--mark-delay-ms", "20"};
    restarting.insert(restarting.end(), c.receiver.begin(), c.receiver.end());
    ASSERT_NO_FATAL_FAILURE(start_line(lines[1], restarting));
    com_device[0] = lines[0].device;
    com_device[1] = lines[1].device;
    std::vector<std::string> args = {"/station", "/log=" + path("records.jsonl")};
    args.insert(args.end(), c.station.begin(), c.station.end());
    start_upgrade(args);
    // Each simulator ends once it has finished its download, and its port says so.
    for (const StationLine& line : lines)
        ASSERT_TRUE(wait_output("COM" + std::to_string(line.com) + ": Error : the serial line on " +
                                    line.device + " is gone",
                                download_ms))
            << "COM" << line.com << ": " << printable(upgrade.out.data);
    EXPECT_EQ(end_with_escape(), 1) << "a download that did not finish ends the station with 1";
    for (Child& child : other_runs)
        EXPECT_EQ(wait_exit(child), 0) << "a simulator found a download wrong";

    const std::string& out = upgrade.out.data;
    const auto text = text_by_port(out, out.find("\nCOM") + 1, {"COM1", "COM2"});
    EXPECT_NE(text.at("COM2").find(c.shown), std::string::npos) << text.at("COM2");
    EXPECT_EQ(text.at("COM1").find("Error : no answer"), std::string::npos);
    const auto rows = table_rows(out);
    ASSERT_EQ(rows.count("COM2"), 1U) << printable(out);
    EXPECT_EQ(rows.at("COM2").finished, 1);
    EXPECT_EQ(rows.at("COM2").failed, 1) << "the restart was counted more or less than once";
    EXPECT_EQ(rows.at("COM1").finished, 1);
    EXPECT_EQ(rows.at("COM1").failed, 0) << "the other slot was disturbed";
    const auto records = records_by_port();
    EXPECT_EQ(records.at("COM2"), std::string(c.record) + " finished ");
    EXPECT_EQ(records.at("COM1"), "finished ");
    for (const StationLine& line : lines)
        EXPECT_TRUE(flash_is(line.dir + "/flash.bin")) << "COM" << line.com;
}

const std::string restarted = "Error : the receiver on ";
const std::string no_answer = "Error : no answer from the receiver on ";

INSTANTIATE_TEST_SUITE_P(
    E2e, Slot,
    ::testing::Values(
        SlotCase{"at_the_ready_mark", {"--restart-at", "ready"}, {}, "restarted", "started again"},
        SlotCase{
            "instead_of_the_reply", {"--restart-at", "reply"}, {}, "restarted", "started again"},
        SlotCase{"after_the_header", {"--restart-at", "header"}, {}, "restarted", "started again"},
        SlotCase{"mid_blocks", {"--restart-at", "block:2"}, {}, "restarted", "started again"},
        SlotCase{"after_a_resend",
                 {"--resend", "1:1", "--restart-at", "resend:1"},
                 {},
                 "restarted",
                 "started again"},
        // Silent for longer than the bound: the download fails first, and the announcement
        // that comes later is served as any other.
        SlotCase{"silent_past_the_bound",
                 {"--restart-at", "block:1", "--restart-silence", "4000"},
                 {"/silence=1"},
                 "no_answer",
                 "within 1 s.\nchange speed --> 57600\nnext......\nready.\n"}),
    SlotName());

// A receiver that answers more slowly than the bound's margin but within it is not cut.
TEST_F(Station, AReceiverWithinTheBoundIsNotCut) {
    StationLine line{1, false, {}, {}};
    ASSERT_NO_FATAL_FAILURE(start_line(line, {"--mark-delay-ms", "1500"}));
    com_device[0] = line.device;
    start_upgrade({"/station", "/silence=3"});
    ASSERT_TRUE(
        wait_output("COM1: Error : the serial line on " + line.device + " is gone", download_ms));
    EXPECT_EQ(end_with_escape(), 0);
    EXPECT_EQ(table_rows(upgrade.out.data).at("COM1").finished, 1);
    EXPECT_TRUE(flash_is(line.dir + "/flash.bin"));
}

// What a receiver says without a line end is on the screen while its port waits, behind the
// port's name: a prompt, or a receiver that stops mid-line, is seen at once.
TEST_F(Station, ReceiverTextWithoutALineEndIsShownWhileThePortWaits) {
    StationLine line{1, false, {}, {}};
    ASSERT_NO_FATAL_FAILURE(start_line(
        line, {"--silent-text", "flash> ", "--no-mark-at", "0", "--mark-delay-ms", "20"}));
    com_device[0] = line.device;
    start_upgrade({"/station"});
    ASSERT_TRUE(wait_output("COM1: crc = ", download_ms));
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_output("COM1: flash> \n", 5000)) << printable(upgrade.out.data);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
    EXPECT_EQ(end_with_escape(), 1);
}

} // namespace
} // namespace e2e
