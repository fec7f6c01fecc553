// A geometry holder over the recording world, with a "tabletop" attach point under the navigator.
#pragma once

#include "probes.h"
#include "recording_world.h"

#include <gtest/gtest.h>

#include <memory>

namespace rec {

class sinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        tabletop = w.makeNode(u"tabletop");
        w.navigatorNode->children.push_back(tabletop);
        w.readerService.files[u"archi.3ds"] = {};
        sink = std::make_unique<sinkProbe>(&w.readerService);
    }

    // Loads `file` under the tabletop and forgets the journal and the trace of it.
    node* placeUnderTabletop(const zel::wstring& file = u"archi.3ds") {
        captureStdout quiet;
        EXPECT_TRUE(sink->loadGeom(file, tabletop));
        w.log.clear();
        return dynamic_cast<node*>(sink->model);
    }

    world w;
    node* tabletop = nullptr;
    std::unique_ptr<sinkProbe> sink;
};

inline zel::matrix4 translation(float x, float y, float z) {
    zel::matrix4 m;
    m.setTranslate(zel::vec3(x, y, z));
    return m;
}

inline void expectNear(const zel::matrix4& got, const zel::matrix4& want, float tolerance = 1e-5f) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(got(r, c), want(r, c), tolerance) << "element (" << r << ", " << c << ")";
}

} // namespace rec
