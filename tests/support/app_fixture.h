// A propPlacer over the recording world, with the package object in place so that start-up can link
// the styles package. With PROPPLACER_FAKE_STYLES_DIR defined, that link finds a toy "zelstyles"
// package there (it registers nothing: the recording world provides the styles context).
#pragma once

#include "package_entry.h"
#include "probes.h"
#include "recording_world.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <memory>

namespace rec {

inline void preparePackage() {
    static const bool ready = [] {
        // The host's package path must not lead to the real styles package.
        unsetEnvironment("ZEL_PACKAGE_PATH");
#ifdef PROPPLACER_FAKE_STYLES_DIR
        zel::component::packageLoader::getTheSingleton().addSearchFolder(
            zel::xstd::fromUtf8(PROPPLACER_FAKE_STYLES_DIR));
#endif
        return initPackage() != nullptr;
    }();
    ASSERT_TRUE(ready);
}

class appTest : public ::testing::Test {
protected:
    void SetUp() override {
        preparePackage();
        w.readerService.files[u"archi.3ds"] = {};
    }

    placerProbe& make() {
        app = std::make_unique<placerProbe>();
        return *app;
    }

    // Starts the application with `folder` as its search path.
    void start(const zel::wstring& folder) {
        w.handle.path = zel::xstd::searchPath({folder});
        app->onStart(zel::application::applicationEvent(&w.handle));
    }

    void key(void (propplacer::propPlacer::*handler)(zel::eventManager::keyEvent*),
             unsigned int code) {
        zel::eventManager::keyEvent event(code);
        (app.get()->*handler)(&event);
    }
    void down(unsigned int code) { key(&propplacer::propPlacer::onKeyDown, code); }
    void up(unsigned int code) { key(&propplacer::propPlacer::onKeyUp, code); }
    void press(unsigned int code) { key(&propplacer::propPlacer::onKeyPress, code); }

    // The node the application placed its model in, or null.
    node* placed() const {
        return app->holder ? dynamic_cast<node*>(modelOf(*app->holder)) : nullptr;
    }

    world w;
    std::unique_ptr<placerProbe> app;
};

} // namespace rec
