#include "reader.h"

#include <zel/world/geometry.h>

#include <zel/import/model_import.h>
#include <zel/import/scene_codec.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <system_error>
#include <unordered_map>

#include <unistd.h>

namespace zel::world {

namespace fs = std::filesystem;

namespace {

bool isRegularFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Why a name that exists is no model file; empty when it is a regular file or nothing of that name
// exists. Only looks at the name's status: a FIFO is never opened (that would wait for a writer).
std::string notRegularReason(const fs::path& p) {
    std::error_code ec;
    switch (fs::status(p, ec).type()) {
    case fs::file_type::directory:
        return "it is a folder, not a file";
    case fs::file_type::fifo:
        return "it is a FIFO (named pipe), not a regular file";
    case fs::file_type::block:
    case fs::file_type::character:
        return "it is a device, not a regular file";
    case fs::file_type::socket:
        return "it is a socket, not a regular file";
    default:
        return {};
    }
}

// The reason for a name that findModel found no regular file for: what the first thing of that
// name over the same places is, else that there is none.
std::string notFoundReason(const fs::path& name, const std::vector<fs::path>& folders) {
    std::vector<fs::path> candidates;
    if (name.is_absolute()) {
        candidates.push_back(name);
    } else {
        for (const fs::path& folder : folders)
            candidates.push_back(folder / name);
        candidates.push_back(name);
    }
    for (const fs::path& c : candidates)
        if (std::string why = notRegularReason(c); !why.empty())
            return why;
    return "no such file in the search path or the working directory";
}

} // namespace

sceneNode* nodeStore::create(wstring name) {
    nodes_.push_back(std::make_unique<sceneNode>(std::move(name)));
    nodes_.back()->setHooks(hooks_);
    return nodes_.back().get();
}

void nodeStore::setHooks(nodeHooks* hooks) {
    hooks_ = hooks;
    for (const auto& n : nodes_)
        n->setHooks(hooks);
}

std::optional<fs::path> findModel(const fs::path& name, const std::vector<fs::path>& folders) {
    if (name.empty())
        return std::nullopt;
    if (name.is_absolute())
        return name;
    for (const fs::path& folder : folders) {
        const fs::path candidate = folder / name;
        if (isRegularFile(candidate))
            return candidate;
    }
    if (isRegularFile(name))
        return name;
    return std::nullopt;
}

std::vector<fs::path> neighboursOf(const fs::path& file) {
    std::vector<fs::path> names;
    std::error_code ec;
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    constexpr std::size_t maxNames = 100'000;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end && names.size() < maxNames;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find(".3d") != std::string::npos || name.find(".3D") != std::string::npos)
            names.push_back(it->path().filename());
    }
    const auto self = std::find(names.begin(), names.end(), file.filename());
    if (self == names.end() || names.size() < 2)
        return {};
    const std::size_t i = static_cast<std::size_t>(self - names.begin());
    std::vector<fs::path> out{folder / names[(i + 1) % names.size()]};
    if (names.size() > 2)
        out.push_back(folder / names[(i + names.size() - 1) % names.size()]);
    return out;
}

bool sgReader::readAhead(const std::function<bool()>& interrupted) {
    while (!ahead_.empty()) {
        if (interrupted && interrupted())
            return true;
        const fs::path next = ahead_.front();
        std::error_code ec;
        const std::uintmax_t bytes = fs::file_size(next, ec);
        // Within the memory budget: what a model of that size takes, decoded, beside the one
        // shown, at most a quarter of the free memory and 1 GiB.
        const std::uint64_t pages = static_cast<std::uint64_t>(::sysconf(_SC_AVPHYS_PAGES));
        const std::uint64_t budget = std::min<std::uint64_t>(
            std::uint64_t{1} << 30,
            pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / 4);
        if (ec || bytes == 0 || bytes * 6 > budget) {
            ahead_.erase(ahead_.begin());
            continue;
        }
        zel::import::isolationOptions isolation = isolation_;
        isolation.readableFolders = foldersOf<sceneGraph::reader::textureSearchAttr>();
        std::string reason;
        bool stopped = false;
        // A real request stops it at once: the helper is killed and the file tried again later.
        const import::importProgress progress = [&](double) {
            stopped = interrupted && interrupted();
            return !stopped;
        };
        zel::import::importFile(next, isolation, reason, progress);
        if (stopped) {
            // The request that stopped it finds a helper on its way.
            zel::import::prepareImporter(isolation);
            return true;
        }
        ahead_.erase(ahead_.begin());
        return !ahead_.empty();
    }
    return false;
}

sgReader::sgReader(nodeStore& nodes, animPlayer& player, import::isolationOptions isolation)
    : nodes_(nodes), player_(player), isolation_(std::move(isolation)) {}

sgReader::~sgReader() = default;

bool sgReader::addAttribute(xstd::attr* a) {
    if (!a)
        return false;
    attrs_.emplace_back(a);
    return true;
}

xstd::iterator<xstd::attr*> sgReader::getAttributes() const {
    std::vector<xstd::attr*> items;
    for (const auto& a : attrs_)
        items.push_back(a.get());
    return xstd::makeIterator(std::move(items));
}

template <class A> std::vector<fs::path> sgReader::foldersOf() const {
    std::vector<fs::path> folders;
    for (const auto& a : attrs_)
        if (auto* search = dynamic_cast<const A*>(a.get()))
            for (const wstring& folder : search->getSearchPath().getFolders())
                if (!folder.empty())
                    folders.emplace_back(xstd::toUtf8(folder));
    return folders;
}

bool sgReader::animationEnabled() const {
    return std::any_of(attrs_.begin(), attrs_.end(), [](const auto& a) {
        auto* enable = dynamic_cast<const sceneGraph::reader::animAttr*>(a.get());
        return enable && enable->getEnable();
    });
}

sceneGraph::iSceneNode* sgReader::readFile(const wstring& name) {
    auto fail = [&](const std::string& reason) -> sceneGraph::iSceneNode* {
        std::cerr << "readFile(): cannot read " << xstd::toDisplayUtf8(name) << ": " << reason
                  << std::endl;
        return nullptr;
    };
    // File names are bytes: toUtf8 gives back exactly the bytes a listed name came from.
    const fs::path wanted(xstd::toUtf8(name));
    const std::vector<fs::path> folders = foldersOf<sceneGraph::reader::fileSearchAttr>();
    std::optional<fs::path> file = findModel(wanted, folders);
    if (file && file->is_absolute() && !isRegularFile(*file))
        file.reset(); // an absolute name is taken as it is: it may still be no file
    if (!file)
        return fail(name.empty() ? "no file name" : notFoundReason(wanted, folders));
    // The helper may read the model's folder and the texture search folders, nothing else, and
    // finds the textures there itself.
    zel::import::isolationOptions isolation = isolation_;
    isolation.readableFolders = foldersOf<sceneGraph::reader::textureSearchAttr>();
    const std::string shown = xstd::toDisplayUtf8(name);
    zel::import::importProgress progress;
    if (progress_)
        progress = [this, &shown](double done) { return progress_(shown, done); };
    std::string reason;
    const std::shared_ptr<const import::scene> data =
        zel::import::importFile(*file, isolation, reason, progress);
    if (finished_)
        finished_(shown);
    ahead_.clear();
    if (!data)
        return fail(reason);
    ahead_ = neighboursOf(*file);
    if (data->nodes.empty())
        return fail("the file holds no scene");
    const import::scene& sc = *data;

    // The helper found and decoded the pictures; a downscaled one is worth a word.
    for (const import::texture& t : sc.textures)
        if (t.downscaled())
            std::cerr << "readFile(): " << shown << ": texture "
                      << import::sanitizeReason(t.name, 200) << " downscaled from " << t.sourceWidth
                      << "x" << t.sourceHeight << " to " << t.width << "x" << t.height << " pixels"
                      << std::endl;

    // A model whose every material is fully transparent would show nothing at all: its author
    // meant it opaque (some editors write "Tr 1" for opaque).
    const std::vector<std::string> clear = clearMaterials(sc);
    if (!clear.empty()) {
        std::string names;
        for (std::size_t i = 0; i < clear.size() && i < 4; ++i)
            names += (i ? ", " : "") + import::sanitizeReason(clear[i], 80);
        if (clear.size() > 4)
            names += " and " + std::to_string(clear.size() - 4) + " more";
        std::cerr << "readFile(): " << shown
                  << ": drawn opaque: " << (clear.size() == 1 ? "its material " : "its materials ")
                  << names << (clear.size() == 1 ? " is" : " are") << " fully transparent"
                  << std::endl;
    }

    std::vector<sceneNode*> made(sc.nodes.size());
    // The meshes the node at hand named so far (cleared after each node, entry by entry).
    std::vector<bool> named(sc.meshes.size(), false);
    for (std::size_t i = 0; i < sc.nodes.size(); ++i) {
        const import::node& from = sc.nodes[i];
        sceneNode* n = nodes_.create(i == 0 ? xstd::fromUtf8(wanted.filename().string())
                                            : xstd::fromUtf8(from.name));
        n->setMatrix(matrix4(from.matrix));
        // A mesh is drawn once per node however often the node names it: a file that repeats
        // an index thousands of times would otherwise multiply its memory.
        for (std::uint32_t m : from.meshes) {
            if (m >= sc.meshes.size() || named[m])
                continue;
            named[m] = true;
            n->addAttribute(makeSceneGeometry(data, m, !clear.empty()).release());
        }
        for (std::uint32_t m : from.meshes)
            if (m < sc.meshes.size())
                named[m] = false;
        made[i] = n;
    }
    for (std::size_t i = 0; i < sc.nodes.size(); ++i)
        for (std::uint32_t c : sc.nodes[i].children)
            if (c < made.size())
                made[i]->addChild(made[c]);

    if (animationEnabled() && !sc.animations.empty()) {
        std::unordered_map<std::string, sceneNode*> byName;
        for (std::size_t i = 0; i < sc.nodes.size(); ++i)
            byName.emplace(sc.nodes[i].name, made[i]);
        const std::shared_ptr<const import::animation> first(data, &sc.animations.front());
        std::vector<animation::binding> bindings;
        for (const import::channel& ch : first->channels) {
            const auto it = byName.find(ch.node);
            if (it == byName.end())
                continue;
            const matrix4& bind = it->second->getMatrix();
            bindings.push_back(
                {&ch, it->second, scaleOf(bind), rotationOf(bind), translationOf(bind)});
        }
        animation* a = player_.adopt(std::make_unique<animation>(first, std::move(bindings)));
        made[0]->addAttribute(new anim::animAttr(a));
    }
    return made[0];
}

} // namespace zel::world
