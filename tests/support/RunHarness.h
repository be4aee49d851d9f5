#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "engine/loops/CommandLoop.h"
#include "engine/loops/CommandRun.h"
#include "engine/loops/DriveRun.h"
#include "engine/loops/PostQueue.h"
#include "engine/threads/WindowRun.h"
#include "lists/ProxyLines.h"
#include "tests/support/FakeRunView.h"

// The proxies through the window's run (a thread per check, waves of ten) until it ends: the result lines it
// appends, in the order they came. `config` brings the HTTP layer and the target; the rest is filled in here.
inline std::vector<std::string> checkThroughRun(const std::vector<std::string>& proxies, RunConfig config,
                                                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    FakeRunView view;
    for (const auto& p : proxies) view.proxies.append(p);
    PostQueue queue;
    config.post = queue.poster();
    WindowRun run(view, config);
    run.start();
    const auto over = [&] { return view.flag == "off" && run.checksInFlight() == 0; };
    queue.runUntil(std::chrono::steady_clock::now() + limit, over);
    if (!over()) return {"(no end)"};
    std::vector<std::string> lines;
    for (std::size_t i = 1; i < view.results.count(); ++i) lines.push_back(view.results.line(i));
    return lines;
}

// The same proxies through the command's run: event loops at an even pace, driven as the command drives them.
inline std::vector<std::string> checkThroughLoops(const std::vector<std::string>& proxies, CommandRunConfig config,
                                                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    ProxyLines lines;
    for (const auto& p : proxies) lines.add(p + "\n");
    PostQueue queue;
    LoopPool loops(config.loops);
    if (!config.makeDriver) config.makeDriver = loops.drivers();
    std::vector<std::string> results;
    CommandRun run(config, lines, queue.poster(),
                   [&](const CheckResult& r) { results.push_back(resultLine(r.verdict.outcome, r.proxy)); });
    const auto end = std::chrono::steady_clock::now() + limit;
    driveRun(run, queue, [&] { return std::chrono::steady_clock::now() > end; });
    if (!run.finished()) return {"(no end)"};
    return results;
}
