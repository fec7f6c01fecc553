#include <zel/import/import_sandbox.h>

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
    "read", "pread64", "readv", "preadv", "write", "writev", "lseek", "close", "vmsplice",
#ifdef ZEL_SANDBOX_SANITIZED
    // anonymous pipes within the process (the sanitizers probe memory through one)
    "pipe", "pipe2",
#endif
    // looking at files (what can be opened is the file system confinement's part)
    "fstat", "newfstatat", "stat", "lstat", "statx", "access", "faccessat", "faccessat2",
    "readlink", "readlinkat", "getcwd", "getdents64",
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
    "open (read-only, not O_PATH)",
    "openat (read-only, not O_PATH)",
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

    // Files open for reading only: no write access, no creation, no truncation; and never as a
    // bare path, which no file system confinement checks and which stat and readlink could use.
    const scmp_datum_t writeBits = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | O_PATH;
    f.allow("open", {SCMP_A1(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY)});
    f.allow("openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, writeBits, O_RDONLY)});
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

// Creates the folders of path beneath root, and path itself: a folder, or an empty file to bind a
// file onto.
bool makeMountPoint(const std::filesystem::path& root, const std::filesystem::path& path,
                    bool folder) {
    std::filesystem::path at = root;
    for (const std::filesystem::path& part : path.relative_path().parent_path()) {
        at /= part;
        if (::mkdir(at.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    at = root / path.relative_path();
    if (folder)
        return ::mkdir(at.c_str(), 0755) == 0 || errno == EEXIST;
    const int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// The mount flags a read-only bind of the mount holding fd must keep: in a user namespace the
// ones the original mount was given are locked.
unsigned long lockedFlags(int fd) {
    struct statvfs st {};
    if (::fstatvfs(fd, &st) != 0)
        return 0;
    unsigned long flags = 0;
    if (st.f_flag & ST_NOATIME)
        flags |= MS_NOATIME;
    if (st.f_flag & ST_NODIRATIME)
        flags |= MS_NODIRATIME;
    if (st.f_flag & ST_RELATIME)
        flags |= MS_RELATIME;
    return flags;
}

// Confines the file system with a user and mount namespace: a new root (a small tmpfs) that holds
// the readable folders and files, each bound read-only at its own name, and nothing else. The
// old root is gone from the namespace.
bool confineByNamespace(const std::vector<std::filesystem::path>& readable, std::string& error) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        error = failed("unshare", errno);
        return false;
    }
    // Each readable path, held open (in the new namespace, whose mounts a bind takes) before the
    // new root covers where it lies.
    struct source {
        std::filesystem::path path;
        int fd;
        bool folder;
    };
    std::vector<source> sources;
    auto closeAll = [&] {
        for (const source& s : sources)
            ::close(s.fd);
        sources.clear();
    };
    auto fail = [&](const char* what) {
        error = failed(what, errno);
        closeAll();
        return false;
    };
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return fail("user namespace map");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("private mounts");
    std::vector<std::filesystem::path> paths;
    for (const std::filesystem::path& p : readable)
        if (p.is_absolute())
            paths.push_back(p.lexically_normal());
    std::sort(paths.begin(), paths.end());
    for (const std::filesystem::path& p : paths) {
        // Beneath one already bound: seen through it.
        const bool beneath = std::any_of(sources.begin(), sources.end(), [&](const source& s) {
            const auto [a, b] = std::mismatch(s.path.begin(), s.path.end(), p.begin(), p.end());
            return a == s.path.end();
        });
        if (beneath)
            continue;
        const int fd = ::open(p.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue; // a folder that does not exist grants nothing
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
            ::close(fd);
            continue;
        }
        sources.push_back({p, fd, S_ISDIR(st.st_mode)});
    }
    // The new root, on a folder every system has; what it covers stays reachable through the
    // descriptors above.
    const std::filesystem::path root = "/tmp";
    if (::mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "mode=0755,size=1m") != 0)
        return fail("new root");
    for (const source& s : sources) {
        if (!makeMountPoint(root, s.path, s.folder))
            return fail("mount point");
        const std::string from = "/proc/self/fd/" + std::to_string(s.fd);
        const std::filesystem::path to = root / s.path.relative_path();
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return fail("bind");
        const unsigned long readOnly =
            MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | lockedFlags(s.fd);
        if (::mount(nullptr, to.c_str(), nullptr, readOnly, nullptr) != 0)
            return fail("read-only bind");
    }
    closeAll();
    if (::mount(nullptr, root.c_str(), nullptr,
                MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return fail("read-only root");
    if (::chdir(root.c_str()) != 0 || ::syscall(SYS_pivot_root, ".", ".") != 0 ||
        ::umount2(".", MNT_DETACH) != 0 || ::chdir("/") != 0)
        return fail("pivot_root");
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
    int abi = landlockAbi();
    if (plan.landlockAbiLimit >= 0)
        abi = std::min(abi, plan.landlockAbiLimit);
    if (abi > 0) {
        if (!applyLandlock(abi, plan.readable, outcome.error))
            return false;
        outcome.landlockAbi = abi;
        outcome.files = fileConfinement::landlock;
    } else {
        std::string why = "switched off";
        if (plan.mountNamespace && confineByNamespace(plan.readable, why)) {
            outcome.files = fileConfinement::mountNamespace;
        } else if (!plan.allowUnconfined) {
            outcome.error = "the file system cannot be confined: this kernel has no Landlock, "
                            "and no user and mount namespace (" +
                            why + "); set " + unconfinedSwitch +
                            "=1 to import with the system call filter alone";
            return false;
        }
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
    plan.readable.assign(request.readable.begin(), request.readable.end());
    const std::uint32_t limit = (request.flags >> protocol::landlockLimitShift) & 0xff;
    plan.landlockAbiLimit = static_cast<int>(limit) - 1;
    plan.mountNamespace = !(request.flags & protocol::flagNoMountNamespace);
    plan.allowUnconfined = request.flags & protocol::flagAllowUnconfined;
    return plan;
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
