// The scene-graph reader: a model file, found through the search paths and imported in isolation,
// becomes a new node tree in the world.
#pragma once

#include <zel/reader.h>
#include <zel/world/animation.h>
#include <zel/world/scene_node.h>

#include <zel/import/isolated_import.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::world {

// Owns every node of the world until the world ends.
class nodeStore {
public:
    sceneNode* create(wstring name = {});
    std::size_t size() const { return nodes_.size(); }
    // Every node made so far and every node made later reports to hooks (null: to nobody).
    void setHooks(nodeHooks* hooks);

private:
    std::vector<std::unique_ptr<sceneNode>> nodes_;
    nodeHooks* hooks_ = nullptr;
};

// The file for a model name: an absolute name as it is, else the first regular file `folder/name`
// over the folders in order, then `name` in the working directory.
std::optional<std::filesystem::path> findModel(const std::filesystem::path& name,
                                               const std::vector<std::filesystem::path>& folders);

class sgReader final : public sceneGraph::reader::iSgReader {
public:
    // Each model file not read before is imported in a child with these limits.
    sgReader(nodeStore& nodes, animPlayer& player, import::isolationOptions isolation);
    ~sgReader() override;
    sgReader(const sgReader&) = delete;
    sgReader& operator=(const sgReader&) = delete;

    // A new tree: the root named after the file carries the file's root transform, below it one
    // node per node of the file. Null on failure, with the line
    // `readFile(): cannot read NAME: REASON` on stderr.
    sceneGraph::iSceneNode* readFile(const wstring& name) override;
    bool addAttribute(xstd::attr* a) override;
    xstd::iterator<xstd::attr*> getAttributes() const override;

    // Told while readFile imports (world::setReadProgress).
    void setProgress(std::function<bool(const std::string&, double)> update,
                     std::function<void(const std::string&)> finished) {
        progress_ = std::move(update);
        finished_ = std::move(finished);
    }

    // One step of reading ahead (world::readAhead): imports the next pending neighbour of the
    // file read last. True when one was imported or found ready and more may follow.
    bool readAhead(const std::function<bool()>& interrupted);

private:
    template <class A> std::vector<std::filesystem::path> foldersOf() const;
    bool animationEnabled() const;

    nodeStore& nodes_;
    animPlayer& player_;
    zel::import::isolationOptions isolation_;
    std::vector<std::unique_ptr<xstd::attr>> attrs_;
    std::function<bool(const std::string&, double)> progress_;
    std::function<void(const std::string&)> finished_;
    // The neighbours of the file read last still to be read ahead, the nearest first.
    std::vector<std::filesystem::path> ahead_;
};

// The names beside `file` in its folder that a package stepping through the folder goes to next
// and before it: names holding ".3d" or ".3D", in the folder's own order, wrapping round. Without
// file itself; at most two, the next first.
std::vector<std::filesystem::path> neighboursOf(const std::filesystem::path& file);

} // namespace zel::world
