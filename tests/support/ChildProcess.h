#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Where a child's standard output goes.
enum class Out {
    Pipe,
    Terminal,        // a pseudo-terminal
    Closed,          // >&-
    Full,            // >/dev/full
    ReaderGone,      // a pipe nobody reads any more, with SIGPIPE ignored (as systemd services run)
    NeverRead,       // a pipe nobody reads while the program runs; what it holds is read once it has ended
    NonBlocking,     // a pipe left O_NONBLOCK by the parent, read slowly
    SharedTerminal,  // one pseudo-terminal for standard output and standard error: both in `out`
};

struct Launch {
    std::string binary;
    std::vector<std::string> args;
    std::string input;  // standard input, written whole before the output is read
    Out out = Out::Pipe;
    bool errOnTerminal = false;
    std::vector<std::string> env;  // NAME=value, added
    rlim_t files = 0;              // a soft and hard descriptor limit, when set
};

struct Ran {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out, err;
    double cpuMs = 0;  // user and system time
};

// Runs a program as `launch` says, with nothing open beyond its standard descriptors; `watch` is called with the
// process and what it has written so far, every 20 ms at most, until it ends.
Ran runProgram(const Launch& launch, const std::function<void(pid_t, const std::string& out)>& watch = {});

// A field of a process's /proc status ("VmRSS:", "Threads:"), as a number; -1 when it cannot be read.
long procField(pid_t pid, const std::string& key);
// The descriptors a process has open.
long fdsOf(pid_t pid);
