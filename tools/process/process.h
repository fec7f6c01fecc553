// Runs a program as a child process with its standard streams captured: the one way the tests
// and the tools start programs.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zel::proc {

struct processOptions {
    std::vector<std::string> args; // args[0] is the program's path
    std::string input;             // written to its standard input, which is then closed
    std::string workingDirectory;  // empty: the caller's
    std::vector<std::string> unsetEnvironment;                    // removed from the caller's first
    std::vector<std::pair<std::string, std::string>> environment; // then added
    double timeoutSeconds = 300.0;
    // Linux: the program is killed (SIGKILL) when the thread that started it ends, with the
    // caller's process or not. backgroundProcess only.
    bool endsWithCaller = false;
};

struct processResult {
    int exitCode = -1; // -1 unless it exited
    int signal = 0;    // the signal that ended it, or 0
    bool timedOut = false;
    std::string out;
    std::string err;
};

processResult runProcess(const processOptions& spec);

// A program left running while the test goes on, its standard output and error written to files.
// Its standard input is /dev/null: spec.input is not used.
// The destructor kills it (SIGKILL) if it still runs.
class backgroundProcess {
public:
    // False when it cannot be started. extraFds: file descriptors that stay open in the child.
    bool start(const processOptions& spec, const std::string& outFile, const std::string& errFile,
               const std::vector<int>& extraFds = {});
    // Waits up to timeoutSeconds for it to end. True when it ended; then exitCode (or -1) and
    // signal hold what ended it.
    bool wait(double timeoutSeconds);
    void terminate(int signal);
    bool running() const { return pid_ > 0; }
    int exitCode() const { return exitCode_; }
    int endSignal() const { return signal_; }
    int pid() const { return pid_; }

    backgroundProcess() = default;
    ~backgroundProcess();
    backgroundProcess(const backgroundProcess&) = delete;
    backgroundProcess& operator=(const backgroundProcess&) = delete;

private:
    int pid_ = -1;
    int exitCode_ = -1;
    int signal_ = 0;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago (0 when none could be had), for a
// server a test or benchmark starts; and whether something accepts connections on one now.
int freePort();
bool accepting(int port);

} // namespace zel::proc
