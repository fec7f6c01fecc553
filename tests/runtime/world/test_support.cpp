#include "test_support.h"

#include <zel/polymath.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace zeltest {

std::filesystem::path corpusFile(const std::string& relative) {
    return corpusFolder() / relative;
}

std::filesystem::path sampleModel(const std::string& name) {
    return std::filesystem::path(ZEL_SAMPLE_MODELS_DIR) / name;
}

tempDir::tempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelworld-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

tempDir::~tempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<zel::sceneGraph::iSceneNode*> walk(zel::sceneGraph::iSceneNode* node) {
    std::vector<zel::sceneGraph::iSceneNode*> out;
    for (auto it = node->getNodeIterator(); it.isValid(); it.advance())
        out.push_back(it.getCurrent());
    return out;
}

std::vector<std::string> names(const std::vector<zel::sceneGraph::iSceneNode*>& nodes) {
    std::vector<std::string> out;
    for (auto* n : nodes)
        out.push_back(zel::xstd::toUtf8(n->getName()));
    return out;
}

zel::matrix4 matrixOf(const zel::sceneGraph::iSceneNode& node) {
    zel::polyMath::matrix4Xform m;
    node.getXform(m);
    return m.getData();
}

::testing::AssertionResult matrixNear(const zel::matrix4& actual,
                                      const std::array<float, 16>& expected, float tolerance) {
    for (int i = 0; i < 16; ++i) {
        if (!(std::fabs(actual.data()[i] - expected[static_cast<std::size_t>(i)]) <= tolerance)) {
            std::ostringstream text;
            text << "element " << i << " (row " << i / 4 << ", column " << i % 4 << ") is "
                 << actual.data()[i] << ", expected " << expected[static_cast<std::size_t>(i)]
                 << "; actual matrix:";
            for (int k = 0; k < 16; ++k)
                text << (k % 4 == 0 ? "\n  " : " ") << actual.data()[k];
            return ::testing::AssertionFailure() << text.str();
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace zeltest
