// zelimport: the import helper. The isolated import runs it as
//   zelimport --result-fd FD -- FILE
// and it reads FILE with Assimp and writes the encoded scene, or a failure record, to FD. By hand:
//   zelimport --stats [--in-process] [--deadline SECONDS] FILE...
// imports each FILE the way the host does (isolated, unless --in-process) and prints what it got
// and what it took.

#include <zel/import/assimp_import.h>
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace imp = zel::world::import;

namespace {

bool writeAll(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Hands memory to a pipe without copying it: the pipe keeps references to the pages, and the
// reader's read() is the only copy. The memory must stay unchanged until the reader has it, which
// holds here: nothing is freed or written after the encoding, and the process ends with _exit.
bool spliceAll(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        iovec v{const_cast<char*>(p), n};
        const ssize_t w = ::vmsplice(fd, &v, 1, 0);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
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

// The child's whole work. It leaves through _exit without freeing anything: the importer's scene
// and the copy are gone with the process anyway, and freeing them would only add to the load time.
[[noreturn]] void childImport(int fd, const char* file) {
    try {
        auto* importer = new Assimp::Importer;
        const aiScene* as = importer->ReadFile(file, imp::assimpImportFlags());
        if (!as) {
            const std::string why = importer->GetErrorString();
            // Assimp passes on the exception's name when an allocation fails.
            fail(fd, why.empty()               ? "Assimp cannot read the file"
                     : why == "std::bad_alloc" ? "out of memory"
                                               : why);
        }
        std::string reason;
        auto* converted = new std::optional<imp::scene>(imp::convertScene(*as, &reason));
        if (!*converted)
            fail(fd, reason);
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

int usage(int status) {
    (status == 0 ? std::cout : std::cerr)
        << "usage: zelimport --stats [--in-process] [--deadline SECONDS] FILE...\n"
           "       zelimport --result-fd FD -- FILE   (run by the isolated import)\n";
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
        std::printf("%s: %zu nodes, %zu meshes, %zu materials, %zu animations, %zu vertices, %zu "
                    "triangles; %.3f s",
                    file.c_str(), s->nodes.size(), s->meshes.size(), s->materials.size(),
                    s->animations.size(), s->vertexCount(), s->triangleCount(), total);
        if (!inProcess)
            std::printf(" (result from %.3f s, checked at %.3f s)", cost.firstByteSeconds,
                        cost.decodedSeconds);
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
    if (args.size() == 4 && args[0] == "--result-fd" && args[2] == "--") {
        char* end = nullptr;
        const long fd = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || fd < 0 || fd > 1'000'000)
            return 2;
        childImport(static_cast<int>(fd), argv[4]);
    }
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
