#include <zel/import/isolated_import.h>

#include <zel/import/import_protocol.h>
#include <zel/import/import_sandbox.h>
#include <zel/import/scene_codec.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
bool checkInput(const std::filesystem::path& file, std::uint64_t& size, std::string* reason) {
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
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// Where the waits of one import stand: its start and deadline, the caller's progress callback and
// whether it asked to stop. Every wait goes through wait(), which wakes at least every tick to
// report progress.
class importClock {
public:
    importClock(double limit, const importProgress& progress, double expectedSeconds)
        : limit_(limit), progress_(progress), expected_(expectedSeconds) {
        ::clock_gettime(CLOCK_MONOTONIC, &start_);
    }
    const timespec& start() const { return start_; }
    double elapsed() const { return secondsSince(start_); }
    bool timedOut() const { return timedOut_; }
    bool cancelled() const { return cancelled_; }
    bool stopped() const { return timedOut_ || cancelled_; }

    // What the child said (per mille on the protocol's scale).
    void reported(std::uint32_t perMille) {
        reported_ = std::max(reported_, std::min(perMille, 1000u) / 1000.0);
    }
    // Polls fd for input until it is ready (1), the deadline passes or the caller cancels (0), or
    // poll fails (-1).
    int wait(int fd) {
        for (;;) {
            tick(false);
            if (stopped())
                return 0;
            const double left = limit_ - elapsed();
            if (left <= 0) {
                timedOut_ = true;
                return 0;
            }
            pollfd p{fd, POLLIN, 0};
            const int timeout = static_cast<int>(std::min(left, tickSeconds) * 1000.0) + 1;
            const int r = ::poll(&p, 1, timeout);
            if (r > 0)
                return 1;
            if (r < 0 && errno != EINTR)
                return -1;
        }
    }
    // Tells the caller how far the import is, at most once a tick unless forced. Between the
    // child's reports, the time spent against the time such a file takes keeps the figure moving
    // (never past what reading alone would reach).
    void tick(bool force) {
        if (!progress_ || cancelled_)
            return;
        const double now = elapsed();
        if (!force && now - lastTick_ < tickSeconds)
            return;
        lastTick_ = now;
        const double readShare = protocol::readEnd / 1000.0;
        const double estimate = readShare * 0.95 * (1.0 - std::exp(-now / expected_));
        if (!progress_(std::max(reported_, std::min(estimate, readShare))))
            cancelled_ = true;
    }

private:
    static constexpr double tickSeconds = 0.05;
    timespec start_{};
    double limit_;
    const importProgress& progress_;
    double expected_;
    double reported_ = 0;
    double lastTick_ = -1;
    bool timedOut_ = false;
    bool cancelled_ = false;
};

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

// Waits on a pidfd until the child exits, the deadline passes or the caller cancels; false when
// poll cannot be used.
bool waitPidfd(pid_t pid, importClock& clock) {
    fileDescriptor pidfd(openPidfd(pid));
    if (!pidfd)
        return false;
    return clock.wait(pidfd.get()) >= 0;
}

void killChild(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

// Waits for the child's exit until the deadline; kills its process group when the deadline passes
// or the caller cancels.
void waitWithDeadline(pid_t pid, importClock& clock, childOutcome& out) {
    if (!waitPidfd(pid, clock)) {
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
            clock.tick(false);
            if (clock.stopped())
                break;
            timespec ts{0, sleepNs};
            ::nanosleep(&ts, nullptr);
            sleepNs = std::min(sleepNs * 2, 10'000'000L);
        }
    }
    if (clock.stopped())
        killChild(pid);
    reap(pid, out);
}

// The result pipe's read end, drained in large reads: small pieces come from a buffer, large
// arrays straight into their destination. The child's progress records, which come before the
// encoding, are taken out on the way; during the encoding the share of its announced size that
// has arrived is the progress. Every wait respects the deadline and the caller's cancel.
class pipeSource final : public byteSource {
public:
    pipeSource(int fd, importClock& clock) : fd_(fd), clock_(clock) {}

    double firstByteSeconds() const { return firstByte_; }

    bool read(void* out, std::size_t n) override {
        if (!started_ && !skipProgress())
            return false;
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
    // Takes the progress records before the encoding, leaving the encoding's first bytes in the
    // buffer. The size its header announces (only a figure for the progress: the decoder checks
    // it) is where the hand-over's progress is measured against.
    bool skipProgress() {
        started_ = true;
        for (;;) {
            if (!buffered(protocol::progressRecordSize))
                return false;
            const char* p = buffer_.data() + pos_;
            if (std::memcmp(p, protocol::progressMagic, 4) != 0)
                break;
            std::uint32_t perMille = 0;
            std::memcpy(&perMille, p + 4, 4);
            clock_.reported(perMille);
            clock_.tick(true);
            pos_ += protocol::progressRecordSize;
        }
        if (buffered(24))
            std::memcpy(&announced_, buffer_.data() + pos_ + 16, 8);
        encodingStart_ = received_ - (end_ - pos_);
        return true;
    }

    // At least n bytes in the buffer from pos_; false when the data ends first.
    bool buffered(std::size_t n) {
        if (end_ - pos_ >= n)
            return true;
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        end_ += fill(buffer_.data() + end_, n - end_, buffer_.size() - end_);
        return end_ >= n;
    }

    // Reads at least want and at most room bytes into dst; fewer only at the end of the data, an
    // error, the deadline or a cancel.
    std::size_t fill(char* dst, std::size_t want, std::size_t room) {
        std::size_t got = 0;
        while (got < want) {
            const int ready = clock_.wait(fd_);
            if (ready <= 0)
                return got;
            const ssize_t r = ::read(fd_, dst + got, room - got);
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (r <= 0)
                return got;
            if (firstByte_ == 0)
                firstByte_ = clock_.elapsed();
            got += static_cast<std::size_t>(r);
            received_ += static_cast<std::uint64_t>(r);
            if (announced_ > 0) {
                const double share = double(received_ - encodingStart_) /
                                     double(std::max<std::uint64_t>(announced_, 1));
                clock_.reported(protocol::convertEnd +
                                static_cast<std::uint32_t>(std::min(share, 1.0) *
                                                           (1000 - protocol::convertEnd)));
            }
        }
        return got;
    }

    int fd_;
    importClock& clock_;
    double firstByte_ = 0;
    bool started_ = false;
    std::uint64_t received_ = 0, encodingStart_ = 0, announced_ = 0;
    std::vector<char> buffer_ = std::vector<char>(256 * 1024);
    std::size_t pos_ = 0, end_ = 0;
};

// A helper started and waiting for its request.
struct childProcess {
    pid_t pid = -1;
    fileDescriptor result;  // the result pipe's read end
    fileDescriptor request; // the request socket's parent end
    std::filesystem::path importer;
    std::uint64_t addressSpaceLimit = 0;
    std::string error; // why it could not be started
};

// What the helper's process needs between its start and exec, prepared by the parent.
struct spawnPlan {
    char** argv;
    pid_t parent;
    int nullFd, reportFd, resultFd, requestFd;
    rlimit none, cpu, addressSpace;
    bool limitAddressSpace;
};

// The new process until exec. It shares the parent's memory (the parent waits meanwhile), so it
// only makes system calls on what the plan holds, and no handler of the parent's may run in it.
int childMain(void* arg) {
    const spawnPlan& plan = *static_cast<const spawnPlan*>(arg);
    // The child dies with the thread that started it; the check closes the race with a parent
    // that died before the request was made.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != plan.parent)
        ::_exit(127);
    ::setpgid(0, 0);
    // Every signal the parent handles goes back to its default before any may arrive.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
            action.sa_handler != SIG_IGN) {
            action = {};
            action.sa_handler = SIG_DFL;
            ::sigaction(sig, &action, nullptr);
        }
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    ::dup2(plan.nullFd, 0);
    ::dup2(plan.nullFd, 1);
    ::dup2(plan.nullFd, 2);
    ::dup2(plan.resultFd, protocol::resultFd);
    ::dup2(plan.requestFd, protocol::requestFd);
    ::dup3(plan.reportFd, 5, O_CLOEXEC);
    ::close_range(6, ~0U, 0);
    ::setrlimit(RLIMIT_CORE, &plan.none);
    ::setrlimit(RLIMIT_FSIZE, &plan.none); // the importer has no business writing files
    ::setrlimit(RLIMIT_CPU, &plan.cpu);
#ifndef ZEL_IMPORT_NO_ADDRESS_LIMIT
    if (plan.limitAddressSpace)
        ::setrlimit(RLIMIT_AS, &plan.addressSpace);
#endif
    ::execve(plan.argv[0], plan.argv, environ);
    const int e = errno;
    [[maybe_unused]] const ssize_t w = ::write(5, &e, sizeof e);
    ::_exit(127);
}

// Starts the helper with its limits: fd 3 the result pipe's write end, fd 4 the request socket.
// The new process shares the parent's memory until it execs (as posix_spawn does), so the start
// costs the same whatever the size of the host, which by then may hold a large model.
std::unique_ptr<childProcess> startChild(const std::filesystem::path& importer,
                                         const isolationOptions& options) {
    auto out = std::make_unique<childProcess>();
    out->importer = importer;
    out->addressSpaceLimit = options.addressSpaceLimit;
    auto setUpFailed = [&] {
        out->error = "cannot set up the import helper: " + errnoText(errno);
        return std::move(out);
    };
    int pipeFds[2], sockFds[2], errPipe[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return setUpFailed();
    out->result.reset(pipeFds[0]);
    fileDescriptor resultWrite(pipeFds[1]);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockFds) != 0)
        return setUpFailed();
    out->request.reset(sockFds[0]);
    fileDescriptor requestRead(sockFds[1]);
    fileDescriptor devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull || ::pipe2(errPipe, O_CLOEXEC) != 0)
        return setUpFailed();
    fileDescriptor errRead(errPipe[0]), errWrite(errPipe[1]);
    // Out of the way of the numbers the child's descriptors get (0 to 5): the host may have closed
    // its own stdin.
    if (!raiseTo(resultWrite, 6) || !raiseTo(requestRead, 6) || !raiseTo(devNull, 6) ||
        !raiseTo(errWrite, 6))
        return setUpFailed();
    // A large pipe lets the child write while the parent copies, with fewer switches between them.
    ::fcntl(out->result.get(), F_SETPIPE_SZ, 1 << 20);

    const std::string importerText = importer.string();
    char* argv[] = {const_cast<char*>(importerText.c_str()), const_cast<char*>("--serve"),
                    const_cast<char*>("3"), const_cast<char*>("4"), nullptr};
    // A backstop until the request sets the file's own: the longest deadline in CPU seconds.
    const auto cpuSeconds = static_cast<rlim_t>(options.maxDeadline.count() / 1000 + 2);
    spawnPlan plan{argv,
                   ::getpid(),
                   devNull.get(),
                   errWrite.get(),
                   resultWrite.get(),
                   requestRead.get(),
                   rlimit{0, 0},
                   rlimit{cpuSeconds, cpuSeconds + 1},
                   rlimit{options.addressSpaceLimit, options.addressSpaceLimit},
                   options.addressSpaceLimit != 0};

    // A child that dies abnormally would otherwise print the parent's buffered lines again.
    std::cout.flush();
    std::fflush(nullptr);

    // The child's own stack; the parent sleeps until the exec, with every signal held back.
    constexpr std::size_t stackSize = 256 * 1024;
    void* stack = ::mmap(nullptr, stackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED)
        return setUpFailed();
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::clone(childMain, static_cast<char*>(stack) + stackSize,
                              CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    const int cloneErrno = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::munmap(stack, stackSize);
    if (pid < 0) {
        out->error = "cannot start the import helper: " + errnoText(cloneErrno);
        return out;
    }
    ::setpgid(pid, pid); // also here, so that the group exists before any kill
    errWrite.reset();

    // The report pipe closed at exec (success) or carries exec's errno (failure).
    int execErrno = 0;
    ssize_t got;
    do {
        got = ::read(errRead.get(), &execErrno, sizeof execErrno);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof execErrno) {
        childOutcome ignored;
        reap(pid, ignored);
        out->error = "cannot run the import helper " + importerText + ": " + errnoText(execErrno);
        return out;
    }
    out->pid = pid;
    return out;
}

// Ends a helper that never got (or no longer needs) its request.
void dismiss(std::unique_ptr<childProcess> child) {
    if (!child || child->pid < 0)
        return;
    killChild(child->pid);
    reapInBackground(child->pid);
}

// The helper started ahead, for the next import whose options match it.
std::mutex readyMutex;
std::unique_ptr<childProcess>& readyChild() {
    static std::unique_ptr<childProcess> ready;
    return ready;
}

std::unique_ptr<childProcess> takeReady(const std::filesystem::path& importer,
                                        const isolationOptions& options) {
    std::lock_guard lock(readyMutex);
    std::unique_ptr<childProcess>& ready = readyChild();
    if (!ready)
        return nullptr;
    if (ready->importer != importer || ready->addressSpaceLimit != options.addressSpaceLimit) {
        dismiss(std::move(ready));
        return nullptr;
    }
    return std::move(ready);
}

bool sendAll(int fd, const std::vector<char>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t w = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        at += static_cast<std::size_t>(w);
    }
    return true;
}

std::filesystem::path importerFor(const isolationOptions& options, std::string* reason) {
    return options.importer.empty() ? locateImporter(reason) : options.importer;
}

// Landlock is the kernel's; without it the file system stays open to the helper. Said once.
void noteMissingLandlock(const isolationOptions& options) {
    static std::once_flag once;
    if (!options.sandbox)
        return;
    std::call_once(once, [] {
        if (landlockAbi() == 0)
            std::cerr << "zel: this kernel has no Landlock: model imports run with the system call "
                         "filter only, the file system is not restricted\n";
    });
}

} // namespace

std::chrono::milliseconds deadlineFor(std::uint64_t bytes, const isolationOptions& options) {
    if (options.deadline.count() > 0)
        return options.deadline;
    const double mib = double(bytes) / double(std::uint64_t{1} << 20);
    const auto total = double(options.baseDeadline.count()) +
                       static_cast<double>(options.deadlinePerMiB.count()) * mib;
    // To the nearest tenth of a second, which is how the reason for a timeout names it.
    const double capped = std::min(total, static_cast<double>(options.maxDeadline.count()));
    return std::chrono::milliseconds(static_cast<long long>(std::round(capped / 100.0)) * 100);
}

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

void prepareImporter(const isolationOptions& options) {
    if (!options.keepOneReady)
        return;
    noteMissingLandlock(options);
    const std::filesystem::path importer = importerFor(options, nullptr);
    if (importer.empty())
        return;
    std::lock_guard lock(readyMutex);
    std::unique_ptr<childProcess>& ready = readyChild();
    if (ready && ready->importer == importer &&
        ready->addressSpaceLimit == options.addressSpaceLimit)
        return;
    dismiss(std::move(ready));
    std::unique_ptr<childProcess> started = startChild(importer, options);
    if (started->pid >= 0)
        ready = std::move(started);
}

void dismissReadyImporter() {
    std::lock_guard lock(readyMutex);
    dismiss(std::move(readyChild()));
}

std::optional<scene> importIsolated(const std::filesystem::path& file,
                                    const isolationOptions& options, std::string* reason,
                                    isolationStats* stats, const importProgress& progress) {
    std::uint64_t size = 0;
    if (!checkInput(file, size, reason))
        return std::nullopt;
    const std::filesystem::path importer = importerFor(options, reason);
    if (importer.empty())
        return std::nullopt;
    // The helper resolves the file relative to nothing: give it an absolute name.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    if (ec) {
        setReason(reason, ec.message());
        return std::nullopt;
    }
    noteMissingLandlock(options);

    const std::chrono::milliseconds deadline = deadlineFor(size, options);
    // What such a file takes here (about 35 ms a MiB for 3DS), for the progress between reports.
    const double expected = 0.05 + 0.04 * double(size) / double(1 << 20);
    importClock clock(double(deadline.count()) / 1000.0, progress, expected);
    clock.tick(true);

    protocol::request request;
    request.flags = options.sandbox ? 0 : protocol::flagNoSandbox;
    request.deadlineMs = static_cast<std::uint64_t>(deadline.count());
    request.file = absolute.string();
    request.readable.push_back(absolute.parent_path().string());
    for (const std::filesystem::path& folder : options.readableFolders) {
        const std::filesystem::path full = std::filesystem::absolute(folder, ec);
        if (!ec)
            request.readable.push_back(full.string());
    }
    const std::vector<char> requestBytes = protocol::encodeRequest(request);

    // A helper started ahead takes the file; one that died meanwhile is replaced by a fresh one.
    std::unique_ptr<childProcess> child = takeReady(importer, options);
    if (stats)
        stats->readyChild = child != nullptr;
    if (child && !sendAll(child->request.get(), requestBytes)) {
        dismiss(std::move(child));
        if (stats)
            stats->readyChild = false;
    }
    if (!child) {
        child = startChild(importer, options);
        if (child->pid < 0) {
            setReason(reason, child->error);
            return std::nullopt;
        }
        if (stats)
            stats->startSeconds = clock.elapsed();
        // A helper that ends before it takes the request says why through its result and its
        // exit status, read below like any other.
        sendAll(child->request.get(), requestBytes);
    }
    child->request.reset(); // the helper reads one request
    // The next file's helper starts while this one imports: the caller only waits meanwhile, and
    // the start (libraries loaded, then waiting) overlaps the import on the other core.
    if (options.keepOneReady)
        prepareImporter(options);

    // The result is read while the child writes it. A complete, well-formed scene is the proof of
    // success, whatever the child does afterwards (and the only one there is when the host ignores
    // SIGCHLD and the exit status is lost).
    pipeSource source(child->result.get(), clock);
    decodeLimits limits;
    limits.deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(double(deadline.count()) / 1000.0 - clock.elapsed()));
    decodeResult res = decode(source, options.maxResultBytes, limits);
    if (stats) {
        stats->firstByteSeconds = source.firstByteSeconds();
        stats->decodedSeconds = clock.elapsed();
    }
    child->result.reset(); // a child still writing gets EPIPE and ends
    const pid_t pid = child->pid;
    // Should the helper started above have gone, its successor starts now.
    auto startNext = [&] {
        if (options.keepOneReady && !clock.cancelled())
            prepareImporter(options);
    };
    childOutcome outcome;
    if (res.status == decodeStatus::scene) {
        // Done: with the whole result read the child has nothing left to give.
        killChild(pid);
        reapInBackground(pid);
        clock.tick(true);
        startNext();
        return std::move(res.value);
    }
    if (clock.stopped()) {
        killChild(pid);
        reap(pid, outcome);
    } else {
        // Let a failing child finish, so that its exit status can tell why.
        waitWithDeadline(pid, clock, outcome);
    }
    startNext();

    if (clock.cancelled()) {
        setReason(reason, "cancelled");
        return std::nullopt;
    }
    if (clock.timedOut() || clock.elapsed() >= double(deadline.count()) / 1000.0) {
        setReason(reason, "the import did not finish within " + secondsText(deadline) + " s");
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
