#include <zel/import/import_sandbox.h>

#include <seccomp.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zel::world::import {

namespace {

// Landlock's access rights and attributes beyond what the installed kernel headers may declare.
constexpr std::uint64_t fsReadFile = 1ull << 2;
constexpr std::uint64_t fsReadDir = 1ull << 3;
constexpr std::uint64_t fsAbi1 = (1ull << 13) - 1;     // execute .. make_sym
constexpr std::uint64_t fsRefer = 1ull << 13;          // ABI 2
constexpr std::uint64_t fsTruncate = 1ull << 14;       // ABI 3
constexpr std::uint64_t fsIoctlDev = 1ull << 15;       // ABI 5
constexpr std::uint64_t netBindTcp = 1ull << 0;        // ABI 4
constexpr std::uint64_t netConnectTcp = 1ull << 1;     // ABI 4
constexpr std::uint64_t scopeAbstractUnix = 1ull << 0; // ABI 6
constexpr std::uint64_t scopeSignal = 1ull << 1;       // ABI 6
constexpr int rulePathBeneath = 1;

struct rulesetAttr {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

struct __attribute__((packed)) pathBeneathAttr {
    std::uint64_t allowedAccess = 0;
    std::int32_t parentFd = -1;
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

long landlockAddRule(int ruleset, int type, const void* attr) {
#ifdef SYS_landlock_add_rule
    return ::syscall(SYS_landlock_add_rule, ruleset, type, attr, 0);
#else
    (void)ruleset;
    (void)type;
    (void)attr;
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

// The file system read-only beneath the readable paths, nothing elsewhere; TCP and signals out of
// reach as far as the ABI allows. False only when the kernel has Landlock and applying it failed.
bool applyLandlock(int abi, const std::vector<std::filesystem::path>& readable,
                   std::string& error) {
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
    for (const std::filesystem::path& p : readable) {
        const int fd = ::open(p.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue; // a folder that does not exist grants nothing
        struct stat st {};
        const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
        pathBeneathAttr rule;
        rule.allowedAccess = folder ? (fsReadFile | fsReadDir) : fsReadFile;
        rule.parentFd = fd;
        const long r = landlockAddRule(ruleset, rulePathBeneath, &rule);
        const int e = errno;
        ::close(fd);
        if (r != 0) {
            ::close(ruleset);
            error = failed("landlock_add_rule", e);
            return false;
        }
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
    // reading and writing descriptors already open (the model file, the result channel)
    "read", "pread64", "readv", "preadv", "write", "writev", "lseek", "close", "vmsplice", "splice",
    "fcntl",
    // anonymous pipes within the process (the sanitizers probe memory through one)
    "pipe", "pipe2",
    // looking at files (Landlock decides what can be opened)
    "fstat", "newfstatat", "stat", "lstat", "statx", "access", "faccessat", "faccessat2",
    "readlink", "readlinkat", "getcwd", "getdents64",
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise",
    // threads, time, signals to itself, leaving
    "futex", "set_robust_list", "rseq", "set_tid_address", "sched_yield", "sched_getaffinity",
    "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday", "getpid",
    "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getrandom", "sysinfo", "uname",
    "getrusage", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "restart_syscall",
    "poll", "ppoll", "exit", "exit_group"};

// Conditional entries, for the list.
const std::vector<const char*> conditionalAllowed = {
    "open (read-only)", "openat (read-only)", "clone (threads only)",    "kill (itself)",
    "tgkill (itself)",  "tkill (itself)",     "prlimit64 (reading only)"};

bool applySeccomp(std::string& error) {
    // Unknown system calls fail as "not permitted"; the importer sees an ordinary error.
    scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!ctx) {
        error = "seccomp_init failed";
        return false;
    }
    int rc = 0;
    auto allow = [&](const char* name, unsigned count = 0, const scmp_arg_cmp* args = nullptr) {
        const int nr = ::seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR)
            return; // not on this architecture
        if (rc == 0)
            rc = ::seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, nr, count, args);
    };
    for (const char* name : plainAllowed)
        allow(name);

    // Files open for reading only: no write access, no creation, no truncation.
    const scmp_datum_t writeBits = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
    const scmp_arg_cmp openReadOnly = SCMP_A1(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY);
    const scmp_arg_cmp openatReadOnly = SCMP_A2(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY);
    allow("open", 1, &openReadOnly);
    allow("openat", 1, &openatReadOnly);
    // New threads may start; a clone without CLONE_THREAD would be a new process.
    const scmp_arg_cmp thread = SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD);
    allow("clone", 1, &thread);
    // abort() signals itself.
    const auto self = static_cast<scmp_datum_t>(::getpid());
    const scmp_arg_cmp toSelf = SCMP_A0(SCMP_CMP_EQ, self);
    allow("kill", 1, &toSelf);
    allow("tgkill", 1, &toSelf);
    allow("tkill", 1, &toSelf); // a thread id: the main thread's is the process id
    // Reading limits, never changing them.
    const scmp_arg_cmp noNewLimit = SCMP_A2(SCMP_CMP_EQ, 0);
    allow("prlimit64", 1, &noNewLimit);
    // clone3 passes its flags in memory, out of the filter's sight: "not implemented" makes the C
    // library fall back to clone, which the filter can see.
    if (rc == 0)
        rc = ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (rc == 0)
        rc = ::seccomp_load(ctx);
    ::seccomp_release(ctx);
    if (rc != 0) {
        error = failed("seccomp", -rc);
        return false;
    }
    return true;
}

} // namespace

bool enterImportSandbox(const std::vector<std::filesystem::path>& readable,
                        sandboxOutcome& outcome) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        outcome.error = failed("no_new_privs", errno);
        return false;
    }
    const int abi = landlockAbi();
    if (abi > 0) {
        if (!applyLandlock(abi, readable, outcome.error))
            return false;
        outcome.landlockAbi = abi;
    }
    return applySeccomp(outcome.error);
}

const std::vector<const char*>& importSyscallAllowList() {
    static const std::vector<const char*> all = [] {
        std::vector<const char*> v = plainAllowed;
        v.insert(v.end(), conditionalAllowed.begin(), conditionalAllowed.end());
        return v;
    }();
    return all;
}

} // namespace zel::world::import
