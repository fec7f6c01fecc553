#include <zel/base/file_stamp.h>

namespace zel::base {

fileStamp stampOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_size), nanosecondsOf(st.st_mtim),
            nanosecondsOf(st.st_ctim), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_dev)};
}

std::optional<fileStamp> stampOf(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    return stampOf(st);
}

} // namespace zel::base
