#ifndef UPGRADE_BENCH_BENCH_DAY_LINES_H
#define UPGRADE_BENCH_BENCH_DAY_LINES_H

// The lines of the station all day (bench_day.h): what the run keeps of each line while its
// visits go on, and the turns of a line that the run's loop takes (bench_day_lines.cpp).

#include "bench_day.h"
#include "bench_runs.h"

#include <deque>

namespace bench {

enum class Phase {
    Gap,       // the slot is ready; the visit begins after its gap
    Opening,   // the line's figures are asked for; the receiver comes once they are read
    Serving,   // the receiver is on the line
    Pulled,    // the emulator was ended: until the port has said so and the line has been away
    Returning, // a new emulator at the same path: until the port has it again and is ready
    Done,      // the line's day is over
};

struct DayLine {
    int n = 0;        // 0 for COM1
    std::string link; // the port's device: the emulator's link to its side A
    std::string receiver_side;
    Child emu, sim;
    std::size_t emu_read = 0; // the emulator's output taken so far
    std::deque<int> spans;    // the endings the emulator's next spans belong to (-1: none)
    DayRandom random;
    Visit visit;
    Phase phase = Phase::Gap;
    std::int64_t due_ns = -1;       // the phase's timer, -1: none
    std::int64_t cut_ns = -1;       // when the line is pulled in the download, -1: not planned
    std::int64_t deadline_ns = 0;   // the visit is over by then, or its slot is stuck
    std::size_t visit_endings = 0;  // log.endings.size() when the visit began
    bool ended_since_ready = false; // a download's end was seen since the slot was last ready
    bool idle = true;               // the port's last words were "ready.": no download runs
    bool started = false;           // "start pol ok" in the current download
    int block_lines = 0;            // "crc = " lines in the current download
    bool gone = false, appeared = false;
    bool sim_checked = false;
    std::int64_t pulled_ns = 0;
    DayLog log;
};

struct Day {
    const Setup& setup;
    const DayConfig& config;
    DayShape shape;
    std::vector<DayLine> lines; // sized once: the group points into it
    UpgradeRun up;
    std::size_t out_read = 0;
    std::int64_t end_ns = 0; // no visit begins that would end later
    double emu_cpu_ms = 0, sim_cpu_ms = 0;
    int visits = 0, stuck = 0;
    std::vector<std::string>& problems;
};

// "COM1" for line 0.
std::string com(int n);

// Ends `child` if it still runs and adds its CPU time to `cpu_ms`; the place is free again.
void retire(Child& child, double& cpu_ms);
bool alive(const Child& child);

// A new emulator for the line, its side A at the line's link. False when it did not start.
bool plug(Day& day, DayLine& line);

// Draws the line's next visit and begins its gap; the line's day is over (Done) when the visit
// would end after the day.
void begin_visit(Day& day, DayLine& line, std::int64_t now);

// Gives the station's new whole lines to their ports' lines.
void read_station(Day& day, std::int64_t now);
// Gives the emulator's new span lines to the downloads they were asked for.
void read_spans(Day& day, DayLine& line);
// The line's turn: its timers, its receiver's end, its visit's end; a visit past its deadline
// gives the line up (its slot did not come back).
void step(Day& day, DayLine& line, std::int64_t now);

// When the loop is to wake at the latest: the next timer of any line, or the next sample.
std::int64_t next_wake(const Day& day, std::int64_t now, std::int64_t sample_ns);
// The station and every program of the lines, for the loop's waits.
Group day_group(Day& day);

} // namespace bench

#endif
