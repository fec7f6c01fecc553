// A stand-in for the import helper: started by the isolated import as the helper is, it takes the
// request, enters the sandbox by the helper's own sequence and then tries what a file that took the
// importer over would try. The model file, which it gets from the host's file broker as the helper
// does, names on its first line a file outside the model's folder and on its second the group of
// attempts (files, looks, broker, types, processes, signals, memory, limits). The attempts go back
// as the failure's reason (which holds a few hundred characters), "NAME=allowed" or
// "NAME=refused:ERRNO" separated by '|', after "environment=NAMES", "landlock=ABI" and
// "confinement=HOW". Leaves through _exit: nothing may run after the attempts.
#include "import_sandbox.h"
#include <zel/import/file_broker.h>
#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/scene_codec.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace imp = zel::import;

namespace {

std::string report;

void row(const char* name, bool ok, int e) {
    report += name;
    if (ok) {
        report += "=allowed|";
    } else {
        const char* errName = ::strerrorname_np(e);
        report += std::string("=refused:") + (errName ? errName : std::to_string(e)) + "|";
    }
}

// Runs one attempt (true: it worked) and reports it with the errno it left.
template <class Attempt> void check(const char* name, Attempt attempt) {
    errno = 0;
    const bool ok = attempt();
    row(name, ok, errno);
}

void tryOpen(const char* name, const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    const int e = errno;
    row(name, fd >= 0, e);
    if (fd >= 0)
        ::close(fd);
}

[[noreturn]] void finish() {
    const std::vector<std::byte> record = imp::encodeFailure(report);
    ::_exit(imp::process::writeAll(imp::protocol::resultFd, record.data(), record.size()) ? 0 : 1);
}

void* nothing(void*) {
    return nullptr;
}

} // namespace

int main() {
    const std::optional<imp::protocol::request> request =
        imp::readRequest(imp::protocol::requestFd);
    if (!request)
        ::_exit(0);
    const imp::brokerClient broker(imp::protocol::requestFd);
    // What reached the process from its parent's environment, by name.
    std::string names;
    for (char** e = environ; *e; ++e)
        names += std::string(*e).substr(0, std::string(*e).find('=')) + ",";
    report += "environment=" + names + "|";

    imp::sandboxOutcome outcome;
    if (!imp::enterHelperSandbox(*request, outcome)) {
        report += "sandbox=" + outcome.error + "|";
        finish();
    }
    report += "landlock=" + std::to_string(outcome.landlockAbi) + "|";
    report += std::string("confinement=") +
              (outcome.files == imp::fileConfinement::landlockAndNamespace ? "landlock+namespace"
               : outcome.files == imp::fileConfinement::landlock           ? "landlock"
               : outcome.files == imp::fileConfinement::mountNamespace     ? "namespace"
                                                                           : "none") +
              "|";

    const std::string model = request->file;
    // The rows above once, with the first group: the reason has little room.
    const std::size_t headerEnd = report.size();
    int in = -1;
    char buf[4096] = {};
    ssize_t got = -1;
    check("read-model", [&] {
        imp::brokerAnswer a = broker.ask(imp::brokerAsk::open, model);
        errno = a.error;
        in = a.file.release();
        got = in >= 0 ? ::read(in, buf, sizeof buf - 1) : -1;
        return got > 0;
    });
    const std::string text(buf, got > 0 ? static_cast<std::size_t>(got) : 0);
    const std::string outside = text.substr(0, text.find('\n'));
    std::string group = text.substr(std::min(text.size(), outside.size() + 1));
    group = group.substr(0, group.find('\n'));
    if (group != "files")
        report.erase(0, headerEnd);

    const std::string folder = model.substr(0, model.rfind('/'));
    if (group == "files") {
        // By name, nothing: not outside, not beside the model, not the model itself.
        tryOpen("read-outside", outside, O_RDONLY);
        tryOpen("path-outside", outside, O_PATH);
        tryOpen("read-inside", model, O_RDONLY);
        tryOpen("read-beside", folder + "/other.txt", O_RDONLY);
        tryOpen("write-inside", model, O_WRONLY);
        tryOpen("create-inside", model + ".new", O_WRONLY | O_CREAT);
        tryOpen("append-inside", model, O_RDONLY | O_APPEND);
    } else if (group == "looks") {
        struct stat st {};
        check("stat-outside", [&] { return ::stat(outside.c_str(), &st) == 0; });
        check("lstat-outside", [&] { return ::lstat(outside.c_str(), &st) == 0; });
        check("access-outside", [&] { return ::access(outside.c_str(), F_OK) == 0; });
        char target[256];
        check("readlink-outside", [&] {
            return ::readlink((folder + "/model.mtl").c_str(), target, sizeof target) > 0;
        });
        check("stat-held", [&] { return ::fstat(in, &st) == 0; });
        // The host's environment holds the broker's password.
        tryOpen("environ-parent", "/proc/" + std::to_string(::getppid()) + "/environ", O_RDONLY);
    } else if (group == "broker") {
        // What the host's broker hands out beside the model: named by their place, relative or
        // absolute.
        auto ask = [&](const char* label, imp::brokerAsk what, const std::string& name) {
            const imp::brokerAnswer a = broker.ask(what, name);
            row(label, a.error == 0, a.error);
        };
        ask("broker-beside", imp::brokerAsk::open, "other.mtl");
        ask("broker-beside-absolute", imp::brokerAsk::open, folder + "/other.mtl");
        ask("broker-beside-exists", imp::brokerAsk::exists, "other.mtl");
        ask("broker-texture", imp::brokerAsk::texture, "Picture.PNG");
        // A companion planted as a link to a file outside, a folder that is a link, a way out.
        ask("broker-companion-link", imp::brokerAsk::open, "model.mtl");
        ask("broker-through-link", imp::brokerAsk::open, "linked/secret.mtl");
    } else if (group == "types") {
        auto ask = [&](const char* label, imp::brokerAsk what, const std::string& name) {
            const imp::brokerAnswer a = broker.ask(what, name);
            row(label, a.error == 0, a.error);
        };
        ask("broker-leading-out", imp::brokerAsk::open,
            "../" + outside.substr(outside.rfind('/', outside.rfind('/') - 1) + 1));
        ask("broker-outside", imp::brokerAsk::open, outside);
        ask("broker-texture-link", imp::brokerAsk::texture, "linked/secret.png");
        // Beside the model but no model's, material's, buffer's or picture's type; also when only
        // its existence is asked.
        ask("broker-wrong-type", imp::brokerAsk::open, "tax.pdf");
        ask("broker-wrong-type-exists", imp::brokerAsk::exists, "tax.pdf");
        ask("broker-other-file", imp::brokerAsk::open, "other.txt");
        ask("broker-folder", imp::brokerAsk::open, "sub.obj");
    } else if (group == "processes") {
        check("socket-inet", [&] { return ::socket(AF_INET, SOCK_STREAM, 0) >= 0; });
        check("socket-unix", [&] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; });
        char* const args[] = {const_cast<char*>("/bin/true"), nullptr};
        check("execve", [&] { return ::execve("/bin/true", args, nullptr) == 0; });
        check("fork", [&] {
            const pid_t pid = ::fork();
            if (pid == 0)
                ::_exit(0);
            if (pid > 0)
                ::waitpid(pid, nullptr, 0);
            return pid > 0;
        });
        pthread_t thread;
        const int threadError = ::pthread_create(&thread, nullptr, nothing, nullptr);
        row("thread", threadError == 0, threadError);
        if (threadError == 0)
            ::pthread_join(thread, nullptr);
        check("ptrace", [&] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0; });
    } else if (group == "signals") {
        // Signals to the parent by way of the result pipe: the owner, the signal, asynchronous
        // notification. Were they all let through, the parent would get SIGUSR1 as it reads from
        // the full pipe.
        const int result = imp::protocol::resultFd;
        check("fcntl-setown", [&] { return ::fcntl(result, F_SETOWN, ::getppid()) == 0; });
        check("fcntl-setsig", [&] { return ::fcntl(result, F_SETSIG, SIGUSR1) == 0; });
        int flags = 0;
        check("fcntl-getfl", [&] { return (flags = ::fcntl(result, F_GETFL)) >= 0; });
        check("fcntl-async", [&] { return ::fcntl(result, F_SETFL, flags | O_ASYNC) == 0; });
        check("fcntl-nonblock",
              [&] { return ::fcntl(result, F_SETFL, ::fcntl(result, F_GETFL) | O_NONBLOCK) == 0; });
        // As many progress records as the parent takes (increasing, up to 1000), so that its
        // reads would raise the signal, if any was set up.
        static char records[1000 * imp::protocol::progressRecordSize];
        for (std::uint32_t i = 0; i < 1000; ++i) {
            char* at = records + i * imp::protocol::progressRecordSize;
            const std::uint32_t perMille = i + 1;
            std::memcpy(at, imp::protocol::progressMagic, 4);
            std::memcpy(at + 4, &perMille, 4);
        }
        for (std::size_t at = 0; at < sizeof records;) {
            const ssize_t n = ::write(result, records + at, sizeof records - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        ::fcntl(result, F_SETFL, ::fcntl(result, F_GETFL) & ~O_NONBLOCK);
        check("fcntl-lease", [&] { return ::fcntl(in, F_SETLEASE, F_RDLCK) == 0; });
    } else if (group == "memory") {
        constexpr int anonymous = MAP_PRIVATE | MAP_ANONYMOUS;
        check("mmap-exec", [&] {
            return ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, anonymous, -1, 0) != MAP_FAILED;
        });
        void* data = MAP_FAILED;
        check("mmap-data", [&] {
            data = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, anonymous, -1, 0);
            return data != MAP_FAILED;
        });
        check("mprotect-exec", [&] {
            return data != MAP_FAILED && ::mprotect(data, 4096, PROT_READ | PROT_EXEC) == 0;
        });
    } else if (group == "limits") {
        rlimit limit{};
        check("limits-own", [&] { return ::prlimit(0, RLIMIT_NOFILE, nullptr, &limit) == 0; });
        check("limits-parent",
              [&] { return ::prlimit(::getppid(), RLIMIT_NOFILE, nullptr, &limit) == 0; });
        limit.rlim_cur = limit.rlim_max = 1 << 16;
        check("limits-raise", [&] { return ::prlimit(0, RLIMIT_NOFILE, &limit, nullptr) == 0; });
        // One more filter, allowing everything and logging: added, it would write an audit record
        // for every call of a loop until the deadline.
        sock_filter logAll = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_LOG);
        sock_fprog program{1, &logAll};
        check("seccomp-filter",
              [&] { return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0; });
    }
    finish();
}
