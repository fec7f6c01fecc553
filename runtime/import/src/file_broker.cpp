#include <zel/import/file_broker.h>

#include <zel/import/import_protocol.h>

#include <zel/base/eintr.h>
#include <zel/base/file_stamp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxNameBytes = 4096;

std::atomic<bool> useOpenat2{true};

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

bool hasType(const std::string& lowerName, const std::vector<std::string_view>& types) {
    return std::any_of(types.begin(), types.end(), [&](std::string_view t) {
        return lowerName.size() > t.size() + 1 && lowerName.ends_with(t) &&
               lowerName[lowerName.size() - t.size() - 1] == '.';
    });
}

// folder holds path (or is it), component by component.
bool holds(const fs::path& folder, const fs::path& path) {
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end() || (std::next(f) == folder.end() && f->empty());
}

long openat2Call(int dir, const char* name, std::uint64_t flags) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return ::syscall(SYS_openat2, dir, name, &how, sizeof how);
#else
    (void)dir;
    (void)name;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// relative beneath dir as a bare path handle, without following any link: the kernel's way where
// it has one, else a component at a time.
int openPathBeneath(int dir, const fs::path& relative) {
    if (useOpenat2.load(std::memory_order_relaxed)) {
        const long fd = openat2Call(dir, relative.c_str(), O_PATH | O_CLOEXEC);
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
    }
    base::uniqueFd at(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!at)
        return -1;
    std::vector<fs::path> parts(relative.begin(), relative.end());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i].native();
        if (part.empty() || part == "." || part == "..") {
            errno = EXDEV;
            return -1;
        }
        const bool last = i + 1 == parts.size();
        const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY);
        const int next = ::openat(at.get(), part.c_str(), flags);
        if (next < 0) {
            // A link where a folder is named: refused as a link, as openat2 refuses it.
            struct stat st {};
            if (errno == ENOTDIR &&
                ::fstatat(at.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                errno = ELOOP;
            return -1;
        }
        at.reset(next);
    }
    struct stat st {};
    if (::fstat(at.get(), &st) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return at.release();
}

// A readable descriptor of the file a bare path handle names: the same file, opened without
// looking its name up again.
int reopen(int pathFd, const struct stat& seen) {
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    int fd = ::open(self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino) {
        ::close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
}

bool hasDriveLetter(const std::string& name) {
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

} // namespace

const std::vector<std::string_view>& modelFileTypes() {
    // What the importer reads (Assimp::Importer::GetExtensionList), but the bare "xml": every
    // program's settings are XML, and the formats that use it name it with a second extension.
    static const std::vector<std::string_view> types = {
        "3d",      "3ds",  "3mf",   "ac",       "ac3d", "acc",  "amf",     "ase",       "ask",
        "assbin",  "b3d",  "blend", "bsp",      "bvh",  "cob",  "csm",     "dae",       "dxf",
        "enff",    "fbx",  "glb",   "gltf",     "hmp",  "ifc",  "ifczip",  "iqm",       "irr",
        "irrmesh", "lwo",  "lws",   "lxo",      "md2",  "md3",  "md5anim", "md5camera", "md5mesh",
        "mdc",     "mdl",  "mesh",  "mesh.xml", "mot",  "ms3d", "ndo",     "nff",       "obj",
        "off",     "ogex", "pk3",   "ply",      "pmx",  "prj",  "q3o",     "q3s",       "raw",
        "scn",     "sib",  "smd",   "step",     "stl",  "stp",  "ter",     "uc",        "vta",
        "x",       "x3d",  "x3db",  "xgl",      "zae",  "zgl"};
    return types;
}

const std::vector<std::string_view>& companionFileTypes() {
    // Material libraries (OBJ, Ogre), glTF buffers, Ogre skeletons, Quake III skins and shaders,
    // the palette of Quake and Half-Life models.
    static const std::vector<std::string_view> types = {
        "mtl", "bin", "material", "skeleton", "skeleton.xml", "skin", "shader", "lmp"};
    return types;
}

const std::vector<std::string_view>& pictureFileTypes() {
    // What the texture reader decodes.
    static const std::vector<std::string_view> types = {"png", "jpg", "jpeg", "jpe", "tga", "bmp"};
    return types;
}

bool brokerHasOpenat2() {
    errno = 0;
    const long fd = openat2Call(AT_FDCWD, ".", O_PATH | O_CLOEXEC);
    if (fd >= 0)
        ::close(static_cast<int>(fd));
    return fd >= 0 || errno != ENOSYS;
}

void brokerUseOpenat2(bool use) {
    useOpenat2.store(use, std::memory_order_relaxed);
}

fileBroker::fileBroker(const fs::path& model, const std::vector<fs::path>& textureFolders,
                       const fs::path& home, brokerLimits limits)
    : limits_(limits) {
    std::error_code ec;
    const fs::path realHome = home.empty() ? home : fs::weakly_canonical(home, ec);
    auto tooWide = [&](const fs::path& real) {
        return real == real.root_path() || (!realHome.empty() && holds(real, realHome));
    };
    auto addRoot = [&](const fs::path& folder, bool forModel) {
        std::error_code e;
        const fs::path real = fs::weakly_canonical(fs::absolute(folder, e), e);
        if (e || real.empty())
            return;
        const bool wide = tooWide(real);
        if (wide && !forModel)
            return;
        base::uniqueFd fd(::open(real.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!fd)
            return;
        roots_.push_back({real, std::move(fd), wide});
    };
    // The model's folder first: relative names are its.
    if (!model.empty()) {
        addRoot(model.parent_path(), true);
        if (!roots_.empty())
            modelName_ = model.filename();
    }
    for (const fs::path& folder : textureFolders)
        addRoot(folder, false);
}

int fileBroker::open(const root& r, const fs::path& relative, base::uniqueFd& out, bool checkType) {
    if (relative.empty() || relative.is_absolute() || relative.native().size() > maxNameBytes)
        return ENOENT;
    const fs::path normal = relative.lexically_normal();
    if (normal.empty() || normal == "." || *normal.begin() == ".." || normal.has_root_path() ||
        normal.filename().empty())
        return EACCES;
    if (r.flat && std::distance(normal.begin(), normal.end()) != 1)
        return EACCES;
    if (checkType) {
        const bool isModel = &r == &roots_.front() && !modelName_.empty() && normal == modelName_;
        const std::string name = lowered(normal.filename().native());
        if (!isModel && !hasType(name, modelFileTypes()) && !hasType(name, companionFileTypes()) &&
            !hasType(name, pictureFileTypes()))
            return EACCES;
    }
    const base::uniqueFd path(openPathBeneath(r.fd.get(), normal));
    if (!path)
        return errno == EXDEV || errno == ELOOP ? EACCES : errno;
    struct stat st {};
    if (::fstat(path.get(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return EACCES;
    out.reset(reopen(path.get(), st));
    return out ? 0 : errno;
}

brokerAnswer fileBroker::grant(const root& r, const fs::path& relative, base::uniqueFd fd) {
    brokerAnswer a;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        a.error = errno;
        return a;
    }
    const std::pair<std::uint64_t, std::uint64_t> key{st.st_dev, st.st_ino};
    if (!byInode_.count(key)) {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (granted_.size() >= limits_.maxFiles) {
            a.error = EMFILE;
            return a;
        }
        if (size > limits_.maxBytes - bytes_) {
            a.error = EFBIG;
            return a;
        }
        bytes_ += size;
        byInode_[key] = granted_.size();
        granted_.push_back({r.path / relative.lexically_normal(), st.st_dev, st.st_ino, size,
                            base::nanosecondsOf(st.st_mtim), base::nanosecondsOf(st.st_ctim),
                            static_cast<std::uint64_t>(st.st_blocks) * 512});
    }
    a.file = std::move(fd);
    a.name = relative.lexically_normal().string();
    return a;
}

int fileBroker::noteMissing(const root& r, const fs::path& relative, int error) {
    if ((error == ENOENT || error == ENOTDIR) && absent_.size() < maxAbsentNames) {
        fs::path name = r.path / relative.lexically_normal();
        if (absentSeen_.insert(name).second)
            absent_.push_back(std::move(name));
    }
    return error;
}

brokerAnswer fileBroker::openName(std::string_view name, bool descriptor) {
    brokerAnswer a;
    if (roots_.empty() || name.empty() || name.size() > maxNameBytes ||
        name.find('\0') != std::string_view::npos) {
        a.error = ENOENT;
        return a;
    }
    const fs::path asked = fs::path(std::string(name)).lexically_normal();
    const root* r = nullptr;
    fs::path relative;
    if (asked.is_absolute()) {
        for (const root& candidate : roots_)
            if (holds(candidate.path, asked)) {
                r = &candidate;
                relative = asked.lexically_relative(candidate.path);
                break;
            }
    } else if (!modelName_.empty()) {
        r = &roots_.front();
        relative = asked;
    }
    if (!r) {
        a.error = EACCES;
        return a;
    }
    base::uniqueFd fd;
    if ((a.error = noteMissing(*r, relative, open(*r, relative, fd, true))) != 0)
        return a;
    if (!descriptor)
        return a; // an existence question is not a grant
    return grant(*r, relative, std::move(fd));
}

const std::vector<std::string>& fileBroker::listing(std::size_t rootIndex) {
    auto [it, inserted] = listings_.try_emplace(rootIndex);
    if (!inserted)
        return it->second;
    const int fd = ::openat(roots_[rootIndex].fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return it->second;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return it->second;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (it->second.size() >= limits_.maxListing)
            break;
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            it->second.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(it->second.begin(), it->second.end());
    return it->second;
}

brokerAnswer fileBroker::texture(std::string_view name) {
    brokerAnswer a;
    a.error = ENOENT;
    // "*0" and the like name an image embedded in the model file.
    if (name.empty() || name[0] == '*' || name.size() > maxNameBytes ||
        name.find('\0') != std::string_view::npos)
        return a;
    std::string written(name);
    std::replace(written.begin(), written.end(), '\\', '/');
    if (written[0] == '/') {
        a.error = EACCES;
        return a;
    }
    const bool foreign = hasDriveLetter(written);
    const fs::path asWritten = fs::path(written).lexically_normal();
    const fs::path last = fs::path(written).filename();
    if (last.empty() || last == "." || last == "..")
        return a;
    if (!foreign && !asWritten.empty() && *asWritten.begin() == "..") {
        a.error = EACCES;
        return a;
    }
    if (!hasType(lowered(last.native()), pictureFileTypes())) {
        a.error = EACCES;
        return a;
    }
    // The search folders in order, then the model's own.
    std::vector<std::size_t> order;
    const std::size_t firstFolder = modelName_.empty() ? 0 : 1;
    for (std::size_t i = firstFolder; i < roots_.size(); ++i)
        order.push_back(i);
    if (!modelName_.empty())
        order.push_back(0);
    base::uniqueFd fd;
    for (const std::size_t i : order) {
        if (!foreign &&
            noteMissing(roots_[i], asWritten, open(roots_[i], asWritten, fd, false)) == 0)
            return grant(roots_[i], asWritten, std::move(fd));
        if (noteMissing(roots_[i], last, open(roots_[i], last, fd, false)) == 0)
            return grant(roots_[i], last, std::move(fd));
    }
    for (const std::size_t i : order)
        for (const std::string& candidate : listing(i))
            if (equalIgnoringCase(candidate, last.native()) &&
                open(roots_[i], candidate, fd, false) == 0)
                return grant(roots_[i], candidate, std::move(fd));
    return a;
}

brokerAnswer fileBroker::answer(brokerAsk ask, std::string_view name) {
    if (++requests_ > limits_.maxRequests) {
        brokerAnswer a;
        a.error = EBUSY;
        return a;
    }
    switch (ask) {
    case brokerAsk::open:
        return openName(name, true);
    case brokerAsk::exists:
        return openName(name, false);
    case brokerAsk::texture:
        return texture(name);
    }
    brokerAnswer a;
    a.error = EINVAL;
    return a;
}

brokerService::brokerService(int socket, fileBroker& broker) : socket_(socket), broker_(broker) {
    ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
}

void brokerService::service() {
    using namespace protocol;
    for (std::size_t answered = 0; !closed_ && answered < maxAnswersPerCall;) {
        // The header, then the name it announces: never more than one question is read ahead.
        std::size_t want = brokerHeaderSize;
        std::uint32_t ask = 0, length = 0;
        if (pending_.size() >= brokerHeaderSize) {
            decodeBrokerHeader(pending_.data(), ask, length);
            if (length > maxBrokerName) {
                closed_ = true;
                return;
            }
            want += length;
        }
        if (pending_.size() < want) {
            const std::size_t had = pending_.size();
            pending_.resize(want);
            // No ancillary buffer: a descriptor the helper attaches is closed by the kernel.
            const ssize_t got = base::retryOnInterrupt(
                [&] { return ::recv(socket_, pending_.data() + had, want - had, MSG_DONTWAIT); });
            if (got < 0 && errno == EAGAIN) {
                pending_.resize(had);
                return;
            }
            if (got <= 0) {
                closed_ = true;
                return;
            }
            pending_.resize(had + static_cast<std::size_t>(got));
            continue;
        }
        // A helper that asks past the limit is heard no more.
        if (broker_.spent()) {
            closed_ = true;
            return;
        }
        const brokerAnswer a =
            broker_.answer(static_cast<brokerAsk>(ask),
                           std::string_view(pending_.data() + brokerHeaderSize, length));
        pending_.clear();
        ++answered;
        std::vector<char> reply(brokerHeaderSize);
        char header[brokerHeaderSize];
        encodeBrokerHeader(static_cast<std::uint32_t>(a.error),
                           static_cast<std::uint32_t>(a.name.size()), header);
        std::memcpy(reply.data(), header, sizeof header);
        reply.insert(reply.end(), a.name.begin(), a.name.end());
        // A helper that does not read its answers gets no more.
        if (!process::sendWithDescriptor(socket_, reply.data(), reply.size(),
                                         a.error == 0 && a.file ? a.file.get() : -1, true)) {
            closed_ = true;
            return;
        }
    }
}

brokerAnswer brokerClient::ask(brokerAsk ask, std::string_view name) const {
    using namespace protocol;
    brokerAnswer a;
    a.error = EPIPE;
    if (name.size() > maxBrokerName) {
        a.error = ENAMETOOLONG;
        return a;
    }
    std::vector<char> question(brokerHeaderSize);
    char header[brokerHeaderSize];
    encodeBrokerHeader(static_cast<std::uint32_t>(ask), static_cast<std::uint32_t>(name.size()),
                       header);
    std::memcpy(question.data(), header, sizeof header);
    question.insert(question.end(), name.begin(), name.end());
    if (!process::sendWithDescriptor(socket_, question.data(), question.size(), -1, false))
        return a;
    base::uniqueFd fd;
    std::uint32_t error = 0, length = 0;
    if (!process::receiveWithDescriptor(socket_, header, sizeof header, fd))
        return a;
    decodeBrokerHeader(header, error, length);
    if (length > maxBrokerName)
        return a;
    std::string answered(length, '\0');
    if (length > 0 && !process::receiveWithDescriptor(socket_, answered.data(), length, fd))
        return a;
    a.error = static_cast<int>(error);
    if (a.error == 0 && ask != brokerAsk::exists && !fd)
        a.error = EPROTO;
    if (a.error == 0 && ask != brokerAsk::exists)
        a.file = std::move(fd);
    a.name = std::move(answered);
    return a;
}

} // namespace zel::import
