#include "packages.h"

#include <zel/component.h>
#include <zel/xstd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace zel::host {

using application::iApplication;

namespace {

std::string packageLabel(component::iPackage* p, const std::string& name) {
    std::string file = xstd::toDisplayUtf8(p->getFileName());
    return file.empty() ? name : name + " (" + file + ")";
}

} // namespace

bool launchPackages(const hostOptions& options, session& s, std::ostream& err) {
    auto& loader = component::packageLoader::getTheSingleton();
    for (const std::string& folder : options.packagePaths)
        loader.addSearchFolder(xstd::fromUtf8(folder));

    struct toRun {
        component::iClassInfo* info;
        std::string package;
    };
    std::vector<toRun> classes;
    std::vector<component::iPackage*> loaded;
    for (const std::string& name : options.packages) {
        std::string reason;
        component::iPackage* p = loader.load(xstd::fromUtf8(name), &reason);
        if (!p) {
            err << "zelhost: cannot load package " << name << ": " << reason << "\n";
            return false;
        }
        if (std::find(loaded.begin(), loaded.end(), p) != loaded.end())
            continue; // named twice: one set of applications
        loaded.push_back(p);
        std::size_t before = classes.size();
        auto& registry = component::classRegistry::getTheSingleton();
        for (component::iClassInfo* info : registry.findAllInterface(iApplication::IID))
            if (info->getPackage() == p)
                classes.push_back({info, name});
        if (classes.size() == before) {
            err << "zelhost: package " << packageLabel(p, name) << " registers no application\n";
            return false;
        }
    }

    for (const toRun& c : classes) {
        auto* app = static_cast<iApplication*>(c.info->create(iApplication::IID));
        if (!app) {
            err << "zelhost: class " << xstd::toDisplayUtf8(c.info->getClassName())
                << " of package " << c.package << " made no application\n";
            return false;
        }
        s.launch(app);
    }
    return true;
}

} // namespace zel::host
