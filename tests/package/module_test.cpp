// The built module, loaded as the framework loads it: dlopen, initPackage, the class-info record.
#include "recording_world.h"

#include <zel/application.h>
#include <zel/component.h>
#include <zel/eventmanager.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <sstream>

namespace {

using zel::component::iClassInfo;
using zel::component::iPackage;
using initFunction = iPackage* (*)();

initFunction loadModule() {
    static initFunction init = [] {
        void* handle = dlopen(PROPPLACER_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            ADD_FAILURE() << "dlopen: " << dlerror();
            return initFunction{};
        }
        return reinterpret_cast<initFunction>(dlsym(handle, "initPackage"));
    }();
    return init;
}

zel::xstd::uuid id(const char* text) {
    const auto parsed = zel::xstd::uuid::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(zel::xstd::uuid{});
}

const zel::xstd::uuid classId = id("F0B60ABD-B582-4454-822E-F87F684564A5");
const zel::xstd::uuid applicationId = id("E2344DED-503E-45CD-8F17-6D60F12D815D");

class moduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        init = loadModule();
        ASSERT_NE(init, nullptr);
        package = init();
        ASSERT_NE(package, nullptr);
        auto* plain = dynamic_cast<zel::component::defaultPackage*>(package);
        ASSERT_NE(plain, nullptr);
        ASSERT_EQ(plain->getClasses().size(), 1u);
        record = plain->getClasses().front();
    }

    initFunction init = nullptr;
    iPackage* package = nullptr;
    iClassInfo* record = nullptr;
};

TEST_F(moduleTest, everyCallReturnsTheOnePackageWithItsClassRegisteredOnce) {
    EXPECT_EQ(init(), package);
    EXPECT_EQ(init(), package);
    EXPECT_EQ(package->getName(), u"propplacer");
    auto* plain = dynamic_cast<zel::component::defaultPackage*>(package);
    EXPECT_EQ(plain->getClasses().size(), 1u);
    int ours = 0;
    for (iClassInfo* r :
         zel::component::classRegistry::getTheSingleton().findAllInterface(applicationId))
        ours += r->getPackage() == package ? 1 : 0;
    EXPECT_EQ(ours, 1);
    EXPECT_EQ(zel::component::classRegistry::getTheSingleton().findInterface(applicationId),
              record);
}

// The console is set up once, when the module loads. A host that then captures the wide trace in a
// buffer of its own must keep it across later calls of initPackage.
TEST_F(moduleTest, laterCallsLeaveTheHostsWideStreamAlone) {
    std::wstringbuf capture;
    std::wstreambuf* before = std::wcout.rdbuf(&capture);
    EXPECT_EQ(init(), package);
    EXPECT_EQ(std::wcout.rdbuf(), &capture);
    std::wcout.rdbuf(before);
}

TEST_F(moduleTest, recordDescribesTheApplicationClass) {
    EXPECT_EQ(record->getUUID(), classId);
    EXPECT_EQ(record->getRevision(), 1);
    EXPECT_EQ(record->getPackage(), init());
    EXPECT_NE(std::string(record->getTypeInfo().name()).find("propPlacer"), std::string::npos);
    EXPECT_NE(zel::xstd::toUtf8(record->getClassName()).find("propPlacer"), std::string::npos);
}

TEST_F(moduleTest, registersExactlyTheApplicationInterfaceOnceByTypeAndOnceById) {
    const std::vector<zel::xstd::uuid> ids = record->getInterfaceIds();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], applicationId);
    const std::vector<const std::type_info*> types = record->getInterfaceTypes();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_TRUE(*types[0] == typeid(zel::application::iApplication));

    EXPECT_TRUE(record->hasInterface(applicationId));
    EXPECT_TRUE(record->hasInterface(typeid(zel::application::iApplication)));
    EXPECT_FALSE(record->hasInterface(zel::xstd::uuid{}));
    EXPECT_FALSE(record->hasInterface(classId));
    EXPECT_FALSE(record->hasInterface(typeid(zel::component::iNullClass)));
    EXPECT_FALSE(record->hasInterface(typeid(zel::eventManager::iKeyObserver)));
}

TEST_F(moduleTest, createMakesAFreshApplicationForTheApplicationInterfaceOnly) {
    // Construction looks up the client context first, so its lookups count constructions.
    rec::provider<zel::client::iContext> client(nullptr);

    std::set<void*> made;
    for (int i = 0; i < 2; ++i) {
        made.insert(record->create(applicationId));
        made.insert(record->create(typeid(zel::application::iApplication)));
    }
    EXPECT_EQ(made.size(), 4u);
    EXPECT_EQ(made.count(nullptr), 0u);
    EXPECT_EQ(client.lookups, 4);

    EXPECT_EQ(record->create(zel::xstd::uuid{}), nullptr);
    EXPECT_EQ(record->create(classId), nullptr);
    EXPECT_EQ(record->create(typeid(zel::component::iNullClass)), nullptr);
    EXPECT_EQ(record->create(typeid(zel::eventManager::iKeyObserver)), nullptr);
    EXPECT_EQ(client.lookups, 4) << "a refused create must construct nothing";

    for (void* object : made)
        delete static_cast<zel::application::iApplication*>(object);
}

TEST_F(moduleTest, castServesOnlyTheApplicationInterfaceOnBothSides) {
    void* object = record->create(applicationId);
    ASSERT_NE(object, nullptr);
    const std::type_info& app = typeid(zel::application::iApplication);
    const std::type_info& keys = typeid(zel::eventManager::iKeyObserver);

    EXPECT_EQ(record->cast(object, applicationId, applicationId), object);
    EXPECT_EQ(record->cast(object, applicationId, zel::xstd::uuid{}), nullptr);
    EXPECT_EQ(record->cast(object, applicationId, classId), nullptr);
    EXPECT_EQ(record->cast(object, classId, applicationId), nullptr);
    EXPECT_EQ(record->cast(object, zel::xstd::uuid{}, applicationId), nullptr);
    EXPECT_EQ(record->cast(nullptr, applicationId, applicationId), nullptr);

    EXPECT_EQ(record->cast(object, app, app), object);
    EXPECT_EQ(record->cast(object, app, keys), nullptr);
    EXPECT_EQ(record->cast(object, keys, app), nullptr);
    EXPECT_EQ(record->cast(nullptr, app, app), nullptr);

    // An iApplication that is not a propPlacer is not taken for one.
    zel::application::iApplication stranger;
    EXPECT_EQ(record->cast(&stranger, applicationId, applicationId), nullptr);
    EXPECT_EQ(record->cast(&stranger, app, app), nullptr);

    delete static_cast<zel::application::iApplication*>(object);
}

TEST_F(moduleTest, anApplicationWithoutAnyServiceTakesEveryCallWithoutEffect) {
    auto* app = static_cast<zel::application::iApplication*>(record->create(applicationId));
    ASSERT_NE(app, nullptr);
    rec::captureStdout out;
    const zel::application::applicationEvent event;
    app->onActivate(event);
    app->onDeactivate(event);
    app->onNotify(event);
    app->onStop(event);
    EXPECT_EQ(out.take(), "propPlacer::onActivate() Adding observers.\n"
                          "propPlacer::onDeactivate() Removing observers.\n"
                          "propPlacer::onStop() Cleaning up.\n");

    // Before start-up there is no holder and no status label: every key is harmless.
    auto* keys = dynamic_cast<zel::eventManager::iKeyObserver*>(app);
    ASSERT_NE(keys, nullptr);
    for (unsigned int code = 0; code < 0x100; ++code) {
        zel::eventManager::keyEvent key(code);
        keys->onKeyDown(&key);
        keys->onKeyPress(&key);
        keys->onKeyUp(&key);
    }
    EXPECT_EQ(out.take(), "");
    delete app;
}

} // namespace
