#include <zel/import/isolated_import.h>

#include <zel/import/file_broker.h>
#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/landlock_abi.h>
#include <zel/import/scene_codec.h>

#include <zel/base/eintr.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
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

// Where the waits of one import stand: its start and deadline, the caller's progress callback and
// whether it asked to stop. Every wait goes through wait(), which wakes at least every tick to
// report progress.
class importClock final : public process::exitWait {
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
    // The helper's questions to the file broker are answered during every wait.
    void serve(brokerService* broker) { broker_ = broker; }

    // What the child said (per mille on the protocol's scale).
    void reported(std::uint32_t perMille) {
        reported_ = std::max(reported_, std::min(perMille, 1000u) / 1000.0);
    }
    // Polls fd for input until it is ready (1), the deadline passes or the caller cancels (0), or
    // poll fails (-1).
    int wait(int fd) override {
        for (;;) {
            tick(false);
            if (stopped())
                return 0;
            const double left = limit_ - elapsed();
            if (left <= 0) {
                timedOut_ = true;
                return 0;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {broker_ ? broker_->fd() : -1, POLLIN, 0}};
            const int timeout = static_cast<int>(std::min(left, tickSeconds) * 1000.0) + 1;
            const int r =
                base::retryOnInterrupt([&] { return ::poll(p, p[1].fd >= 0 ? 2 : 1, timeout); });
            if (r > 0 && p[1].revents)
                broker_->service();
            if (r > 0 && p[0].revents)
                return 1;
            if (r < 0)
                return -1;
        }
    }
    bool over() override {
        tick(false);
        return stopped();
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
    brokerService* broker_ = nullptr;
};

// The result pipe's read end, drained in large reads: small pieces come from a buffer, large
// arrays straight into their destination. The child's progress records, which come before the
// encoding, are taken out on the way; during the encoding the share of its announced size that
// has arrived is the progress. Every wait respects the deadline and the caller's cancel.
class pipeSource final : public byteSource {
public:
    pipeSource(int fd, importClock& clock) : fd_(fd), clock_(clock) {}

    double firstByteSeconds() const { return firstByte_; }
    // Every byte of the encoding read from here on is copied to out as well.
    void keepIn(std::vector<std::byte>* out) { keep_ = out; }
    // Why the data was refused before the encoding (progress records out of order), or empty.
    const std::string& refused() const { return refused_; }

    // Takes the progress records up to the encoding's first bytes; false when the data ends first
    // or a record is refused (and every read fails from then on).
    bool begin() {
        if (!started_)
            ok_ = skipProgress();
        return ok_;
    }

    bool read(void* out, std::size_t n) override {
        if (!readEncoding(out, n))
            return false;
        if (keep_) {
            // Room for what the header announces, within reason: the rest grows as it comes.
            if (keep_->empty() && announced_ > 0)
                keep_->reserve(
                    static_cast<std::size_t>(std::min<std::uint64_t>(announced_, 256u << 20)));
            const auto* p = static_cast<const std::byte*>(out);
            keep_->insert(keep_->end(), p, p + n);
        }
        return true;
    }

private:
    bool readEncoding(void* out, std::size_t n) {
        if (!begin())
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

    // Takes the progress records before the encoding, leaving the encoding's first bytes in the
    // buffer. The size its header announces (only a figure for the progress: the decoder checks
    // it) is where the hand-over's progress is measured against.
    bool skipProgress() {
        started_ = true;
        for (;;) {
            if (!buffered(protocol::progressRecordSize))
                return false;
            const std::optional<std::uint32_t> perMille =
                protocol::decodeProgress(buffer_.data() + pos_);
            if (!perMille)
                break;
            if (!order_.accept(*perMille)) {
                refused_ = "progress record " + std::to_string(*perMille) +
                           " out of order or out of range";
                return false;
            }
            clock_.reported(*perMille);
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
            const ssize_t r =
                base::retryOnInterrupt([&] { return ::read(fd_, dst + got, room - got); });
            if (r < 0 && errno == EAGAIN)
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
    bool started_ = false, ok_ = false;
    protocol::progressOrder order_;
    std::string refused_;
    std::uint64_t received_ = 0, encodingStart_ = 0, announced_ = 0;
    std::vector<char> buffer_ = std::vector<char>(256 * 1024);
    std::size_t pos_ = 0, end_ = 0;
    std::vector<std::byte>* keep_ = nullptr;
};

// A helper started and waiting for its request.
struct childProcess {
    pid_t pid = -1;
    base::uniqueFd result;  // the result pipe's read end
    base::uniqueFd request; // the request socket's parent end
    std::filesystem::path importer;
    std::uint64_t addressSpaceLimit = 0;
    std::string error; // why it could not be started
};

// Starts the helper: fd 3 the result pipe's write end, fd 4 the request socket.
std::unique_ptr<childProcess> startChild(const std::filesystem::path& importer,
                                         const isolationOptions& options) {
    auto out = std::make_unique<childProcess>();
    out->importer = importer;
    out->addressSpaceLimit = options.addressSpaceLimit;
    process::helperLimits limits;
    // A backstop until the request sets the file's own: the longest deadline in CPU seconds.
    limits.cpuSeconds = static_cast<std::uint64_t>(options.maxDeadline.count() / 1000 + 2);
    limits.addressSpace = options.addressSpaceLimit;
    // A child that dies abnormally would otherwise print the parent's buffered lines again.
    std::cout.flush();
    process::startedHelper started =
        process::startHelper({importer.string(), "--serve", std::to_string(protocol::resultFd),
                              std::to_string(protocol::requestFd)},
                             protocol::resultFd, protocol::requestFd, limits);
    out->pid = started.pid;
    out->result.reset(started.result.release());
    out->request.reset(started.request.release());
    out->error = std::move(started.error);
    return out;
}

// Ends a helper that never got (or no longer needs) its request.
void dismiss(std::unique_ptr<childProcess> child) {
    if (!child || child->pid < 0)
        return;
    process::kill(child->pid);
    process::reapInBackground(child->pid);
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
    return process::transferAll(fd, const_cast<char*>(bytes.data()), bytes.size(),
                                process::transfer::send);
}

std::filesystem::path importerFor(const isolationOptions& options, std::string* reason) {
    return options.importer.empty() ? locateImporter(reason) : options.importer;
}

// Landlock is the kernel's; without it the namespace alone hides the file system. Said once.
void noteMissingLandlock(const isolationOptions& options) {
    static std::once_flag once;
    if (!options.sandbox)
        return;
    std::call_once(once, [] {
        if (landlockAbi() == 0)
            std::cerr << "zel: this kernel has no Landlock: the import helper's file system is "
                         "hidden by a user and mount namespace alone\n";
    });
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

decodeResult readHelperResult(int fd, std::chrono::milliseconds deadline, std::uint64_t maxBytes,
                              decodeLimits limits) {
    const importProgress none;
    importClock clock(double(deadline.count()) / 1000.0, none, 1.0);
    pipeSource source(fd, clock);
    limits.deadline = std::min(limits.deadline, std::chrono::steady_clock::now() + deadline);
    decodeResult res = decode(source, maxBytes, limits);
    if (!source.refused().empty())
        return decodeResult{decodeStatus::malformed, std::nullopt, source.refused()};
    return res;
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
