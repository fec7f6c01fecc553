#pragma once

// The Linux process mechanics of the import helper, apart from what the host and the helper say to
// each other: descriptors and whole reads and writes on them, the helper's start (its descriptors,
// limits and environment), killing and reaping it.

#include <zel/base/unique_fd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zel::import::process {

// How a whole transfer moves its bytes.
enum class transfer {
    read,      // read(2)
    write,     // write(2)
    send,      // send(2) without SIGPIPE: for a socket whose peer may be gone
    giftPages, // vmsplice(2) into a pipe: the reader's read is the only copy; the memory must stay
               // unchanged until it has been read
};

// Moves all n bytes, going on after interruptions; false on an error or at the end of the data.
bool transferAll(int fd, void* data, std::size_t n, transfer how);
inline bool readAll(int fd, void* data, std::size_t n) {
    return transferAll(fd, data, n, transfer::read);
}
inline bool writeAll(int fd, const void* data, std::size_t n) {
    return transferAll(fd, const_cast<void*>(data), n, transfer::write);
}

// Sends n bytes on a UNIX socket with fd (when not negative) attached to them, without SIGPIPE;
// nonBlocking: fail rather than wait for room. False when not all of it went.
bool sendWithDescriptor(int socket, const void* data, std::size_t n, int fd, bool nonBlocking);
// Receives exactly n bytes from a UNIX socket and the one descriptor attached to them, if any
// (close-on-exec; any more are closed). False on an error or at the end of the data.
bool receiveWithDescriptor(int socket, void* data, std::size_t n, base::uniqueFd& fd);

// What the helper's process gets besides its arguments.
struct helperLimits {
    std::uint64_t cpuSeconds = 0;   // CPU-time backstop (soft; hard one more); 0: none
    std::uint64_t addressSpace = 0; // 0: none (never applied in sanitizer builds)
    std::uint64_t openFiles = 64;   // descriptors it may hold
};

// A helper started: its pid (-1 when it could not be started, with error) and the parent's ends of
// the result pipe (read) and the request socket.
struct startedHelper {
    pid_t pid = -1;
    base::uniqueFd result;
    base::uniqueFd request;
    std::string error;
};

// Starts argv[0] with argv: in its own process group, dying with the calling thread, stdin, stdout
// and stderr on /dev/null, the result pipe's write end as descriptor resultFd and the request
// socket's other end as requestFd, no other descriptor, no core dumps, no file writes, the limits,
// and the environment helperEnvironment(). The new process shares the caller's memory until it
// execs (as posix_spawn does), so the start costs the same whatever the size of the caller.
startedHelper startHelper(const std::vector<std::string>& argv, int resultFd, int requestFd,
                          const helperLimits& limits);

// The helper's whole environment, fixed: nothing of the caller's (its credentials, display, home)
// reaches it. Sanitizer builds pass on the sanitizers' own options.
std::vector<std::string> helperEnvironment();

struct exitStatus {
    bool known = false; // false when the caller ignores SIGCHLD and the kernel reaped the child
    int status = 0;
};

// Kills the helper's process group and the helper.
void kill(pid_t pid);
// Waits for pid's exit; false when the child is not ours to reap (SIGCHLD ignored).
bool reap(pid_t pid, exitStatus& out);
// Reaps a child that was told to die without waiting for it: the exit of a process that held a
// large model takes tens of milliseconds, all of it spent freeing memory. Synchronous when no
// thread can be started.
void reapInBackground(pid_t pid);

// Where a wait for the helper's exit stands, asked between polls.
class exitWait {
public:
    virtual ~exitWait() = default;
    // Polls fd for input until it is ready (1), the wait is over (0) or poll fails (-1).
    virtual int wait(int fd) = 0;
    // Called between polls of the child's state; true when the wait is over (deadline, cancel).
    virtual bool over() = 0;
};

// Waits for pid's exit until w says the wait is over, then kills its process group; reaps it.
void waitForExit(pid_t pid, exitWait& w, exitStatus& out);

} // namespace zel::import::process
