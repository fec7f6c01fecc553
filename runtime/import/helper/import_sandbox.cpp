#include "import_sandbox.h"

#include <zel/import/helper_process.h>
#include <zel/import/isolated_import.h>

#include <seccomp.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(ZEL_SANITIZE) || defined(__SANITIZE_ADDRESS__)
#define ZEL_SANDBOX_SANITIZED 1
#endif

namespace zel::import {

namespace {

// Landlock's access rights and attributes beyond what the installed kernel headers may declare.
constexpr std::uint64_t fsAbi1 = (1ull << 13) - 1;     // execute .. make_sym
constexpr std::uint64_t fsRefer = 1ull << 13;          // ABI 2
constexpr std::uint64_t fsTruncate = 1ull << 14;       // ABI 3
constexpr std::uint64_t fsIoctlDev = 1ull << 15;       // ABI 5
constexpr std::uint64_t netBindTcp = 1ull << 0;        // ABI 4
constexpr std::uint64_t netConnectTcp = 1ull << 1;     // ABI 4
constexpr std::uint64_t scopeAbstractUnix = 1ull << 0; // ABI 6
constexpr std::uint64_t scopeSignal = 1ull << 1;       // ABI 6

struct rulesetAttr {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

long landlockCreateRuleset(const rulesetAttr* attr, std::size_t size, unsigned flags) {
#ifdef SYS_landlock_create_ruleset
    return ::syscall(SYS_landlock_create_ruleset, attr, size, flags);
#else
    (void)attr;
    (void)size;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

long landlockRestrictSelf(int ruleset) {
#ifdef SYS_landlock_restrict_self
    return ::syscall(SYS_landlock_restrict_self, ruleset, 0);
#else
    (void)ruleset;
    errno = ENOSYS;
    return -1;
#endif
}

std::string failed(const char* what, int e) {
    return std::string(what) + ": " + std::strerror(e);
}

// No file may be opened through the file system at all; TCP and signals out of reach as far as the
// ABI allows. The helper's files come from the host's broker as open descriptors, which Landlock
// does not check.
bool applyLandlock(int abi, std::string& error) {
    rulesetAttr attr;
    attr.handledAccessFs = fsAbi1;
    if (abi >= 2)
        attr.handledAccessFs |= fsRefer;
    if (abi >= 3)
        attr.handledAccessFs |= fsTruncate;
    if (abi >= 5)
        attr.handledAccessFs |= fsIoctlDev;
    std::size_t size = sizeof attr.handledAccessFs;
    if (abi >= 4) {
        attr.handledAccessNet = netBindTcp | netConnectTcp;
        size = offsetof(rulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = scopeAbstractUnix | scopeSignal;
        size = sizeof attr;
    }
    const int ruleset = static_cast<int>(landlockCreateRuleset(&attr, size, 0));
    if (ruleset < 0) {
        error = failed("landlock_create_ruleset", errno);
        return false;
    }
    const long r = landlockRestrictSelf(ruleset);
    const int e = errno;
    ::close(ruleset);
    if (r != 0) {
        error = failed("landlock_restrict_self", e);
        return false;
    }
    return true;
}

// Unconditional entries of the allow-list.
const std::vector<const char*> plainAllowed = {
    // reading and writing descriptors already open (the files the broker gave, the result pipe)
    "read", "pread64", "readv", "preadv", "write", "writev", "lseek", "close", "vmsplice",
    // the broker's channel: questions out, answers and descriptors in
    "sendmsg", "recvmsg",
#ifdef ZEL_SANDBOX_SANITIZED
    // anonymous pipes within the process (the sanitizers probe memory through one)
    "pipe", "pipe2",
#endif
    // looking at descriptors held
    "fstat",
    // memory
    "brk", "munmap", "mremap", "madvise",
    // threads, time, signals to itself, leaving
    "futex", "set_robust_list", "rseq", "set_tid_address", "sched_yield", "sched_getaffinity",
    "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday", "getpid",
    "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getrandom", "sysinfo", "uname",
    "getrusage", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "restart_syscall",
    "poll", "ppoll", "exit", "exit_group"};

// Conditional entries, for the list.
const std::vector<const char*> conditionalAllowed = {
    "newfstatat (a descriptor: AT_EMPTY_PATH)",
    "statx (a descriptor: AT_EMPTY_PATH)",
#ifdef ZEL_SANDBOX_SANITIZED
    "open (read-only, not O_PATH; sanitizer builds only)",
    "openat (read-only, not O_PATH; sanitizer builds only)",
#endif
    "fcntl (F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC, F_SETFL without O_ASYNC)",
    "mmap (not executable)",
    "mprotect (not executable)",
    "clone (threads only, until closeThreadStarts)",
    "kill (itself)",
    "tgkill (itself)",
    "tkill (itself)",
    "prlimit64 (reading its own)",
    "seccomp (adding a filter, until closeThreadStarts)"};

// A seccomp filter under construction; the first failure is kept.
class filter {
public:
    explicit filter(std::uint32_t defaultAction) : ctx_(::seccomp_init(defaultAction)) {
        if (!ctx_)
            rc_ = -ENOMEM;
    }
    filter(const filter&) = delete;
    filter& operator=(const filter&) = delete;
    ~filter() {
        if (ctx_)
            ::seccomp_release(ctx_);
    }
    void attribute(scmp_filter_attr attr, std::uint32_t value) {
        if (rc_ == 0)
            rc_ = ::seccomp_attr_set(ctx_, attr, value);
    }
    void rule(std::uint32_t action, const char* name, std::initializer_list<scmp_arg_cmp> args) {
        const int nr = ::seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR || rc_ != 0)
            return; // not on this architecture
        rc_ = ::seccomp_rule_add_array(ctx_, action, nr, static_cast<unsigned>(args.size()),
                                       args.size() ? args.begin() : nullptr);
    }
    void allow(const char* name, std::initializer_list<scmp_arg_cmp> args = {}) {
        rule(SCMP_ACT_ALLOW, name, args);
    }
    bool load(std::string& error) {
        if (rc_ == 0)
            rc_ = ::seccomp_load(ctx_);
        if (rc_ != 0)
            error = failed("seccomp", -rc_);
        return rc_ == 0;
    }

private:
    scmp_filter_ctx ctx_;
    int rc_ = 0;
};

bool applySeccomp(std::string& error) {
    // Unknown system calls fail as "not permitted"; the importer sees an ordinary error.
    filter f(SCMP_ACT_ERRNO(EPERM));
    // Another architecture's system calls (a 32-bit call from a 64-bit process) are not
    // filtered by these rules: the whole process dies. Every thread gets the filter.
    f.attribute(SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    f.attribute(SCMP_FLTATR_CTL_TSYNC, 1);
    for (const char* name : plainAllowed)
        f.allow(name);

    // The helper opens nothing by name: its files come from the broker. Looking at a file is for
    // descriptors only (the C library's fstat is newfstatat(fd, "", AT_EMPTY_PATH)); what a name
    // with that flag could still reach, the empty root of the namespace hides.
    f.allow("newfstatat", {SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)});
    f.allow("statx", {SCMP_A2(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH)});
#ifdef ZEL_SANDBOX_SANITIZED
    // The sanitizers read their own files of /proc when they report: read-only, never a bare path.
    const scmp_datum_t writeBits = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | O_PATH;
    f.allow("open", {SCMP_A1(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY)});
    f.allow("openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY)});
#endif
    // Descriptor flags and duplicates; nothing that names an owner for signals (F_SETOWN,
    // F_SETSIG, O_ASYNC), leases, notifications, pipe sizes or locks.
    for (const int cmd : {F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC})
        f.allow("fcntl", {SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(cmd))});
    f.allow("fcntl", {SCMP_A1(SCMP_CMP_EQ, F_SETFL), SCMP_A2(SCMP_CMP_MASKED_EQ, O_ASYNC, 0)});
    // No executable memory: the code is loaded before the sandbox.
    f.allow("mmap", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
    f.allow("mprotect", {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
    // New threads may start; a clone without CLONE_THREAD would be a new process.
    f.allow("clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    // abort() signals itself.
    const auto self = static_cast<scmp_datum_t>(::getpid());
    f.allow("kill", {SCMP_A0(SCMP_CMP_EQ, self)});
    f.allow("tgkill", {SCMP_A0(SCMP_CMP_EQ, self)});
    f.allow("tkill", {SCMP_A0(SCMP_CMP_EQ, self)}); // a thread id: the main thread's is the pid
    // Reading its own limits, never changing them, never another process's.
    f.allow("prlimit64", {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
    f.allow("prlimit64", {SCMP_A0(SCMP_CMP_EQ, self), SCMP_A2(SCMP_CMP_EQ, 0)});
    // Further filters only narrow what is allowed (closeThreadStarts); none that hands its
    // decisions to a listener or lowers a mitigation.
    f.allow("seccomp",
            {SCMP_A0(SCMP_CMP_EQ, SECCOMP_SET_MODE_FILTER),
             SCMP_A1(SCMP_CMP_MASKED_EQ,
                     SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_SPEC_ALLOW, 0)});
    // clone3 passes its flags in memory, out of the filter's sight: "not implemented" makes the C
    // library fall back to clone, which the filter can see.
    f.rule(SCMP_ACT_ERRNO(ENOSYS), "clone3", {});
    return f.load(error);
}

// The number of the calling process's threads; 0 when it cannot be told.
int threadCount() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return 0;
    int n = 0;
    while (const dirent* e = ::readdir(tasks))
        n += e->d_name[0] != '.';
    ::closedir(tasks);
    return n;
}

// Drops every capability: from the bounding set (which needs CAP_SETPCAP: a process without it
// has nothing there to lose that no_new_privs has not taken), the ambient set, then the effective,
// permitted and inheritable ones.
bool dropCapabilities(std::string& error) {
    for (unsigned long cap = 0; cap < 64; ++cap)
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL)
            break;
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        error = failed("capset", errno);
        return false;
    }
    return true;
}

bool writeFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// Hides the file system with a user and mount namespace: the new root is a small empty tmpfs,
// read-only, and nothing else.
bool confineByNamespace(std::string& error) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        error = failed("unshare", errno);
        return false;
    }
    auto fail = [&](const char* what) {
        error = failed(what, errno);
        return false;
    };
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return fail("user namespace map");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("private mounts");
    // The new root, on a folder every system has.
    const char* root = "/tmp";
    if (::mount("tmpfs", root, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555,size=4k") != 0)
        return fail("new root");
    if (::mount(nullptr, root, nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                nullptr) != 0)
        return fail("read-only root");
    // chroot rather than pivot_root: unmounting the old root waits for the kernel's grace period,
    // milliseconds on a busy machine. The old mounts stay in the namespace, out of reach: the
    // helper holds no folder's descriptor, has no /proc, and the filter allows neither chroot nor
    // fchdir nor an open by name.
    if (::chdir(root) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0)
        return fail("chroot");
    return true;
}

} // namespace

bool enterImportSandbox(const sandboxPlan& plan, sandboxOutcome& outcome) {
    // Landlock and the namespace confine the calling thread only.
    if (const int threads = threadCount(); threads > 1) {
        outcome.error = "the process has " + std::to_string(threads) +
                        " threads, the sandbox "
                        "needs it to have one";
        return false;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        outcome.error = failed("no_new_privs", errno);
        return false;
    }
    // The empty root first (a process under Landlock may not mount), then Landlock on top: each
    // covers what the other may lack (names that Landlock lets stat and readlink see; a kernel
    // without user namespaces).
    std::string why = "switched off";
    if (plan.mountNamespace && confineByNamespace(why))
        outcome.mountNamespace = true;
    int abi = landlockAbi();
    if (plan.landlockAbiLimit >= 0)
        abi = std::min(abi, plan.landlockAbiLimit);
    if (abi > 0) {
        if (!applyLandlock(abi, outcome.error))
            return false;
        outcome.landlockAbi = abi;
    }
    outcome.files = abi > 0 && outcome.mountNamespace ? fileConfinement::landlockAndNamespace
                    : abi > 0                         ? fileConfinement::landlock
                    : outcome.mountNamespace          ? fileConfinement::mountNamespace
                                                      : fileConfinement::none;
    if (outcome.files == fileConfinement::none && !plan.allowUnconfined) {
        outcome.error = "the file system cannot be confined: this kernel has no Landlock, "
                        "and no user and mount namespace (" +
                        why + "); set " + unconfinedSwitch +
                        "=1 to import with the system call filter alone (the helper can then "
                        "read every file of the user)";
        return false;
    }
    return dropCapabilities(outcome.error) && applySeccomp(outcome.error);
}

bool closeThreadStarts(std::string& error) {
    filter f(SCMP_ACT_ALLOW);
    // The filter above holds no_new_privs already; asking for it again would be refused.
    f.attribute(SCMP_FLTATR_CTL_NNP, 0);
    f.attribute(SCMP_FLTATR_CTL_TSYNC, 1);
    f.rule(SCMP_ACT_ERRNO(EPERM), "clone", {});
    // This is the last filter: one more could only log (one audit record a call, until the
    // deadline) or trap, never allow more.
    f.rule(SCMP_ACT_ERRNO(EPERM), "seccomp", {});
    return f.load(error);
}

sandboxPlan planFor(const protocol::request& request) {
    sandboxPlan plan;
    const std::uint32_t limit = (request.flags >> protocol::landlockLimitShift) & 0xff;
    plan.landlockAbiLimit = static_cast<int>(limit) - 1;
    plan.mountNamespace = !(request.flags & protocol::flagNoMountNamespace);
    plan.allowUnconfined = request.flags & protocol::flagAllowUnconfined;
    return plan;
}

std::optional<protocol::request> readRequest(int fd) {
    char magic[8];
    std::uint32_t length = 0;
    if (!process::readAll(fd, magic, sizeof magic) ||
        std::memcmp(magic, protocol::requestMagic, sizeof magic) != 0 ||
        !process::readAll(fd, &length, sizeof length) || length > protocol::maxRequestBytes)
        return std::nullopt;
    std::vector<char> body(length);
    if (!process::readAll(fd, body.data(), body.size()))
        return std::nullopt;
    return protocol::decodeRequest(body);
}

bool enterHelperSandbox(const protocol::request& request, sandboxOutcome& outcome,
                        const std::function<void()>& whileThreadsMayStart) {
    // A backstop should the parent die without killing the child: the deadline in CPU seconds.
    const auto cpuSeconds = static_cast<rlim_t>(request.deadlineMs / 1000 + 2);
    const rlimit cpu{cpuSeconds, cpuSeconds + 1};
    ::setrlimit(RLIMIT_CPU, &cpu);
    const bool sandboxed = !(request.flags & protocol::flagNoSandbox);
    if (sandboxed && !enterImportSandbox(planFor(request), outcome))
        return false;
    // After the sandbox, which the threads then share; then no thread more.
    if (whileThreadsMayStart)
        whileThreadsMayStart();
    return !sandboxed || closeThreadStarts(outcome.error);
}

const std::vector<const char*>& importSyscallAllowList() {
    static const std::vector<const char*> all = [] {
        std::vector<const char*> v = plainAllowed;
        v.insert(v.end(), conditionalAllowed.begin(), conditionalAllowed.end());
        return v;
    }();
    return all;
}

} // namespace zel::import
