#ifndef UPGRADE_TESTS_HELPERS_PROGRAMS_H
#define UPGRADE_TESTS_HELPERS_PROGRAMS_H

// Starting the two programs every run needs: `upgrade` itself and the receiver simulator.
//
// `upgrade` is always started with both of its ports mapped (/com1= and /com2=), so that no
// run can open the machine's own serial ports, whose first is its console. The simulator makes
// a pseudo-terminal of its own and names its slave alone on its first line of output. Windows
// programs (upgrade.exe, the benchmark's probes of wine) run through the wine session script,
// which runs nothing unless COM1 and COM2 lead to the session's own links and no other COM
// name leads anywhere.

#include "toolkit/proc.h"

#include <cstdint>
#include <string>
#include <vector>

namespace helpers {

// `upgrade` at `program` with COM1 and COM2 standing for `com1` and `com2`, then `args`. With a
// `console` (a pty slave) that terminal is its controlling terminal and standard input;
// otherwise standard input is /dev/null. Output goes to pipes; the caller may change that.
toolkit::Launch upgrade_launch(const std::string& program, const std::string& com1,
                               const std::string& com2, const std::vector<std::string>& args,
                               const std::string& console = {});

// The Windows `program` with `args` under wine, through `session` (tests/wine/wine_session.sh)
// with its state directory `state`. The `console` (a pty slave) is its controlling terminal,
// standard input and standard error, where wine's console reads keys and shows text; standard
// output goes to a pipe.
toolkit::Launch wine_launch(const std::string& session, const std::string& state,
                            const std::string& program, const std::vector<std::string>& args,
                            const std::string& console);

// `receiver-sim --pty` at `program` with `args`; output to pipes.
toolkit::Launch sim_launch(const std::string& program, const std::vector<std::string>& args);

// Starts the simulator of `launch` as `sim` and waits until it has named its line, reading
// `also` meanwhile; the slave's path goes to `slave`. False when it could not be started, or
// ended or passed `deadline` before it named one.
bool start_sim(const toolkit::Launch& launch, toolkit::Child& sim, std::string& slave,
               std::int64_t deadline, const std::vector<toolkit::Stream*>& also = {});

} // namespace helpers

#endif
