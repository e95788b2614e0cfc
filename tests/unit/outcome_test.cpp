#include "driver/outcome.h"

#include <gtest/gtest.h>

namespace {

struct StepRow {
    DownloadResult result;
    bool waiting;
    RunMode mode;
    NextStep next;
    int status;
};

const char* result_name(DownloadResult result) {
    static const char* const names[] = {"finished", "refused", "failed", "ESC", "line lost"};
    return names[static_cast<int>(result)];
}

const char* mode_name(RunMode mode) {
    return mode == RunMode::Once ? "once" : mode == RunMode::Repeat ? "repeat" : "station";
}

// The table of outcome.h, row by row: a lost line is the same row whether the wait or the
// download found it.
TEST(Outcome, NextStepFollowsItsTable) {
    using R = DownloadResult;
    using M = RunMode;
    using N = NextStep;
    const StepRow rows[] = {
        {R::Finished, false, M::Once, N::End, exit_done},
        {R::Finished, false, M::Repeat, N::NextReceiver, -1},
        {R::Finished, false, M::Station, N::NextReceiver, -1},
        {R::Refused, false, M::Once, N::End, exit_failed},
        {R::Refused, false, M::Repeat, N::NextReceiver, -1},
        {R::Refused, false, M::Station, N::NextReceiver, -1},
        {R::Failed, false, M::Once, N::End, exit_failed},
        {R::Failed, false, M::Repeat, N::End, exit_failed},
        {R::Failed, false, M::Station, N::NextReceiver, -1},
        {R::Escaped, true, M::Once, N::End, exit_escape},
        {R::Escaped, true, M::Repeat, N::End, exit_escape},
        {R::Escaped, true, M::Station, N::End, -1},
        {R::Escaped, false, M::Once, N::End, exit_failed},
        {R::Escaped, false, M::Repeat, N::End, exit_failed},
        {R::Escaped, false, M::Station, N::End, -1},
        {R::LineLost, true, M::Once, N::End, exit_failed},
        {R::LineLost, true, M::Repeat, N::End, exit_failed},
        {R::LineLost, true, M::Station, N::WaitForDevice, -1},
        {R::LineLost, false, M::Once, N::End, exit_failed},
        {R::LineLost, false, M::Repeat, N::End, exit_failed},
        {R::LineLost, false, M::Station, N::WaitForDevice, -1},
    };
    for (const StepRow& row : rows) {
        const LineStep step = next_step(row.result, row.waiting, row.mode);
        const testing::Message where = testing::Message()
                                       << result_name(row.result)
                                       << (row.waiting ? ", waiting, " : ", download, ")
                                       << mode_name(row.mode);
        EXPECT_EQ(step.next, row.next) << where;
        EXPECT_EQ(step.status, row.status) << where;
    }
}

// /station decides over /r; /r alone repeats.
TEST(Outcome, RunModeOfTheOptions) {
    struct Case {
        bool repeat;
        bool station;
        RunMode mode;
    };
    const Case cases[] = {{false, false, RunMode::Once},
                          {true, false, RunMode::Repeat},
                          {false, true, RunMode::Station},
                          {true, true, RunMode::Station}};
    for (const Case& c : cases) {
        Options options;
        options.repeat = c.repeat;
        options.station = c.station;
        EXPECT_EQ(run_mode(options), c.mode) << c.repeat << c.station;
    }
}

} // namespace
