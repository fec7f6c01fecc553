#include <zel/xstd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace zel::xstd {

searchPath::searchPath(std::vector<wstring> folders) : folders_(std::move(folders)) {}

searchPath::~searchPath() = default;

wstring searchPath::getCWD() const {
    return folders_.empty() ? wstring() : folders_.front();
}

void searchPath::addFolder(const wstring& folder) {
    folders_.push_back(folder);
}

directory::directory(const wstring& folder) : folder_(folder) {
    namespace fs = std::filesystem;
    if (folder.empty())
        return;
    // Every call takes an error_code: a folder that vanishes or denies access mid-listing gives a
    // shorter list, never an exception.
    std::error_code ec;
    fs::directory_iterator it(fs::path(toUtf8(folder)), ec);
    if (ec)
        return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::error_code typeError;
        // is_regular_file follows a symbolic link, so a link to a regular file is listed.
        if (!it->is_regular_file(typeError) || typeError)
            continue;
        files_.push_back(fromUtf8(it->path().filename().native()));
    }
    // std::u16string compares char16_t values, that is UTF-16 code units.
    std::sort(files_.begin(), files_.end());
}

directory::~directory() = default;

iterator<wstring> directory::getFileIterator() const {
    return makeIterator(files_);
}

} // namespace zel::xstd
