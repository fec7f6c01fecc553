// Runs a program as a child process with its standard streams captured.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct processSpec {
    std::vector<std::string> args; // args[0] is the program's path
    std::string input;             // written to its standard input, which is then closed
    std::string workingDirectory;  // empty: the caller's
    std::vector<std::pair<std::string, std::string>> environment; // added to the caller's
    double timeoutSeconds = 300.0;
};

struct processResult {
    int exitCode = -1; // -1 unless it exited
    int signal = 0;    // the signal that ended it, or 0
    bool timedOut = false;
    std::string out;
    std::string err;
};

processResult runProcess(const processSpec& spec);

} // namespace e2e
