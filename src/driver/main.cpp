#include "driver/run_loop.h"

namespace {

// Holds the run's records from start to end and never destroys them. The records are set in
// the program's image as they start, and a page of them becomes memory of the program's only
// when something uses it; the run's end gives back all they hold (ports, the record file).
// Destroying them would walk every line's records, those of the max_ports - 1 lines that a
// one-port run never serves included, and make their pages the program's just as it ends.
// (A template, so that the constructor is constexpr where the records' is: not with MinGW,
// whose std::mutex has none, and where the records are therefore made when the program starts.)
template <class Records> union Kept {
    Records records;
    constexpr Kept() : records() {}
    ~Kept() {} // leaves `records` as they are
};

} // namespace

int main(int argc, char** argv) {
    // The run's records live for the whole run, here rather than in globals, and beside them
    // the lines' large arrays, in zero-initialised storage of their own (see LineStore): no
    // initialiser, so that nothing writes them as the program starts.
    static Kept<Run> run;
    static LineStore stores[max_ports];
    return run_program(run.records, stores, argc, argv);
}
