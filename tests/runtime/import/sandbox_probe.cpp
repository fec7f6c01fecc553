// Enters the import helper's sandbox and tries what a file that took the importer over would try.
//   zel_sandbox_probe ALLOWED_FOLDER OUTSIDE_FILE
// One line per attempt on stdout, "NAME allowed" or "NAME refused: REASON"; exit status 0 when the
// sandbox was entered. Leaves through _exit: nothing may run after the attempts.
#include <zel/import/import_sandbox.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void report(const char* name, bool ok, int e) {
    if (ok)
        std::printf("%s allowed\n", name);
    else
        std::printf("%s refused: %s\n", name, std::strerror(e));
    std::fflush(stdout);
}

void tryOpen(const char* name, const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    const int e = errno;
    report(name, fd >= 0, e);
    if (fd >= 0)
        ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zel_sandbox_probe ALLOWED_FOLDER OUTSIDE_FILE\n");
        return 2;
    }
    const std::string allowed = argv[1], outside = argv[2];
    zel::world::import::sandboxOutcome outcome;
    if (!zel::world::import::enterImportSandbox({allowed}, outcome)) {
        std::printf("sandbox failed: %s\n", outcome.error.c_str());
        std::fflush(stdout);
        ::_exit(1);
    }
    std::printf("landlock %d\n", outcome.landlockAbi);

    tryOpen("read-inside", allowed + "/model.txt", O_RDONLY);
    tryOpen("read-outside", outside, O_RDONLY);
    tryOpen("write-inside", allowed + "/model.txt", O_WRONLY);
    tryOpen("create-inside", allowed + "/new.txt", O_WRONLY | O_CREAT);
    tryOpen("append-inside", allowed + "/model.txt", O_RDONLY | O_APPEND);

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    report("socket-inet", fd >= 0, errno);
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    report("socket-unix", fd >= 0, errno);

    char* const args[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve("/bin/true", args, nullptr);
    report("execve", false, errno);

    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    report("fork", pid > 0, errno);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);

    const long traced = ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    report("ptrace", traced == 0, errno);

    // What importing needs still works: reading the allowed file's bytes, memory, time.
    const int in = ::open((allowed + "/model.txt").c_str(), O_RDONLY | O_CLOEXEC);
    char buf[16] = {};
    const bool readBytes = in >= 0 && ::read(in, buf, sizeof buf - 1) > 0;
    report("read-bytes", readBytes, errno);
    ::_exit(0);
}
