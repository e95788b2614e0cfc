#include "driver/run_loop.h"

int main(int argc, char** argv) {
    // The run's records live for the whole run, here rather than in globals.
    static Run run;
    return run_program(run, argc, argv);
}
