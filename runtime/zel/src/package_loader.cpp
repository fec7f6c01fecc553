#include <zel/component.h>

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <set>
#include <system_error>

namespace zel::component {

namespace {

namespace fs = std::filesystem;

using initPackageFn = iPackage* (*)();

fs::path toPath(const wstring& text) {
    return fs::path(xstd::toUtf8(text));
}

wstring fromPath(const fs::path& p) {
    return xstd::fromUtf8(p.native());
}

// A folder written without its trailing separator, so that "a/" and "a" name one folder.
wstring cleanFolder(const fs::path& p) {
    fs::path clean = p.lexically_normal();
    if (clean.has_relative_path() && !clean.has_filename())
        clean = clean.parent_path();
    return fromPath(clean);
}

wstring executableFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? wstring() : fromPath(exe.parent_path());
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

std::string lastDlError(const std::string& file) {
    const char* err = dlerror();
    std::string text = err ? err : "unknown error";
    // dlerror usually starts with the file name, which the reason names already.
    const std::string prefix = file + ": ";
    if (text.compare(0, prefix.size(), prefix) == 0)
        text.erase(0, prefix.size());
    return oneLine(text);
}

void setReason(std::string* reason, const std::string& text) {
    if (reason)
        *reason = text;
}

// Files whose initPackage is running: a package that links to itself while it initialises would
// otherwise load itself without end.
std::set<std::string>& filesLoading() {
    static std::set<std::string>* const loading = new std::set<std::string>;
    return *loading;
}

} // namespace

packageLoader& packageLoader::getTheSingleton() {
    // Never destroyed: loaded packages stay loaded until the process ends.
    static packageLoader* const loader = new packageLoader;
    return *loader;
}

void packageLoader::addSearchFolder(const wstring& folder) {
    if (folder.empty())
        return;
    const wstring clean = cleanFolder(toPath(folder));
    if (std::find(folders_.begin(), folders_.end(), clean) == folders_.end())
        folders_.push_back(clean);
}

std::vector<wstring> packageLoader::getSearchFolders() const {
    std::vector<wstring> folders = folders_;
    auto add = [&folders](const wstring& folder) {
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    };
    if (const char* env = std::getenv("ZEL_PACKAGE_PATH")) {
        const std::string_view list(env);
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string_view::npos)
                end = list.size();
            if (end > start)
                add(cleanFolder(fs::path(std::string(list.substr(start, end - start)))));
            start = end + 1;
        }
    }
    const wstring exeFolder = executableFolder();
    if (!exeFolder.empty()) {
        add(cleanFolder(toPath(exeFolder) / ".." / "lib" / "propplacer"));
        add(exeFolder);
    }
    return folders;
}

iPackage* packageLoader::load(const wstring& name, std::string* reason) {
    const std::string narrowName = xstd::toUtf8(name);
    if (name.empty() || name.find(u'/') != wstring::npos || name.find(u'\0') != wstring::npos) {
        setReason(reason, "invalid package name \"" + narrowName + "\"");
        return nullptr;
    }
    for (const loaded& l : packages_)
        if (l.name == name)
            return l.package;

    const std::string fileName = "lib" + narrowName + ".so";
    const std::vector<wstring> folders = getSearchFolders();
    for (const wstring& folder : folders) {
        const fs::path candidate = toPath(folder) / fileName;
        std::error_code ec;
        if (!fs::is_regular_file(candidate, ec))
            continue;
        // The first file found is the package, even when it fails to load: falling through to
        // another copy would hide the fault.
        iPackage* package = loadFile(fromPath(candidate), reason);
        // The file may have been loaded before, from a path or under another name (a link): the
        // name is remembered as well, so that it gives this package from now on.
        if (package) {
            const auto entry =
                std::find_if(packages_.begin(), packages_.end(),
                             [package](const loaded& l) { return l.package == package; });
            if (entry != packages_.end() && entry->name.empty())
                entry->name = name;
            else if (entry != packages_.end())
                packages_.push_back(loaded{name, entry->path, entry->handle, package});
        }
        return package;
    }
    std::string list;
    for (const wstring& folder : folders)
        list += (list.empty() ? "" : ", ") + xstd::toUtf8(folder);
    setReason(reason, "no " + fileName + " in: " + (list.empty() ? "(no folders)" : list));
    return nullptr;
}

iPackage* packageLoader::loadFile(const wstring& path, std::string* reason) {
    std::error_code ec;
    fs::path file = toPath(path);
    if (file.empty()) {
        setReason(reason, "cannot load an empty file name");
        return nullptr;
    }
    // An absolute path: dlopen would search the library path for a bare name, and the package's
    // directory should not depend on the working directory.
    const fs::path absolute = fs::absolute(file, ec);
    if (!ec)
        file = absolute.lexically_normal();
    const wstring widePath = fromPath(file);
    const std::string shown = file.native();

    for (const loaded& l : packages_)
        if (l.path == widePath)
            return l.package;
    if (filesLoading().count(shown)) {
        setReason(reason, "cannot load " + shown + ": it is still initialising (circular link)");
        return nullptr;
    }

    dlerror();
    void* handle = dlopen(shown.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        setReason(reason, "cannot load " + shown + ": " + lastDlError(shown));
        return nullptr;
    }
    // The same library under another name (a symbolic link, a second folder string).
    for (const loaded& l : packages_) {
        if (l.handle == handle) {
            dlclose(handle);
            return l.package;
        }
    }
    dlerror();
    void* symbol = dlsym(handle, "initPackage");
    if (!symbol) {
        dlclose(handle);
        setReason(reason, shown + " has no initPackage");
        return nullptr;
    }
    auto init = reinterpret_cast<initPackageFn>(symbol);
    filesLoading().insert(shown);
    iPackage* package = init();
    filesLoading().erase(shown);
    if (!package) {
        dlclose(handle);
        setReason(reason, "initPackage of " + shown + " returned no package");
        return nullptr;
    }
    if (auto* plain = dynamic_cast<defaultPackage*>(package))
        plain->setFileName(widePath);
    // Never closed: the package's objects may be alive anywhere in the process.
    packages_.push_back(loaded{wstring(), widePath, handle, package});
    return package;
}

} // namespace zel::component
