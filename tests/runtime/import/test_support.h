#pragma once

#include <zel/import/imported_scene.h>
#include <zel/import/isolated_import.h>

#include "corpus.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace zel::import::test {

std::filesystem::path corpusDir();

// Isolation as the tests use it: the helper built beside the tests, a generous deadline.
isolationOptions testOptions();

// A fresh folder under the system's temporary folder, removed with the object.
class tempDir {
public:
    tempDir();
    tempDir(const tempDir&) = delete;
    tempDir& operator=(const tempDir&) = delete;
    ~tempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, std::string_view content) const;

private:
    std::filesystem::path path_;
};

std::string readBytes(const std::filesystem::path& file);

// Ends the test program, naming the test, when the object lives longer than limit: a reader that
// loops on a damaged file fails in seconds rather than at the suite's time-out.
class timeBound {
public:
    explicit timeBound(std::chrono::seconds limit);
    timeBound(const timeBound&) = delete;
    timeBound& operator=(const timeBound&) = delete;
    ~timeBound();

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread watch_;
};

// The processes whose parent is parent, running or zombie.
std::vector<pid_t> childrenOf(pid_t parent);

// True when this process has no child at all, running or zombie, within a few seconds.
bool noChildrenLeft();

// Every file under the corpus folder, sorted.
std::vector<std::filesystem::path> corpusFiles();

// A small scene that uses every field: a downscaled texture, two materials, a mesh with normals and
// texture coordinates, one without, a three-level tree that uses one mesh twice, an animation with
// all key kinds.
scene sampleScene();

// Ways to make sampleScene() inconsistent, each with what the decoder's reason must contain. The
// codec's tests and the web page's golden encodings both use this one table.
struct sceneDamage {
    const char* name;
    std::function<void(scene&)> damage;
    const char* reason;
};
const std::vector<sceneDamage>& sceneDamages();

} // namespace zel::import::test
