#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/Diagnostics.h"
#include "gate/GateOptions.h"

class Access;
class EventLoop;
class OutputWriter;
class Rounds;

// The whole gateway: reads the lists, listens, checks every proxy in rounds on the loops that relay the tunnels,
// reads the lists again when they change, and on SIGTERM drains. execute() returns the exit status: 0 after such a
// stop, 2 on bad usage, a list or a file that cannot be read, or an address that cannot be listened on.
class GateCommand {
  public:
    explicit GateCommand(std::vector<std::string> args) : args_(std::move(args)) {}
    int execute();

  private:
    struct Serving;
    int usageError(const std::string& error);
    int serve();
    bool listen(Serving& s, bool loopbackOnly);  // false after saying why
    void serveUntilStopped(Serving& s, EventLoop& loop, Rounds& rounds, OutputWriter& log);
    [[noreturn]] void lastWords(Serving& s, OutputWriter& log);
    void drain(Serving& s, EventLoop& loop);
    void said(Serving& s);                              // the pool's counts, to systemd
    bool readProxies(std::vector<std::string>& texts);  // false after saying why
    std::shared_ptr<const Access> readAccess();         // null after saying why

    std::vector<std::string> args_;
    GateOptions options_;
    Diagnostics err_{kGateName};
};
