// The host's half of the result channel as a helper's answer reaches it (readHelperResult, the code
// importIsolated runs): progress records, then the encoding, through a pipe in pieces of fuzzed
// sizes, each read before the next is written, so the reads stop where the pieces do. The
// deadline, the size limit, the memory budget and the reservation an array makes before its data
// arrives are fuzzed too, the last lowered so that small inputs reach the growth past it.
//
// Input: 16 bytes of settings (see settingsOf), then what the helper writes.

#include <zel/import/import_protocol.h>
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace imp = zel::import;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

struct settings {
    imp::decodeLimits limits;
    std::uint64_t maxBytes = 0;
    std::chrono::milliseconds deadline{0};
    std::uint32_t pieceSeed = 0;
    unsigned pieceBits = 0; // pieces of 1 to 2^pieceBits bytes
};

template <class T> T take(const std::uint8_t* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

constexpr std::size_t settingsSize = 16;

settings settingsOf(const std::uint8_t* p) {
    settings s;
    s.limits.reserveUpFront = (std::uint64_t{take<std::uint16_t>(p)} + 1) * 16;
    s.limits.memoryBudget = take<std::uint32_t>(p + 2); // 0: the default for the size
    const std::uint32_t max = take<std::uint32_t>(p + 6);
    s.maxBytes = max == 0 ? std::uint64_t{1} << 30 : max;
    // Mostly time enough; sometimes none at all, the deadline passing before the first read.
    s.deadline = std::chrono::milliseconds(p[10] == 0 ? 0 : 10'000);
    s.pieceBits = p[11] % 19;
    s.pieceSeed = take<std::uint32_t>(p + 12);
    return s;
}

// Writes data in pieces, each once the reader has taken the one before (or has stopped), then
// closes its end as a helper does when it exits. fd does not block, so a reader that stopped
// never holds the writer; readEnd is the writer's own copy of the read end, to see what is queued.
// At most about 128 pieces, so that a large input stays quick.
void writePieces(int fd, int readEnd, const std::uint8_t* data, std::size_t size, settings s,
                 const std::atomic<bool>& done) {
    std::uint32_t state = s.pieceSeed | 1;
    for (std::size_t at = 0; at < size && !done;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t piece = std::min<std::size_t>(
            size - at, std::max(size / 128, 1 + (state >> 8) % (std::size_t{1} << s.pieceBits)));
        bool gone = false; // the reader closed its end
        for (std::size_t sent = 0; sent < piece && !done && !gone;) {
            const ssize_t n = ::write(fd, data + at + sent, piece - sent);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EAGAIN)
                sched_yield();
            else
                gone = true;
        }
        if (gone)
            break;
        at += piece;
        // Until the reader has taken all of it.
        int queued = 1;
        while (!done && ::ioctl(readEnd, FIONREAD, &queued) == 0 && queued > 0)
            sched_yield();
    }
    ::close(fd);
    ::close(readEnd);
}

// The bytes of the progress records the host takes at the start of the data.
std::size_t recordBytes(const std::uint8_t* data, std::size_t size) {
    imp::protocol::progressOrder order;
    std::size_t at = 0;
    while (size - at >= imp::protocol::progressRecordSize &&
           std::memcmp(data + at, imp::protocol::progressMagic, 4) == 0 &&
           order.accept(take<std::uint32_t>(data + at + 4)))
        at += imp::protocol::progressRecordSize;
    return at;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN); // the reader may stop before the writer does
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < settingsSize)
        return 0;
    const settings s = settingsOf(data);
    data += settingsSize;
    size -= settingsSize;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::atomic<bool> done{false};
    std::thread writer(writePieces, fds[1], ::fcntl(fds[0], F_DUPFD_CLOEXEC, 0), data, size, s,
                       std::cref(done));
    const imp::decodeResult res = imp::readHelperResult(fds[0], s.deadline, s.maxBytes, s.limits);
    done = true;
    writer.join();
    ::close(fds[0]);

    if (res.status == imp::decodeStatus::scene) {
        check(s.deadline.count() > 0);
        // The scene is what follows the records, byte for byte.
        const std::size_t records = recordBytes(data, size);
        const std::vector<std::byte> again = imp::encode(*res.value);
        check(again.size() <= size - records && again.size() <= s.maxBytes);
        check(std::memcmp(again.data(), data + records, again.size()) == 0);
        for (const imp::mesh& m : res.value->meshes)
            for (std::uint32_t i : m.indices)
                check(i < m.vertexCount());
    }
    return 0;
}
