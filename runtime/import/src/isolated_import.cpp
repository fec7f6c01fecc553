#include <zel/import/isolated_import.h>

#include "helper_pool.h"
#include "result_channel.h"

#include <zel/import/file_broker.h>
#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/scene_codec.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace zel::import {

namespace {

void setReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

std::string errnoText(int e) {
    return std::strerror(e);
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

// What a look at a file says against importing it; empty when it may be imported.
std::string unfit(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_size == 0)
        return "the file is empty";
    return {};
}

// Checks what the parent can tell without reading the file's content: a look at the name, then
// again at the file it names, held as a bare path (O_PATH: nothing is opened, so a device or FIFO
// swapped in under the name meanwhile is never opened), in case the name was swapped.
bool checkInput(const std::filesystem::path& file, std::uint64_t& size, std::string* reason) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        setReason(reason, errnoText(errno));
        return false;
    }
    if (std::string why = unfit(st); !why.empty()) {
        setReason(reason, std::move(why));
        return false;
    }
    const base::uniqueFd fd(::open(file.c_str(), O_PATH | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        setReason(reason, errnoText(errno));
        return false;
    }
    if (std::string why = unfit(st); !why.empty()) {
        setReason(reason, std::move(why));
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool sendAll(int fd, const std::vector<char>& bytes) {
    return process::transferAll(fd, const_cast<char*>(bytes.data()), bytes.size(),
                                process::transfer::send);
}

// The user's home folder: $HOME, else the password database's.
std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

std::uint32_t requestFlags(const isolationOptions& options) {
    std::uint32_t flags = options.sandbox ? 0 : protocol::flagNoSandbox;
    if (!options.mountNamespace)
        flags |= protocol::flagNoMountNamespace;
    const char* unconfined = std::getenv(unconfinedSwitch);
    if (options.allowUnconfined || (unconfined && std::string_view(unconfined) == "1")) {
        flags |= protocol::flagAllowUnconfined;
        // Where the helper is not confined, nothing of this process may be readable to a process
        // of the same user (/proc/<pid>/environ holds the broker's password, mem its memory).
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    }
    if (options.landlockAbiLimit >= 0)
        flags |= static_cast<std::uint32_t>(std::min(options.landlockAbiLimit, 254) + 1)
                 << protocol::landlockLimitShift;
    return flags;
}

// The bytes the helper was given for the model: the model's own and those of every other file the
// broker granted, but pictures, which are bounded by their pixels instead.
std::uint64_t inputBytes(const fileBroker& broker) {
    std::uint64_t total = 0;
    const std::vector<std::string_view>& pictures = pictureFileTypes();
    bool first = true;
    for (const grantedFile& f : broker.granted()) {
        std::string type = f.path.extension().string();
        if (!type.empty())
            type.erase(0, 1);
        std::transform(type.begin(), type.end(), type.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const bool picture = std::find(pictures.begin(), pictures.end(), type) != pictures.end();
        // What the file takes on disk: a sparse file's size promises data it does not hold.
        if (first || !picture)
            total += std::min(f.size, f.allocated);
        first = false;
    }
    return total;
}

} // namespace

std::uint64_t resultBudgetFor(std::uint64_t inputBytes, const isolationOptions& options) {
    const std::uint64_t floor = std::min(options.resultFloorBytes, options.maxResultBytes);
    const std::uint64_t cap = options.maxResultBytes;
    const std::uint64_t perByte = options.resultPerInputByte;
    if (perByte != 0 && inputBytes > (cap - floor) / perByte)
        return cap;
    return floor + inputBytes * perByte;
}

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

std::optional<scene> importIsolated(const std::filesystem::path& file,
                                    const isolationOptions& options, std::string* reason,
                                    isolationStats* stats, const importProgress& progress) {
    std::uint64_t size = 0;
    if (!checkInput(file, size, reason))
        return std::nullopt;
    const std::filesystem::path importer = importerFor(options, reason);
    if (importer.empty())
        return std::nullopt;
    // The file the user chose, wherever a link of that name leads: the broker follows no link,
    // and what the model names lies beside the file itself. An absolute name without links or
    // dots, which the helper also asks for.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::canonical(file, ec);
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
    request.flags = requestFlags(options);
    request.deadlineMs = static_cast<std::uint64_t>(deadline.count());
    request.file = absolute.string();
    const std::vector<char> requestBytes = protocol::encodeRequest(request);
    // What the helper may read, decided here as it asks; what it was given goes to the caller.
    fileBroker broker(absolute, options.readableFolders, homeFolder(), options.fileLimits);
    struct grantsToStats {
        const fileBroker& broker;
        isolationStats* stats;
        ~grantsToStats() {
            if (stats) {
                stats->files = broker.granted();
                stats->grantedBytes = broker.grantedBytes();
                stats->absent = broker.absent();
            }
        }
    } reportGrants{broker, stats};

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
    // The request's socket stays: the helper asks the file broker through it.
    brokerService service(child->request.get(), broker);
    clock.serve(&service);
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
    // The result may be as large as what the helper was given to read allows. An honest helper has
    // asked for all it reads once its encoding begins (pictures are decoded before), so the budget
    // is taken then from the broker's grants; what it is given later no longer counts.
    source.begin();
    const std::uint64_t budget = resultBudgetFor(inputBytes(broker), options);
    std::vector<std::byte> encoding;
    if (stats && stats->keepEncoding)
        source.keepIn(&encoding);
    decodeResult res = decode(source, budget, limits);
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
    process::exitStatus outcome;
    if (res.status == decodeStatus::scene) {
        // Done: with the whole result read the child has nothing left to give.
        process::kill(pid);
        process::reapInBackground(pid);
        clock.tick(true);
        startNext();
        if (stats && stats->keepEncoding)
            stats->encoding = std::move(encoding);
        return std::move(res.value);
    }
    // A helper whose records were refused is not heard further.
    if (clock.stopped() || !source.refused().empty()) {
        process::kill(pid);
        process::reap(pid, outcome);
    } else {
        // Let a failing child finish, so that its exit status can tell why.
        process::waitForExit(pid, clock, outcome);
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
    if (!source.refused().empty()) {
        setReason(reason, "the import helper returned malformed data (" + source.refused() + ")");
        return std::nullopt;
    }
    if (res.status == decodeStatus::failure) {
        setReason(reason, res.reason.empty() ? "the importer failed" : res.reason);
        return std::nullopt;
    }
    // SIGPIPE: the child was still writing when the result was refused and the pipe closed.
    if (outcome.known && WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) != SIGPIPE) {
        setReason(reason, "the importer died of " + signalName(WTERMSIG(outcome.status)));
        return std::nullopt;
    }
    if (outcome.known && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) != 0) {
        setReason(reason, "the importer failed (exit status " +
                              std::to_string(WEXITSTATUS(outcome.status)) + ")");
        return std::nullopt;
    }
    setReason(reason, "the import helper returned malformed data (" + res.reason + ")");
    return std::nullopt;
}

} // namespace zel::import
