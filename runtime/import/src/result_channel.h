#pragma once

// The host's end of the result pipe: the clock every wait of one import goes through (its
// deadline, the caller's progress and cancel, the file broker served meanwhile), and the pipe read
// as a byte source for the decoder, the helper's progress records taken out on the way.

#include <zel/import/file_broker.h>
#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <time.h>

namespace zel::import {

// Where the waits of one import stand: its start and deadline, the caller's progress callback and
// whether it asked to stop. Every wait goes through wait(), which wakes at least every tick to
// report progress.
class importClock final : public process::exitWait {
public:
    importClock(double limit, const importProgress& progress, double expectedSeconds);
    const timespec& start() const { return start_; }
    double elapsed() const;
    bool timedOut() const { return timedOut_; }
    bool cancelled() const { return cancelled_; }
    bool stopped() const { return timedOut_ || cancelled_; }
    // The helper's questions to the file broker are answered during every wait.
    void serve(brokerService* broker) { broker_ = broker; }

    // What the child said (per mille on the protocol's scale).
    void reported(std::uint32_t perMille);
    // Polls fd for input until it is ready (1), the deadline passes or the caller cancels (0), or
    // poll fails (-1).
    int wait(int fd) override;
    bool over() override;
    // Tells the caller how far the import is, at most once a tick unless forced. Between the
    // child's reports, the time spent against the time such a file takes keeps the figure moving
    // (never past what reading alone would reach).
    void tick(bool force);

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
    bool begin();

    bool read(void* out, std::size_t n) override;

private:
    bool readEncoding(void* out, std::size_t n);
    // Takes the progress records before the encoding, leaving the encoding's first bytes in the
    // buffer. The size its header announces (only a figure for the progress: the decoder checks
    // it) is where the hand-over's progress is measured against.
    bool skipProgress();
    // At least n bytes in the buffer from pos_; false when the data ends first.
    bool buffered(std::size_t n);
    // Reads at least want and at most room bytes into dst; fewer only at the end of the data, an
    // error, the deadline or a cancel.
    std::size_t fill(char* dst, std::size_t want, std::size_t room);

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

} // namespace zel::import
