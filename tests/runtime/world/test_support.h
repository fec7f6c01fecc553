// Shared helpers of the world's tests.
#pragma once

#include <zel/math.h>
#include <zel/scenegraph.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

#include "corpus.h"

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace zeltest {

inline zel::wstring w(std::string_view utf8) {
    return zel::xstd::widen(utf8);
}

std::filesystem::path corpusFile(const std::string& relative);
std::filesystem::path sampleModel(const std::string& name);

// A fresh folder that is removed with everything in it.
class tempDir {
public:
    tempDir();
    ~tempDir();
    tempDir(const tempDir&) = delete;
    tempDir& operator=(const tempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Every node that getNodeIterator visits from node, in order.
std::vector<zel::sceneGraph::iSceneNode*> walk(zel::sceneGraph::iSceneNode* node);
std::vector<std::string> names(const std::vector<zel::sceneGraph::iSceneNode*>& nodes);

template <class A> std::vector<A*> attrsOf(const zel::sceneGraph::iSceneNode* node) {
    std::vector<A*> out;
    for (auto it = node->getAttributes(); it.isValid(); it.advance())
        if (auto* a = dynamic_cast<A*>(it.getCurrent()))
            out.push_back(a);
    return out;
}

zel::matrix4 matrixOf(const zel::sceneGraph::iSceneNode& node);

// Element by element within tolerance, naming the first element that differs.
::testing::AssertionResult matrixNear(const zel::matrix4& actual,
                                      const std::array<float, 16>& expected,
                                      float tolerance = 1e-5f);

} // namespace zeltest

// A model file the test reads: skipped when missing, failed when the corpus is required.
#define ZEL_REQUIRE_FILE(p) ZEL_NEEDS_CORPUS_FILE(p)
