#include <zel/import/helper_process.h>

#include <zel/base/eintr.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(ZEL_SANITIZE) || defined(__SANITIZE_ADDRESS__)
#define ZEL_HELPER_SANITIZED 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace zel::import::process {

bool transferAll(int fd, void* data, std::size_t n, transfer how) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t moved = base::retryOnInterrupt([&]() -> ssize_t {
            switch (how) {
            case transfer::read:
                return ::read(fd, p, n);
            case transfer::write:
                return ::write(fd, p, n);
            case transfer::send:
                return ::send(fd, p, n, MSG_NOSIGNAL);
            case transfer::giftPages: {
                iovec v{p, n};
                return ::vmsplice(fd, &v, 1, 0);
            }
            }
            return -1;
        });
        if (moved <= 0)
            return false;
        p += moved;
        n -= static_cast<std::size_t>(moved);
    }
    return true;
}

bool sendWithDescriptor(int socket, const void* data, std::size_t n, int fd, bool nonBlocking) {
    iovec v{const_cast<void*>(data), n};
    msghdr m{};
    m.msg_iov = &v;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    const int flags = MSG_NOSIGNAL | (nonBlocking ? MSG_DONTWAIT : 0);
    const ssize_t sent = base::retryOnInterrupt([&] { return ::sendmsg(socket, &m, flags); });
    if (sent < 0)
        return false;
    // The descriptor went with the first bytes; the rest, if the socket took only part.
    const auto rest = n - static_cast<std::size_t>(sent);
    return rest == 0 || (!nonBlocking && transferAll(socket, static_cast<char*>(v.iov_base) + sent,
                                                     rest, transfer::send));
}

bool receiveWithDescriptor(int socket, void* data, std::size_t n, base::uniqueFd& fd) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        iovec v{p, n};
        msghdr m{};
        m.msg_iov = &v;
        m.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t got =
            base::retryOnInterrupt([&] { return ::recvmsg(socket, &m, MSG_CMSG_CLOEXEC); });
        if (got <= 0)
            return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
                if (!fd)
                    fd.reset(received);
                else
                    ::close(received);
            }
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::vector<std::string> helperEnvironment() {
    std::vector<std::string> env = {"LC_ALL=C"};
#ifdef ZEL_HELPER_SANITIZED
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
#endif
    return env;
}

namespace {

std::string errnoText(int e) {
    return std::strerror(e);
}

// Moves fd to a number of at least lowest, so that wiring the child's descriptors cannot close it:
// the caller may have closed its own stdin.
bool raiseTo(base::uniqueFd& fd, int lowest) {
    if (fd.get() >= lowest)
        return true;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, lowest);
    if (moved < 0)
        return false;
    fd.reset(moved);
    return true;
}

// What the helper's process needs between its start and exec, prepared by the parent.
struct spawnPlan {
    char** argv;
    char** envp;
    pid_t parent;
    int nullFd, reportFd, resultFd, requestFd;
    int resultTarget, requestTarget, reportTarget;
    rlimit none, cpu, addressSpace, openFiles;
    bool limitAddressSpace;
    bool limitCpu;
};

// Closes every descriptor from `first` on. close_range came with Linux 5.9; before it, the open
// ones as /proc lists them, and without /proc one close a number up to the largest a descriptor
// can have here. Runs in the child before exec: system calls only, on its own stack.
void closeFrom(int first) {
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0)
        return;
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        struct entry {
            std::uint64_t inode;
            std::int64_t offset;
            unsigned short length;
            unsigned char type;
            char name[1];
        };
        alignas(8) char buffer[4096];
        // Closing while listing may skip entries: list again until a pass closes nothing.
        for (bool closed = true; closed;) {
            closed = false;
            ::lseek(dir, 0, SEEK_SET);
            for (long n; (n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0;) {
                for (long at = 0; at < n;) {
                    const auto* e = reinterpret_cast<const entry*>(buffer + at);
                    at += e->length;
                    int fd = 0;
                    const char* c = e->name;
                    for (; *c >= '0' && *c <= '9' && fd < (1 << 24); ++c)
                        fd = fd * 10 + (*c - '0');
                    if (c != e->name && *c == '\0' && fd >= first && fd != dir) {
                        ::close(fd);
                        closed = true;
                    }
                }
            }
        }
        ::close(dir);
        return;
    }
    rlimit files{};
    rlim_t last = 1 << 20; // the kernel's default ceiling (fs.nr_open)
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max != RLIM_INFINITY)
        last = std::min<rlim_t>(files.rlim_max, last);
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd)
        ::close(static_cast<int>(fd));
}

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
    ::dup2(plan.resultFd, plan.resultTarget);
    ::dup2(plan.requestFd, plan.requestTarget);
    ::dup3(plan.reportFd, plan.reportTarget, O_CLOEXEC);
    closeFrom(plan.reportTarget + 1);
    ::setrlimit(RLIMIT_CORE, &plan.none);
    ::setrlimit(RLIMIT_FSIZE, &plan.none); // the importer has no business writing files
    // A limit of 0 would not mean none: the kernel sends SIGXCPU at the first look at the clock.
    if (plan.limitCpu)
        ::setrlimit(RLIMIT_CPU, &plan.cpu);
    ::setrlimit(RLIMIT_NOFILE, &plan.openFiles);
#ifndef ZEL_HELPER_SANITIZED
    if (plan.limitAddressSpace)
        ::setrlimit(RLIMIT_AS, &plan.addressSpace);
#endif
    ::execve(plan.argv[0], plan.argv, plan.envp);
    const int e = errno;
    [[maybe_unused]] const ssize_t w = ::write(plan.reportTarget, &e, sizeof e);
    ::_exit(127);
}

} // namespace

startedHelper startHelper(const std::vector<std::string>& args, int resultFd, int requestFd,
                          const helperLimits& limits) {
    startedHelper out;
    auto setUpFailed = [&] {
        out.error = "cannot set up the import helper: " + errnoText(errno);
        return std::move(out);
    };
    int pipeFds[2], sockFds[2], errPipe[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return setUpFailed();
    out.result.reset(pipeFds[0]);
    base::uniqueFd resultWrite(pipeFds[1]);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockFds) != 0)
        return setUpFailed();
    out.request.reset(sockFds[0]);
    base::uniqueFd requestRead(sockFds[1]);
    base::uniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull || ::pipe2(errPipe, O_CLOEXEC) != 0)
        return setUpFailed();
    base::uniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
    // Exec's report goes just above the helper's own descriptors, and everything the child wires
    // comes from above that.
    const int reportTarget = std::max({resultFd, requestFd, 2}) + 1;
    if (!raiseTo(resultWrite, reportTarget + 1) || !raiseTo(requestRead, reportTarget + 1) ||
        !raiseTo(devNull, reportTarget + 1) || !raiseTo(errWrite, reportTarget + 1))
        return setUpFailed();
    // A large pipe lets the child write while the parent copies, with fewer switches between them.
    ::fcntl(out.result.get(), F_SETPIPE_SZ, 1 << 20);

    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = helperEnvironment();
    std::vector<char*> envp;
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const auto cpu = static_cast<rlim_t>(limits.cpuSeconds);
    const auto files = static_cast<rlim_t>(limits.openFiles);
    spawnPlan plan{argv.data(),
                   envp.data(),
                   ::getpid(),
                   devNull.get(),
                   errWrite.get(),
                   resultWrite.get(),
                   requestRead.get(),
                   resultFd,
                   requestFd,
                   reportTarget,
                   rlimit{0, 0},
                   rlimit{cpu, cpu + 1},
                   rlimit{limits.addressSpace, limits.addressSpace},
                   rlimit{files, files},
                   limits.addressSpace != 0,
                   limits.cpuSeconds != 0};

    // A child that dies abnormally would otherwise print the parent's buffered lines again.
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
#if defined(__SANITIZE_ADDRESS__)
    // The child ran on this stack in our memory, and AddressSanitizer marked its scopes there; the
    // marks would outlive the mapping and fault whatever is mapped at this address next.
    __asan_unpoison_memory_region(stack, stackSize);
#endif
    ::munmap(stack, stackSize);
    if (pid < 0) {
        out.error = "cannot start the import helper: " + errnoText(cloneErrno);
        return out;
    }
    ::setpgid(pid, pid); // also here, so that the group exists before any kill
    errWrite.reset();

    // The report pipe closed at exec (success) or carries exec's errno (failure).
    int execErrno = 0;
    if (readAll(errRead.get(), &execErrno, sizeof execErrno)) {
        exitStatus ignored;
        reap(pid, ignored);
        out.error = "cannot run the import helper " + args.front() + ": " + errnoText(execErrno);
        return out;
    }
    out.pid = pid;
    return out;
}

void kill(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

bool reap(pid_t pid, exitStatus& out) {
    const pid_t r = base::retryOnInterrupt([&] { return ::waitpid(pid, &out.status, 0); });
    if (r != pid)
        return false;
    out.known = true;
    return true;
}

void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            exitStatus ignored;
            reap(pid, ignored);
        }).detach();
    } catch (const std::system_error&) {
        exitStatus ignored;
        reap(pid, ignored);
    }
}

namespace {

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

void waitForExit(pid_t pid, exitWait& w, exitStatus& out) {
    base::uniqueFd pidfd(openPidfd(pid));
    if (!pidfd || w.wait(pidfd.get()) < 0) {
        // No pidfd (old kernel or a filtered system call): poll the child's state.
        long sleepNs = 200'000;
        for (;;) {
            int status = 0;
            const pid_t r =
                base::retryOnInterrupt([&] { return ::waitpid(pid, &status, WNOHANG); });
            if (r == pid) {
                out.known = true;
                out.status = status;
                return;
            }
            if (r < 0)
                return; // not ours to reap
            if (w.over())
                break;
            timespec ts{0, sleepNs};
            ::nanosleep(&ts, nullptr);
            sleepNs = std::min(sleepNs * 2, 10'000'000L);
        }
    }
    if (w.over())
        kill(pid);
    reap(pid, out);
}

} // namespace zel::import::process
