// Shared-scene figures side by side with the broker's own, in one run against one nats-server that
// the benchmark starts on a free loopback port with a temporary store. parts.h says what each part
// measures and against what; the table below names them.
// usage: share_bench [NATS_SERVER_PROGRAM [SITES [PART...]]], PART one of latency, late-join,
// drag, bytes, hostile-join, crowd, amplified-join, leave-return, scenes, chain-move (default:
// every part); SITES the crowd's (at least 12, default 100).
// The benchmark's servers are stopped whichever way it ends: by their destructors when a part
// fails, by the system when the benchmark itself dies (tests/support/nats_broker.h).
#include "parts.h"
#include "support.h"

#include <nats_broker.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace sharebench;
    if (argc == 4 && std::string(argv[1]) == "--join")
        return joinOnly(argv[2], argv[3]);
    const std::string program = argc > 1 ? argv[1] : "/usr/sbin/nats-server";
    const int sites = argc > 2 ? std::max(12, std::atoi(argv[2])) : 100;
    struct part {
        const char* name;
        std::function<void(const std::string& url)> run;
    };
    const part parts[] = {
        {"latency", latency},
        {"late-join",
         [](const std::string& url) {
             lateJoin(url, 1000);
             lateJoin(url, 10000);
         }},
        {"drag", drag},
        {"bytes", [](const std::string&) { bytes(); }},
        {"hostile-join", hostileJoin},
        {"crowd", [&](const std::string& url) { crowd(url, sites); }},
        {"amplified-join", amplifiedJoin},
        {"leave-return", leaveAndReturn},
        {"scenes", [&](const std::string&) { scenes(program); }},
        {"chain-move", chainMove},
    };
    const std::vector<std::string> asked(argv + std::min(argc, 3), argv + argc);
    for (const std::string& name : asked)
        if (std::none_of(std::begin(parts), std::end(parts),
                         [&](const part& p) { return name == p.name; })) {
            std::cerr << "share_bench: no part " << name << " (see the usage)\n";
            return 2;
        }
    zeltest::brokerOptions options;
    options.program = program;
    zeltest::natsBroker server(options);
    if (!server.started()) {
        std::cerr << "share_bench: nats-server did not start: " << server.err() << "\n";
        return 1;
    }
    try {
        for (const part& p : parts)
            if (asked.empty() || std::find(asked.begin(), asked.end(), p.name) != asked.end())
                p.run(server.url());
    } catch (const failure&) {
        return 1;
    }
    return 0;
}
