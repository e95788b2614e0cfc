#include "helpers/programs.h"

#include <algorithm>

namespace helpers {

toolkit::Launch upgrade_launch(const std::string& program, const std::string& com1,
                               const std::string& com2, const std::vector<std::string>& args,
                               const std::string& console) {
    toolkit::Launch launch;
    launch.argv = {program, "/com1=" + com1, "/com2=" + com2};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    if (!console.empty()) {
        launch.console = console;
        launch.in = {toolkit::Io::Console};
    }
    return launch;
}

toolkit::Launch wine_launch(const std::string& session, const std::string& state,
                            const std::string& program, const std::vector<std::string>& args,
                            const std::string& console) {
    toolkit::Launch launch;
    launch.argv = {"/bin/sh", session, state, "run", "wine", program};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.console = console;
    launch.in = {toolkit::Io::Console};
    launch.err = {toolkit::Io::Console};
    return launch;
}

toolkit::Launch sim_launch(const std::string& program, const std::vector<std::string>& args) {
    toolkit::Launch launch;
    launch.argv = {program, "--pty"};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    return launch;
}

bool start_sim(const toolkit::Launch& launch, toolkit::Child& sim, std::string& slave,
               std::int64_t deadline, const std::vector<toolkit::Stream*>& also) {
    if (!toolkit::spawn(launch, sim))
        return false;
    std::vector<toolkit::Stream*> streams = also;
    if (std::find(streams.begin(), streams.end(), &sim.out) == streams.end())
        streams.push_back(&sim.out);
    std::size_t end = std::string::npos;
    while ((end = sim.out.data.find('\n')) == std::string::npos) {
        if (sim.out.closed || toolkit::mono_ns() >= deadline)
            return false;
        toolkit::pump_until(streams, deadline);
    }
    slave = sim.out.data.substr(0, end);
    return !slave.empty();
}

} // namespace helpers
