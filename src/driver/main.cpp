#include "driver/run_loop.h"

#include <cstdlib>

int main(int argc, char** argv) {
    std::exit(run_program(argc, argv));
}
