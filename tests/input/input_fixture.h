// A started application over the recording world, its model placed under "tabletop".
#pragma once

#include "app_fixture.h"

#include <set>

namespace rec {

class inputTest : public appTest {
protected:
    void SetUp() override {
        appTest::SetUp();
        folder = std::make_unique<tempFolder>(std::vector<std::string>{"a.3ds", "b.3ds", "c.3ds"});
        for (const char16_t* f : {u"a.3ds", u"b.3ds", u"c.3ds"})
            w.readerService.files[f] = {};
        make();
        captureStdout quiet;
        start(folder->wide());
        model = placed();
        ASSERT_NE(model, nullptr);
        label = w.widgetBuilder.labels.at(0);
        w.log.clear();
    }

    void toAxis(const zel::wstring& mode) {
        while (app->axisRing.current() != mode)
            app->axisRing.next();
    }

    std::unique_ptr<tempFolder> folder;
    node* model = nullptr;
    rec::label* label = nullptr;
};

} // namespace rec
