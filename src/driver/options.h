#ifndef UPGRADE_DRIVER_OPTIONS_H
#define UPGRADE_DRIVER_OPTIONS_H

// The command line: "upgrade [/options] [filename]". Options are recognised by prefix and in
// any case, so /all acts as /a and COM12 as COM1; scripts and fingers rely on that. Image files
// are recognised by name (rom, font or tplist followed by .bin).

#include "link/serial_port.h"
#include "protocol/image_plan.h"

#include <cstddef>
#include <cstdint>

enum class PortChoice { Com1 = 0, Com2 = 1, Auto = -1 };

// Images of a download: host 1, font 2, tplist 4; 0 means detect from the files present.
using Selection = std::uint8_t;

enum class NameMode { None = 0, Given = 1, UnknownFormat = 2, TooLong = 3 };

// A file name slot holds up to 99 characters and the terminator.
constexpr std::size_t name_slot_size = 100;

struct Options {
    PortChoice port = PortChoice::Auto;
    std::int32_t speed_hundreds = 1152; // data phase, in hundreds of baud (1152: 115200)
    std::uint32_t block_size = 51200;
    Selection selection = 0;
    NameMode name_mode = NameMode::None;
    char names[image_kind_count][name_slot_size] = {}; // by ImageKind
    bool repeat = false;
    const char* devices[max_ports] = {}; // what COM1 to COM32 stand for; nullptr: default (COM1
                                         // and COM2) or none
    const char* log_path = nullptr;      // /log=: the file every download's record is appended to
    bool progress = false;               // /progress: a status line per image instead of fragments
    bool station = false; // /station: every port given with /comN= serves receivers at once
    bool plan = false;    // /plan: show what a download would do, open no port
    // /silence=S: a receiver that gives no answer for S seconds after a frame fails its
    // download; 0: no bound; -1 (not given): a station bounds it by the flash chip's worst case,
    // the one-port program waits for ever.
    std::int32_t silence_s = -1;
    bool silence_given = false;
};

// How the run serves receivers: the one-port program for one download (Once) or one after
// another (/r: Repeat), or a station on every port given (/station, whatever /r says).
enum class RunMode { Once, Repeat, Station };

RunMode run_mode(const Options& options);

// The options, as the command line takes them and --help shows them. An option is recognised
// through this table alone, so one that is not in it cannot work, and --help is printed from
// it, so one that is in it cannot be left out of the help.

// The groups --help shows the options in, in this order.
enum class OptionGroup { Line, Images, Run, Other };

// What an option does; apply_option gives each its effect in one switch, so that the compiler
// names an effect left without one.
enum class OptionEffect {
    Port,
    Com1,
    Com2,
    Device,
    Baud,
    Block, // port, speed and block
    Font,
    Tplist,
    All, // images
    Station,
    Log,
    Progress,
    Plan,
    Repeat,
    Silence, // station, record, progress, plan, answer bound
    List,
    Usage,
    Help,
    Version, // others
};

struct OptionSpec {
    // What the argument must begin with, in any case ("/comN=" takes N from 1 to 32 after
    // "/com"; "--help" and "--version" are taken exactly, as POSIX programs take them).
    const char* prefix;
    OptionEffect effect;
    OptionGroup group;
    const char* shown; // how --help writes it ("/baud=N, /speed=N"); nullptr: an alias, shown
                       // with the option above it
    const char* help;  // what it does, as --help says it (its default is added from Options)
};

// The table, in the order arguments are compared with it: the first prefix an argument begins
// with decides. `count` is set to its length.
const OptionSpec* option_table(int& count);

// The entry the argument `argument` is, or nullptr for a file name.
const OptionSpec* find_option(const char* argument);

enum class ParseResult {
    Parsed,     // every argument was read into the options
    UsageAsked, // "/?" or "/h": the caller shows the usage text and the run ends there
};

// Reads the arguments after the program name into `options`. Prints nothing: the caller shows
// the settings in force, or the usage text when it was asked for. The arguments after "/?" or
// "/h" are not read; the ones before it have been.
ParseResult parse_options(int argc, const char* const argv[], Options& options);

// What the command line asks for before any upgrade: the conventions of every POSIX program
// beside the options of this one. None of them opens a port.
enum class RunRequest {
    Upgrade,     // the usual run: banner, options, ports
    Help,        // --help: the usage text and the options added to it, status 0
    Version,     // --version: the program's name and version, status 0
    ListPorts,   // /list: the serial ports of this system, status 0
    ListStation, // /list=station: a station's command line for the adapters present, status 0
};

// Looks through all the arguments for --help and --version (exactly, as POSIX programs take
// them) and for /list (by prefix and in any case, like every option here); the first found
// decides. An absolute path is a file name, as in parse_options. A file really named --help is
// given as ./--help.
RunRequest find_request(int argc, const char* const argv[]);

// Recognises an image file name and stores it in its slot (see options.cpp for the rule).
void classify_file_name(const char* argument, Options& options);

// The one-line complaint about a value that cannot work (a block size of 0, a speed the line
// cannot run at), or nullptr when the values are usable.
const char* check_values(const Options& options);

#endif
