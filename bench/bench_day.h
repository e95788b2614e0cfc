#ifndef UPGRADE_BENCH_BENCH_DAY_H
#define UPGRADE_BENCH_BENCH_DAY_H

// A station all day, compressed: what the receivers on each line of the day do, drawn at random
// from a fixed seed so that two runs of the benchmark see the same day, and what the station
// must make of each: the records it writes, in order, and the bound within which a slot whose
// receiver stops answering must give it up.
//
// A visit is one receiver on the bench (or one pull of the line's cable): it comes once the
// slot is ready, does what its kind says, and leaves; the next visit follows on the same line.
// The kinds and their share of the day are in bench_day_plan.cpp.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class VisitKind {
    Whole,            // one whole download, now and then with a block resent
    Restart,          // starts again at a point of its download, silent 2 s, then one whole
    NoMark,           // never answers block K: the slot gives it up at its bound
    LongSilence,      // starts again and stays silent past the bound, then one whole download
    UnplugInDownload, // the line goes away mid-download and comes back at the same path
    UnplugIdle,       // the line goes away while its slot waits for a receiver, and comes back
};

// The shape of the day's download and the station's bounds on the receiver's answers, in the
// program's own terms (protocol/download.h), so that the benchmark judges a slot by the bound
// the program set itself.
struct DayShape {
    int blocks = 0;              // block frames of the download
    int mark_delay_ms = 0;       // each answer of the receiver, after a frame's end
    std::int64_t ready_bound_ms; // the first ready mark (the receiver answers at once)
    std::int64_t reply_ms;       // the identification, read within a fixed time
    std::int64_t header_bound_ms;
    std::int64_t block_bound_ms;
    double frame_s = 0; // a block frame's time on the line
};

// The shape of a download of `image_bytes` of transponder list in blocks of `block_size`,
// with the receiver answering in `mark_delay_ms`, at `baud` in the data phase.
DayShape day_shape(std::size_t image_bytes, std::uint32_t block_size, std::int32_t baud,
                   int mark_delay_ms);

struct Visit {
    VisitKind kind = VisitKind::Whole;
    std::string what;                  // in words, for the benchmark's notes: "restart at header"
    std::vector<std::string> receiver; // the simulator's options for the kind (faults)
    int gap_ms = 0;                    // the slot ready (or its line back), until the visit
    int delay_ms = 0;                  // the receiver's --delay before it announces
    int cut_after = 0; // UnplugInDownload: "crc = " lines seen before the cut (0: "start pol ok")
    int cut_ms = 0;    // ... and the time after it
    int away_ms = 0;   // unplugs: how long the line stays away
    int answers = 0;   // the receiver's answers to frames in one whole download (resends too)
    // NoMark and LongSilence: the bound of the step where the receiver goes silent, which the
    // slot may wait out and no longer; Restart: the receiver's silence before it announces.
    std::int64_t quiet_ms = 0;
    std::vector<std::string> results; // the records the visit makes, in order
    int estimate_s = 0;               // how long it takes, about
};

// Each line draws its day from a generator of its own, seeded from the run's seed and the
// line's number: the draw does not depend on how fast the other lines go.
struct DayRandom {
    std::uint64_t state = 0;
};

DayRandom day_random(std::uint64_t seed, int line);
// A number from `low` to `high`, both included.
int draw(DayRandom& random, int low, int high);
// The line's next visit.
Visit next_visit(DayRandom& random, const DayShape& shape);

// The station table's words for a record's result ("no_answer" is "no answer").
std::string table_result(const std::string& record_result);

// One download's end as the station's console showed it.
struct DayEnding {
    std::string result;         // as a record names it: the console's words told apart
    std::int64_t seen_ns = 0;   // when the benchmark read it (CLOCK_MONOTONIC)
    bool spanned = false;       // the line's figures of the download came
    double line_s = 0;          // the line time of the download's bytes, both ways
    std::int64_t first_ns = -1; // its first byte on the line
    std::int64_t cut_ns = 0;    // a pulled line: when its emulator was ended
    std::int64_t quiet_ms = 0;  // the receiver's silence the slot may wait out (Visit::quiet_ms)
    std::string what;           // the visit, in words
};

// What the run kept of one line.
struct DayLog {
    std::vector<std::string> visits;  // each visit in words, with the records it was to make
    std::vector<std::string> planned; // the records its visits were to make, in order
    std::vector<DayEnding> endings;   // the downloads' ends on the console, in order
    int unplugs = 0;
    bool broken = false; // a slot that did not come back: the line was given up
};

struct DaySample;

// Sets the sample's figures and counts from what the run kept: `logs` (one per line, COM1
// first), the records in `records_path`, the station's table at the end of `station_out`.
// `unix_less_mono_ms` turns a record's time into the benchmark's clock.
void check_day(const DayShape& shape, const std::vector<DayLog>& logs,
               const std::string& records_path, const std::string& station_out,
               std::int64_t unix_less_mono_ms, DaySample& sample);

} // namespace bench

#endif
