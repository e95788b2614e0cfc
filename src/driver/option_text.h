#ifndef UPGRADE_DRIVER_OPTION_TEXT_H
#define UPGRADE_DRIVER_OPTION_TEXT_H

// What the program prints about its command line: the settings in force before a download, the
// original usage text (/? and /h) and the program's own help (--help). The options themselves
// are read in driver/options.h; --help is printed from its table, so that an option cannot be
// left out of it.

#include "driver/options.h"

// The settings in force, three lines: "port : ..." (COM1, COM2, auto, or a station's ports),
// "baud rate = ..." and "block size = ...".
void print_settings(const Options& options);

// The original usage text, as /? and /h show it.
void print_usage();

// The program's own help: the options as built, grouped as OptionGroup orders them, each
// default as the program uses it, examples with this system's device names, the exit statuses
// and where the manual is. The original usage text stays with /? and /h.
void print_help();

#endif
