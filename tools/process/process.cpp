#include "process.h"

#include <zel/base/eintr.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zel::proc {

namespace {

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// In the forked child, with its standard streams in place: the working folder, the environment,
// then the program. Never returns.
[[noreturn]] void execChild(const processOptions& spec) {
    if (!spec.workingDirectory.empty() && ::chdir(spec.workingDirectory.c_str()) != 0)
        ::_exit(126);
    for (const std::string& name : spec.unsetEnvironment)
        ::unsetenv(name.c_str());
    for (const auto& [name, value] : spec.environment)
        ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& a : spec.args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

processResult runProcess(const processOptions& spec) {
    processResult result;
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        execChild(spec);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    int inFd = in[1], outFd = out[0], errFd = err[0];
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    if (spec.input.empty())
        closeFd(inFd);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long long>(spec.timeoutSeconds * 1000));
    char buffer[65536];
    while (outFd >= 0 || errFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[n++] = {inFd, POLLOUT, 0};
        const int ready = zel::base::retryOnInterrupt(
            [&] { return ::poll(fds, n, static_cast<int>(left < 1000 ? left : 1000)); });
        if (ready < 0)
            break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == inFd) {
                ssize_t w = ::write(inFd, spec.input.data() + written, spec.input.size() - written);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
                if (w < 0 || written == spec.input.size())
                    closeFd(inFd);
                continue;
            }
            const ssize_t r = zel::base::retryOnInterrupt(
                [&] { return ::read(fds[i].fd, buffer, sizeof buffer); });
            if (r > 0) {
                (fds[i].fd == outFd ? result.out : result.err).append(buffer, std::size_t(r));
            } else {
                closeFd(fds[i].fd == outFd ? outFd : errFd);
            }
        }
    }
    closeFd(inFd);
    closeFd(outFd);
    closeFd(errFd);
    int status = 0;
    zel::base::retryOnInterrupt([&] { return ::waitpid(pid, &status, 0); });
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

bool backgroundProcess::start(const processOptions& spec, const std::string& outFile,
                              const std::string& errFile, const std::vector<int>& extraFds) {
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
#ifdef __linux__
        // The caller may have ended before the signal was asked for.
        if (spec.endsWithCaller &&
            (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent))
            ::_exit(126);
#else
        (void)parent;
#endif
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (int fd : {in, out, err})
            if (fd > 2)
                ::close(fd);
        for (int fd : extraFds)
            ::fcntl(fd, F_SETFD, 0);
        execChild(spec);
    }
    pid_ = pid;
    return true;
}

bool backgroundProcess::wait(double timeoutSeconds) {
    if (pid_ <= 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    for (;;) {
        int status = 0;
        const pid_t r =
            zel::base::retryOnInterrupt([&] { return ::waitpid(pid_, &status, WNOHANG); });
        if (r == pid_) {
            pid_ = -1;
            if (WIFEXITED(status))
                exitCode_ = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                signal_ = WTERMSIG(status);
            return true;
        }
        if (r < 0) {
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::usleep(10000);
    }
}

void backgroundProcess::terminate(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

backgroundProcess::~backgroundProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0;
    ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

bool accepting(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

} // namespace zel::proc
