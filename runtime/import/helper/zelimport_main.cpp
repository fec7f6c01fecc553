// zelimport: the import helper. The isolated import starts it as
//   zelimport --serve 3 4
// ahead of its file (import_protocol.h): it loads its libraries, waits for one request on fd 4,
// enters the sandbox (import_sandbox.h), reads the file with Assimp, every file through the host's
// file broker on fd 4 (brokered_io.h), and writes progress records and then the encoded scene, or
// a failure record, to fd 3. By hand:
//   zelimport --stats [--in-process] [--deadline SECONDS] FILE...
// imports each FILE the way the host does (isolated, unless --in-process) and prints what it got
// and what it took.

#include "assimp_import.h"
#include "brokered_io.h"
#include "import_sandbox.h"
#include "texture_files.h"
#include "three_ds_file.h"
#include <zel/import/helper_process.h>
#include <zel/import/import_protocol.h>
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace imp = zel::import;

namespace {

using imp::process::readAll;
using imp::process::writeAll;

// Hands memory to a pipe without copying it: the pipe keeps references to the pages, and the
// reader's read() is the only copy. The memory must stay unchanged until the reader has it, which
// holds here: nothing is freed or written after the encoding, and the process ends with _exit.
bool spliceAll(int fd, const void* data, std::size_t n) {
    return imp::process::transferAll(fd, const_cast<void*>(data), n,
                                     imp::process::transfer::giftPages);
}

// Small pieces are gathered into one buffer; the large arrays go to the descriptor directly.
class fdSink final : public imp::byteSink {
public:
    explicit fdSink(int fd) : fd_(fd) {
        buffer_.reserve(capacity);
        struct stat st {};
        splice_ = ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    }
    bool put(const void* data, std::size_t n) override {
        if (n >= capacity / 2)
            return flush() && (splice_ ? spliceAll(fd_, data, n) : writeAll(fd_, data, n));
        if (buffer_.size() + n > capacity && !flush())
            return false;
        const auto* p = static_cast<const char*>(data);
        buffer_.insert(buffer_.end(), p, p + n);
        return true;
    }
    bool flush() {
        const bool ok = writeAll(fd_, buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok;
    }

private:
    static constexpr std::size_t capacity = 256 * 1024;
    int fd_;
    bool splice_ = false;
    std::vector<char> buffer_;
};

// Only before any of the scene was written: the reader takes the first record it sees.
[[noreturn]] void fail(int fd, std::string_view reason) {
    const std::vector<std::byte> record = imp::encodeFailure(reason);
    ::_exit(writeAll(fd, record.data(), record.size()) ? 0 : 1);
}

// One progress record; a failed write is left to the encoding's own write to notice.
void sendProgress(int fd, std::uint32_t perMille) {
    char record[imp::protocol::progressRecordSize];
    imp::protocol::encodeProgress(perMille, record);
    writeAll(fd, record, sizeof record);
}

// Assimp's reports, on the protocol's scale, sent when they move by at least 1 %.
class progressReporter final : public Assimp::ProgressHandler {
public:
    explicit progressReporter(int fd) : fd_(fd) {}
    bool Update(float percentage) override {
        if (percentage >= 0.0f && percentage <= 1.0f)
            send(static_cast<std::uint32_t>(percentage * imp::protocol::postEnd));
        return true;
    }
    void UpdateFileRead(int current, int total) override {
        if (total > 0 && current >= 0 && current <= total)
            send(static_cast<std::uint32_t>(double(current) / total * imp::protocol::readEnd));
    }
    void UpdatePostProcess(int current, int total) override {
        if (total > 0 && current >= 0 && current <= total)
            send(imp::protocol::readEnd +
                 static_cast<std::uint32_t>(double(current) / total *
                                            (imp::protocol::postEnd - imp::protocol::readEnd)));
    }
    void send(std::uint32_t perMille) {
        if (perMille >= last_ + 10 || (perMille > last_ && perMille >= imp::protocol::readEnd)) {
            last_ = perMille;
            sendProgress(fd_, perMille);
        }
    }

private:
    int fd_;
    std::uint32_t last_ = 0;
};

// The child's whole work. It leaves through _exit without freeing anything: the importer's scene
// and the copy are gone with the process anyway, and freeing them would only add to the load time.
[[noreturn]] void childImport(int fd, Assimp::Importer* importer, const char* file,
                              const imp::textureSource& textures) {
    try {
        auto* progress = new progressReporter(fd);
        importer->SetProgressHandler(progress); // the importer owns it from here
        const aiScene* as = importer->ReadFile(file, imp::assimpImportFlags());
        if (!as) {
            const std::string why = importer->GetErrorString();
            // Assimp passes on the exception's name when an allocation fails.
            fail(fd, why.empty()               ? "Assimp cannot read the file"
                     : why == "std::bad_alloc" ? "out of memory"
                                               : why);
        }
        progress->send(imp::protocol::postEnd);
        std::string reason;
        auto* converted = new std::optional<imp::scene>(imp::convertScene(*as, &reason));
        if (!*converted)
            fail(fd, reason);
        const imp::threeDsAmends amends =
            imp::amendFromThreeDsFile(**converted, *importer->GetIOHandler(), file);
        imp::loadTextures(**converted, textures, nullptr,
                          {imp::embeddedPictures(*as), imp::alphaIsOpacity(*as)});
        if (amends.read)
            imp::picturesReplaceColour(**converted);
        progress->send(imp::protocol::convertEnd);
        fdSink sink(fd);
        // A failed write means the reader has gone (it stopped reading or hit its deadline).
        ::_exit(imp::encodeTo(**converted, sink) && sink.flush() ? 0 : 1);
    } catch (const std::bad_alloc&) {
        fail(fd, "out of memory");
    } catch (const std::exception& e) {
        fail(fd, e.what());
    } catch (...) {
        fail(fd, "unknown exception in the importer");
    }
}

// The helper's heap, kept for the one import it does. A fresh process pays for every page it
// touches, and for a large model that is a third of the import: glibc's default hands big blocks
// back to the system on free (so the next vector of the same size faults its pages in again) and
// grows the heap a little at a time. Here big blocks come from the heap, nothing freed goes back,
// and the heap grows at once by what importing a file of that size usually needs, while a second
// thread faults those pages in ahead of the importer, which uses them from the bottom up (the
// second core is otherwise idle: the caller only waits).
namespace heap {

// Blocks up to this size come from the heap (glibc's largest), and freeing never shrinks it.
void keepFreedMemory() {
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

// Memory an import of a file of `bytes` usually peaks at (1M triangles of 3DS, 20 MB: 300 MB),
// at most 1 GiB, a quarter of the address-space limit and a quarter of the free memory.
std::size_t expectedNeed(std::uint64_t bytes) {
    rlimit limit{};
    std::uint64_t cap = std::uint64_t{1} << 30;
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        cap = std::min<std::uint64_t>(cap, limit.rlim_cur / 4);
    struct sysinfo memory {};
    if (::sysinfo(&memory) == 0)
        cap = std::min<std::uint64_t>(cap, (std::uint64_t{memory.freeram} + memory.bufferram) *
                                               memory.mem_unit / 4);
    return static_cast<std::size_t>(std::min<std::uint64_t>(bytes * 16, cap));
}

// Grows the heap by need in one step and starts the thread that faults the new pages in. Nothing
// happens for small files or where the heap is not glibc's (the sanitizers bring their own).
void prepare(std::uint64_t fileBytes) {
    const std::size_t need = expectedNeed(fileBytes);
    if (need < (std::size_t{16} << 20) || std::thread::hardware_concurrency() < 2)
        return;
    ::mallopt(M_TOP_PAD, static_cast<int>(std::min<std::size_t>(need, INT_MAX)));
    auto* before = static_cast<char*>(::sbrk(0));
    // Larger than the free top of the heap and than any free block of a helper that has only
    // loaded its libraries, so that the heap grows now, by need on top.
    const std::size_t top = ::mallinfo2().keepcost;
    void* volatile block = ::malloc(top + (std::size_t{16} << 20)); // kept from the optimiser
    ::free(block);
    auto* after = static_cast<char*>(::sbrk(0));
    if (before == reinterpret_cast<char*>(-1) || after <= before)
        return;
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* from = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(before) + page - 1) &
                                         ~static_cast<std::uintptr_t>(page - 1));
    // Populating maps pages writable without changing a byte, so it may run beside the importer.
    // Without a thread the import goes on as it would have anyway.
    try {
        std::thread([from, after] {
            const std::size_t step = std::size_t{2} << 20;
            for (char* p = from; p < after; p += std::min<std::size_t>(step, after - p))
                if (::madvise(p, std::min<std::size_t>(step, after - p), MADV_POPULATE_WRITE) != 0)
                    return;
        }).detach();
    } catch (const std::system_error&) {
    }
}

} // namespace heap

// Started ahead of its file: everything that can be done without the file is done before the wait.
[[noreturn]] void serve(int resultFd, int requestFd) {
    heap::keepFreedMemory();
    auto* importer = new Assimp::Importer; // registers every reader: the libraries are in
    const std::optional<imp::protocol::request> request = imp::readRequest(requestFd);
    if (!request)
        ::_exit(0); // dismissed: the host ended or started no import
    // The request's socket stays: it is the way to the host's file broker.
    const imp::brokerClient broker(requestFd);
    auto* files = new imp::brokeredFiles(broker);
    imp::sandboxOutcome outcome;
    const bool entered = imp::enterHelperSandbox(*request, outcome, [&] {
        // The model's size tells how much heap to make ready; the importer reads the same
        // descriptor.
        imp::brokerAnswer model = broker.ask(imp::brokerAsk::open, request->file);
        struct stat st {};
        if (model.error == 0 && ::fstat(model.file.get(), &st) == 0)
            heap::prepare(static_cast<std::uint64_t>(st.st_size));
        files->adopt(request->file, std::move(model.file));
    });
    if (!entered)
        fail(resultFd, "cannot enter the sandbox: " + outcome.error);
    importer->SetIOHandler(files); // the importer owns it from here
    childImport(resultFd, importer, request->file.c_str(),
                [&](const std::string& name) -> std::optional<imp::openedTexture> {
                    imp::brokerAnswer a = broker.ask(imp::brokerAsk::texture, name);
                    if (a.error != 0)
                        return std::nullopt;
                    return imp::openedTexture{std::move(a.file), std::move(a.name)};
                });
}

int usage(int status) {
    (status == 0 ? std::cout : std::cerr)
        << "usage: zelimport --stats [--in-process] [--deadline SECONDS] FILE...\n"
           "       zelimport --serve 3 4   (started by the isolated import)\n"
           "--stats imports each FILE as the host does, in a sandboxed helper, and prints what it\n"
           "got, what it took and the bytes of its result against the file's.\n"
           "--in-process reads it in this process instead, for measurements only: no sandbox, no\n"
           "deadline, and textures found and decoded with this process's rights. The host never\n"
           "imports this way; use it only on files you trust.\n";
    return status;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int stats(const std::vector<std::string>& files, bool inProcess,
          const imp::isolationOptions& options) {
    int status = 0;
    for (const std::string& file : files) {
        const auto start = std::chrono::steady_clock::now();
        std::string reason;
        imp::isolationStats cost;
        std::optional<imp::scene> s = inProcess
                                          ? imp::importInProcess(file, &reason)
                                          : imp::importIsolated(file, options, &reason, &cost);
        const double total = since(start);
        if (!s) {
            std::cerr << "zelimport: cannot read " << file << ": " << reason << '\n';
            status = 1;
            continue;
        }
        std::printf("%s: %zu nodes, %zu meshes, %zu materials, %zu textures, %zu animations, %zu "
                    "vertices, %zu triangles; %.3f s",
                    file.c_str(), s->nodes.size(), s->meshes.size(), s->materials.size(),
                    s->textures.size(), s->animations.size(), s->vertexCount(), s->triangleCount(),
                    total);
        if (!inProcess)
            std::printf(" (result from %.3f s, checked at %.3f s)", cost.firstByteSeconds,
                        cost.decodedSeconds);
        std::error_code ec;
        const std::uintmax_t fileBytes = std::filesystem::file_size(file, ec);
        if (!ec && fileBytes > 0)
            std::printf("; encoded %zu bytes, %.1f a byte of the file", imp::encodedSize(*s),
                        double(imp::encodedSize(*s)) / double(fileBytes));
        std::printf("\n");
    }
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    std::printf("peak resident size of this process: %ld MB\n", self.ru_maxrss / 1024);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--serve" && args[1] == "3" && args[2] == "4")
        serve(imp::protocol::resultFd, imp::protocol::requestFd);
    bool statsMode = false, inProcess = false;
    imp::isolationOptions options;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h")
            return usage(0);
        if (args[i] == "--stats")
            statsMode = true;
        else if (args[i] == "--in-process")
            inProcess = true;
        else if (args[i] == "--deadline" && i + 1 < args.size()) {
            char* end = nullptr;
            const double seconds = std::strtod(argv[i + 2], &end);
            if (*end != '\0' || !(seconds > 0))
                return usage(2);
            options.deadline = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
            ++i;
        } else if (args[i].starts_with("-"))
            return usage(2);
        else
            files.emplace_back(args[i]);
    }
    if (!statsMode || files.empty())
        return usage(2);
    return stats(files, inProcess, options);
}
