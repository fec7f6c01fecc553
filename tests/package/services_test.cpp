// The service getters against recording class-info records in the real class registry.
#include "recording_world.h"
#include "services.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// One getter: its name, its interface identifier as published, and a lookup that registers a
// recording provider for that interface and runs the getter.
struct getterCase {
    const char* name;
    const char* iid;
    std::function<void(const zel::xstd::uuid&)> check;
};

zel::xstd::uuid parsed(const char* text) {
    const auto id = zel::xstd::uuid::parse(text);
    EXPECT_TRUE(id.has_value()) << text;
    return id.value_or(zel::xstd::uuid{});
}

// The checks every getter must pass, for interface I and getter `get`.
template <class I, class G> void checkGetter(const zel::xstd::uuid& iid, G get) {
    {
        SCOPED_TRACE("no provider");
        EXPECT_EQ(get(), nullptr);
    }
    {
        SCOPED_TRACE("a provider under another identifier is not asked to create");
        rec::provider<I> other(nullptr, zel::xstd::uuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
        EXPECT_EQ(get(), nullptr);
        EXPECT_EQ(other.creates, 0);
    }
    {
        SCOPED_TRACE("every call repeats the lookup and the create");
        I* object = reinterpret_cast<I*>(static_cast<std::uintptr_t>(0x1000));
        rec::provider<I> found(object, iid);
        EXPECT_EQ(get(), object);
        EXPECT_EQ(get(), object);
        EXPECT_EQ(found.lookups, 2);
        EXPECT_EQ(found.creates, 2);
        ASSERT_NE(found.lastType, nullptr);
        EXPECT_TRUE(*found.lastType == typeid(I)) << found.lastType->name();
    }
    {
        SCOPED_TRACE("a create that declines gives null");
        rec::provider<I> declining(nullptr, iid);
        EXPECT_EQ(get(), nullptr);
        EXPECT_EQ(declining.creates, 1);
    }
}

TEST(serviceGetters, findTheirInterfaceByItsPublishedIdentifierAndCacheNothing) {
    using namespace propplacer;
    const std::vector<getterCase> cases = {
        {"getClientContext", "85CB97EF-42B5-4BEE-9F46-A54C1801C7BE",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::client::iContext>(iid, getClientContext);
         }},
        {"getSceneContext", "1B746278-1285-4CD2-8ACD-9CB2C52BE0C8",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::sceneGraph::iContext>(iid, getSceneContext);
         }},
        {"getEventContext", "80A9676D-6FAA-4652-B857-B54E83048751",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::eventManager::iContext>(iid, getEventContext);
         }},
        {"getSgReader", "8DBA9F7C-E5B8-11D3-A35E-00C04FA04DF1",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::sceneGraph::reader::iSgReader>(iid, getSgReader);
         }},
        {"getNavigator", "84039FB4-7B73-11D4-A370-00C04F60061A",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::workspace::iNavigator>(iid, getNavigator);
         }},
        {"getStylesContext", "9BFE12C4-FAC3-11D3-A35E-00B0D0201377",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::widget::tovaStyles::iContext>(iid, getStylesContext);
         }},
        {"getRectanglePacker", "D9440310-87E5-11D3-B396-00C04F60061A",
         [](const zel::xstd::uuid& iid) {
             checkGetter<zel::widget::iRectangleTclPacker>(iid, getRectanglePacker);
         }},
        {"getAnimInstance", "15BBBF50-47DA-11D4-91FD-0050040B90E8",
         [](const zel::xstd::uuid& iid) { checkGetter<zel::anim::iAnim>(iid, getAnimInstance); }},
    };
    for (const getterCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(parsed(c.iid));
    }
}

} // namespace
