#include <zel/import/isolated_import.h>

#include <zel/import/scene_codec.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(ZEL_SANITIZE) || defined(__SANITIZE_ADDRESS__)
#define ZEL_IMPORT_NO_ADDRESS_LIMIT 1
#endif

extern char** environ;

namespace zel::world::import {

namespace {

// The result descriptor's number in the child; the helper is told it on its command line.
constexpr int childResultFd = 3;

void setReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

std::string errnoText(int e) {
    return std::strerror(e);
}

class fileDescriptor {
public:
    fileDescriptor() = default;
    explicit fileDescriptor(int fd) : fd_(fd) {}
    fileDescriptor(const fileDescriptor&) = delete;
    fileDescriptor& operator=(const fileDescriptor&) = delete;
    ~fileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Moves fd to a number of at least lowest, so that wiring the child's descriptors (0, 1, 2 and the
// result's) cannot close it: the host may have closed its own stdin.
bool raiseTo(fileDescriptor& fd, int lowest) {
    if (fd.get() >= lowest)
        return true;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, lowest);
    if (moved < 0)
        return false;
    fd.reset(moved);
    return true;
}

double secondsSince(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) * 1e-9;
}

std::string signalName(int sig) {
    const char* name = ::sigabbrev_np(sig);
    return name ? std::string("SIG") + name : "signal " + std::to_string(sig);
}

std::string secondsText(std::chrono::milliseconds ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", double(ms.count()) / 1000.0);
    return buf;
}

// Checks what the parent can tell without reading the file's content.
bool checkInput(const std::filesystem::path& file, std::string* reason) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        setReason(reason, errnoText(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        setReason(reason, "is a directory");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        setReason(reason, "not a regular file");
        return false;
    }
    if (st.st_size == 0) {
        setReason(reason, "the file is empty");
        return false;
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setReason(reason, errnoText(errno));
        return false;
    }
    ::close(fd);
    return true;
}

struct childOutcome {
    bool timedOut = false;
    bool statusKnown = false; // false when the host ignores SIGCHLD and the kernel reaped the child
    int status = 0;
};

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Reaps pid, retrying on EINTR; false when the child is not ours to reap (SIGCHLD ignored).
bool reap(pid_t pid, childOutcome& out) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &out.status, 0);
        if (r == pid) {
            out.statusKnown = true;
            return true;
        }
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Reaps a child that was told to die without waiting for it: the exit of a process that held a
// large model takes tens of milliseconds, all of it spent freeing memory, and the caller has its
// result already. Synchronous when no thread can be started.
void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            childOutcome ignored;
            reap(pid, ignored);
        }).detach();
    } catch (const std::system_error&) {
        childOutcome ignored;
        reap(pid, ignored);
    }
}

// Waits on a pidfd until the child exits or the deadline passes; false when poll cannot be used.
bool waitPidfd(pid_t pid, double limit, const timespec& start, childOutcome& out) {
    fileDescriptor pidfd(openPidfd(pid));
    if (!pidfd)
        return false;
    for (;;) {
        const double left = limit - secondsSince(start);
        if (left <= 0) {
            out.timedOut = true;
            return true;
        }
        pollfd p{pidfd.get(), POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left * 1000.0) + 1);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// Waits for the child's exit until the deadline; kills its process group when the deadline passes.
void waitWithDeadline(pid_t pid, std::chrono::milliseconds deadline, const timespec& start,
                      childOutcome& out) {
    const double limit = double(deadline.count()) / 1000.0;
    if (!waitPidfd(pid, limit, start, out)) {
        // No pidfd (old kernel or a filtered system call): poll the child's state.
        long sleepNs = 200'000;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                out.statusKnown = true;
                out.status = status;
                return;
            }
            if (r < 0 && errno != EINTR)
                return; // not ours to reap
            if (secondsSince(start) >= limit) {
                out.timedOut = true;
                break;
            }
            timespec ts{0, sleepNs};
            ::nanosleep(&ts, nullptr);
            sleepNs = std::min(sleepNs * 2, 10'000'000L);
        }
    }
    if (out.timedOut) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
    reap(pid, out);
}

// The result pipe's read end, drained in large reads: small pieces come from a buffer, large
// arrays straight into their destination. Every wait respects the deadline.
class pipeSource final : public byteSource {
public:
    pipeSource(int fd, double limit, const timespec& start)
        : fd_(fd), limit_(limit), start_(start) {}

    bool timedOut() const { return timedOut_; }
    double firstByteSeconds() const { return firstByte_; }

    bool read(void* out, std::size_t n) override {
        auto* dst = static_cast<char*>(out);
        const std::size_t fromBuffer = std::min(n, end_ - pos_);
        std::memcpy(dst, buffer_.data() + pos_, fromBuffer);
        pos_ += fromBuffer;
        dst += fromBuffer;
        n -= fromBuffer;
        if (n >= buffer_.size() / 2)
            return fill(dst, n, n) == n;
        while (n > 0) {
            pos_ = 0;
            end_ = fill(buffer_.data(), 1, buffer_.size());
            if (end_ == 0)
                return false;
            const std::size_t take = std::min(n, end_);
            std::memcpy(dst, buffer_.data(), take);
            pos_ = take;
            dst += take;
            n -= take;
        }
        return true;
    }

private:
    // Reads at least want and at most room bytes into dst; fewer only at the end of the data, an
    // error or the deadline.
    std::size_t fill(char* dst, std::size_t want, std::size_t room) {
        std::size_t got = 0;
        while (got < want) {
            const double left = limit_ - secondsSince(start_);
            if (left <= 0) {
                timedOut_ = true;
                return got;
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left * 1000.0) + 1);
            if (ready < 0 && errno != EINTR)
                return got;
            if (ready <= 0)
                continue;
            const ssize_t r = ::read(fd_, dst + got, room - got);
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (r <= 0)
                return got;
            if (firstByte_ == 0)
                firstByte_ = secondsSince(start_);
            got += static_cast<std::size_t>(r);
        }
        return got;
    }

    int fd_;
    double limit_;
    timespec start_;
    bool timedOut_ = false;
    double firstByte_ = 0;
    std::vector<char> buffer_ = std::vector<char>(256 * 1024);
    std::size_t pos_ = 0, end_ = 0;
};

struct childProcess {
    pid_t pid = -1;
    std::string error; // why it could not be started
};

// fork + exec of the helper with its limits; the child's fd 3 is the result pipe's write end.
// Between fork and exec only async-signal-safe calls: everything the child needs is prepared first.
childProcess startChild(const std::filesystem::path& importer, const std::filesystem::path& file,
                        int resultFd, const isolationOptions& options) {
    childProcess out;
    fileDescriptor devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int errPipe[2];
    if (!devNull || !raiseTo(devNull, 3) || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        out.error = "cannot set up the import helper: " + errnoText(errno);
        return out;
    }
    fileDescriptor errRead(errPipe[0]), errWrite(errPipe[1]);
    if (!raiseTo(errWrite, childResultFd + 2)) {
        out.error = "cannot set up the import helper: " + errnoText(errno);
        return out;
    }

    const std::string fdText = std::to_string(childResultFd);
    const std::string importerText = importer.string();
    const std::string fileText = file.string();
    char* argv[] = {const_cast<char*>(importerText.c_str()), const_cast<char*>("--result-fd"),
                    const_cast<char*>(fdText.c_str()),       const_cast<char*>("--"),
                    const_cast<char*>(fileText.c_str()),     nullptr};
    const rlimit none{0, 0};
    // A backstop should the parent die without killing the child: the deadline in CPU seconds.
    const rlim_t cpuSeconds = static_cast<rlim_t>(options.deadline.count() / 1000 + 2);
    const rlimit cpu{cpuSeconds, cpuSeconds + 1};
    const rlimit addressSpace{options.addressSpaceLimit, options.addressSpaceLimit};
    const bool limitAddressSpace = options.addressSpaceLimit != 0;
    const int nullFd = devNull.get(), reportFd = errWrite.get();
    sigset_t noSignals;
    sigemptyset(&noSignals);

    // A child that dies abnormally would otherwise print the parent's buffered lines again.
    std::cout.flush();
    std::fflush(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        out.error = "cannot start the import helper: " + errnoText(errno);
        return out;
    }
    if (pid == 0) {
        // The child dies with the thread that started it; the check closes the race with a parent
        // that died before the request was made.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::setpgid(0, 0);
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        ::dup2(nullFd, 0);
        ::dup2(nullFd, 1);
        ::dup2(nullFd, 2);
        if (resultFd == childResultFd)
            ::fcntl(childResultFd, F_SETFD, 0);
        else
            ::dup2(resultFd, childResultFd);
        ::dup3(reportFd, childResultFd + 1, O_CLOEXEC);
        ::close_range(childResultFd + 2, ~0U, 0);
        ::setrlimit(RLIMIT_CORE, &none);
        ::setrlimit(RLIMIT_FSIZE, &none); // the importer has no business writing files
        ::setrlimit(RLIMIT_CPU, &cpu);
#ifndef ZEL_IMPORT_NO_ADDRESS_LIMIT
        if (limitAddressSpace)
            ::setrlimit(RLIMIT_AS, &addressSpace);
#else
        (void)limitAddressSpace;
        (void)addressSpace;
#endif
        ::execve(argv[0], argv, environ);
        const int e = errno;
        [[maybe_unused]] const ssize_t w = ::write(childResultFd + 1, &e, sizeof e);
        ::_exit(127);
    }
    ::setpgid(pid, pid); // also here, so that the group exists before any kill
    errWrite.reset();

    // The report pipe closes at exec (success) or carries exec's errno (failure).
    int execErrno = 0;
    ssize_t got;
    do {
        got = ::read(errRead.get(), &execErrno, sizeof execErrno);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof execErrno) {
        childOutcome ignored;
        reap(pid, ignored);
        out.error = "cannot run the import helper " + importerText + ": " + errnoText(execErrno);
        return out;
    }
    out.pid = pid;
    return out;
}

} // namespace

std::filesystem::path locateImporter(std::string* reason) {
    if (const char* env = std::getenv("ZEL_IMPORTER"); env && *env)
        return env;
    Dl_info info{};
    link_map* map = nullptr;
    std::filesystem::path self;
    if (::dladdr1(reinterpret_cast<void*>(&locateImporter), &info, reinterpret_cast<void**>(&map),
                  RTLD_DL_LINKMAP) != 0 &&
        map && map->l_name && map->l_name[0] != '\0') {
        self = map->l_name;
    } else {
        // The code sits in the main executable, whose link-map entry has no name.
        std::error_code ec;
        self = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) {
            setReason(reason, "cannot find the import helper: " + ec.message());
            return {};
        }
    }
    std::filesystem::path helper = self.parent_path() / "zelimport";
    if (::access(helper.c_str(), X_OK) != 0) {
        setReason(reason, "cannot find the import helper " + helper.string() +
                              " (set ZEL_IMPORTER to its path)");
        return {};
    }
    return helper;
}

std::optional<scene> importIsolated(const std::filesystem::path& file,
                                    const isolationOptions& options, std::string* reason,
                                    isolationStats* stats) {
    if (!checkInput(file, reason))
        return std::nullopt;
    const std::filesystem::path importer =
        options.importer.empty() ? locateImporter(reason) : options.importer;
    if (importer.empty())
        return std::nullopt;
    // The helper resolves the file relative to nothing: give it an absolute name, which also keeps
    // a name that starts with '-' from reading as an option.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    if (ec) {
        setReason(reason, ec.message());
        return std::nullopt;
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        setReason(reason, "cannot create the import result pipe: " + errnoText(errno));
        return std::nullopt;
    }
    fileDescriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    if (!raiseTo(writeEnd, 3)) {
        setReason(reason, "cannot create the import result pipe: " + errnoText(errno));
        return std::nullopt;
    }
    // A large pipe lets the child write while the parent copies, with fewer switches between them.
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, 1 << 20);

    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const childProcess child = startChild(importer, absolute, writeEnd.get(), options);
    writeEnd.reset(); // the pipe ends when the child's copy closes
    if (child.pid < 0) {
        setReason(reason, child.error);
        return std::nullopt;
    }

    // The result is read while the child writes it. A complete, well-formed scene is the proof of
    // success, whatever the child does afterwards (and the only one there is when the host ignores
    // SIGCHLD and the exit status is lost).
    const double limit = double(options.deadline.count()) / 1000.0;
    pipeSource source(readEnd.get(), limit, start);
    decodeResult res = decode(source, options.maxResultBytes);
    if (stats) {
        stats->firstByteSeconds = source.firstByteSeconds();
        stats->decodedSeconds = secondsSince(start);
    }
    readEnd.reset(); // a child still writing gets EPIPE and ends
    childOutcome outcome;
    outcome.timedOut = source.timedOut();
    if (res.status == decodeStatus::scene) {
        // Done: with the whole result read the child has nothing left to give.
        ::kill(-child.pid, SIGKILL);
        ::kill(child.pid, SIGKILL);
        reapInBackground(child.pid);
        return std::move(res.value);
    }
    if (outcome.timedOut) {
        ::kill(-child.pid, SIGKILL);
        ::kill(child.pid, SIGKILL);
        reap(child.pid, outcome);
    } else {
        // Let a failing child finish, so that its exit status can tell why.
        waitWithDeadline(child.pid, options.deadline, start, outcome);
    }

    if (outcome.timedOut) {
        setReason(reason,
                  "the import did not finish within " + secondsText(options.deadline) + " s");
        return std::nullopt;
    }
    if (res.status == decodeStatus::failure) {
        setReason(reason, res.reason.empty() ? "the importer failed" : res.reason);
        return std::nullopt;
    }
    // SIGPIPE: the child was still writing when the result was refused and the pipe closed.
    if (outcome.statusKnown && WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) != SIGPIPE) {
        setReason(reason, "the importer died of " + signalName(WTERMSIG(outcome.status)));
        return std::nullopt;
    }
    if (outcome.statusKnown && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) != 0) {
        setReason(reason, "the importer failed (exit status " +
                              std::to_string(WEXITSTATUS(outcome.status)) + ")");
        return std::nullopt;
    }
    setReason(reason, "the import helper returned malformed data (" + res.reason + ")");
    return std::nullopt;
}

} // namespace zel::world::import
