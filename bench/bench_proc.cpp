#include "bench_proc.h"

#include <csignal>

namespace bench {

toolkit::Stdio err_to(const std::string& path) {
    if (path.empty())
        return {toolkit::Io::Null};
    return {toolkit::Io::File, path};
}

void pump(const Group& group, std::int64_t deadline) {
    std::vector<toolkit::Stream*> streams;
    std::vector<int> ends;
    for (Child* c : group.children) {
        streams.push_back(&c->out);
        if (c->pidfd >= 0)
            ends.push_back(c->pidfd);
    }
    streams.insert(streams.end(), group.consoles.begin(), group.consoles.end());
    toolkit::pump_until(streams, deadline, ends);
    for (toolkit::Stream* console : group.consoles)
        console->data.clear(); // the receiver's echoed text: not needed
    for (Child* c : group.children) {
        if (!c->reaped && toolkit::try_reap(*c) && c->out.fd >= 0 && !c->out.closed)
            toolkit::read_available(c->out); // what it wrote just before its end
    }
}

bool wait_text(const Group& group, Child& child, const char* needle, std::int64_t deadline,
               std::int64_t* seen_ns, std::size_t from) {
    const std::string& text = child.out.data;
    for (;;) {
        if (text.size() > from && text.find(needle, from) != std::string::npos) {
            if (seen_ns)
                *seen_ns = mono_ns();
            return true;
        }
        if (child.reaped || mono_ns() >= deadline)
            return false;
        pump(group, deadline);
    }
}

bool wait_exit(const Group& group, Child& child, std::int64_t deadline) {
    while (!child.reaped) {
        if (mono_ns() >= deadline)
            return false;
        pump(group, deadline);
    }
    return true;
}

void idle_until(const Group& group, std::int64_t deadline) {
    while (mono_ns() < deadline)
        pump(group, deadline);
}

void finish(const Group& group) {
    for (Child* c : group.children) {
        if (c->pid > 0 && c->reaped)
            kill(-c->pid, SIGKILL); // a tracee or helper left behind in its group
        toolkit::kill_and_reap(*c);
    }
}

} // namespace bench
