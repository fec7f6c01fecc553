// Scene graph rules: several parents, insert and remove at 0, walk order, refused cycles, and the
// built-in world.
#include "test_support.h"

#include <zel/component.h>
#include <zel/world/geometry.h>
#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <zel/import/imported_scene.h>

using zel::sceneGraph::iSceneNode;
using zel::world::sceneNode;
using zeltest::names;
using zeltest::w;
using zeltest::walk;

namespace {

class sceneGraphTest : public ::testing::Test {
protected:
    iSceneNode* make(const char* name) {
        iSceneNode* n = factory->createNode();
        n->setName(w(name));
        return n;
    }

    zel::world::world world;
    zel::sceneGraph::iNodeFactory* factory = world.getSceneContext()->getNodeFactory();
};

std::vector<std::string> childNames(const iSceneNode* n) {
    std::vector<std::string> out;
    for (std::int32_t i = 0; i < n->getNumChildren(); ++i)
        out.push_back(zel::xstd::toUtf8(n->getChild(i)->getName()));
    return out;
}

using strings = std::vector<std::string>;

} // namespace

TEST_F(sceneGraphTest, NewNodeIsEmptyAndUnnamedWithIdentity) {
    iSceneNode* n = factory->createNode();
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->getName().empty());
    EXPECT_EQ(n->getNumChildren(), 0);
    EXPECT_EQ(n->getChild(0), nullptr);
    EXPECT_FALSE(n->getAttributes().isValid());
    EXPECT_EQ(zeltest::matrixOf(*n), zel::matrix4());
    EXPECT_NE(factory->createNode(), n);
}

TEST_F(sceneGraphTest, NodeHangsUnderSeveralParentsAndTwiceUnderOne) {
    iSceneNode* a = make("a");
    iSceneNode* b = make("b");
    iSceneNode* c = make("c");
    ASSERT_TRUE(a->addChild(c));
    ASSERT_TRUE(b->addChild(c));
    ASSERT_TRUE(a->addChild(c));
    EXPECT_EQ(childNames(a), (strings{"c", "c"}));
    EXPECT_EQ(b->getChild(0), c);
    // Renaming through one parent is seen through the other: it is one node.
    c->setName(w("renamed"));
    EXPECT_EQ(childNames(b), (strings{"renamed"}));
}

TEST_F(sceneGraphTest, InsertAtZeroPutsFirstEvenWhenAlreadyAChild) {
    iSceneNode* parent = make("p");
    iSceneNode* x = make("x");
    iSceneNode* y = make("y");
    ASSERT_TRUE(parent->addChild(x));
    ASSERT_TRUE(parent->insertChild(y, 0));
    EXPECT_EQ(childNames(parent), (strings{"y", "x"}));
    ASSERT_TRUE(parent->insertChild(x, 0));
    EXPECT_EQ(childNames(parent), (strings{"x", "y", "x"}));
    ASSERT_TRUE(parent->insertChild(y, 3));
    EXPECT_EQ(childNames(parent), (strings{"x", "y", "x", "y"}));
}

TEST_F(sceneGraphTest, RemoveChildTakesOutOnlyThatEntry) {
    iSceneNode* parent = make("p");
    iSceneNode* x = make("x");
    iSceneNode* y = make("y");
    parent->addChild(x);
    parent->addChild(y);
    parent->addChild(x);
    ASSERT_TRUE(parent->removeChild(0));
    EXPECT_EQ(childNames(parent), (strings{"y", "x"}));
    ASSERT_TRUE(parent->removeChild(1));
    EXPECT_EQ(childNames(parent), (strings{"y"}));
    // The removed node lives on: packages keep plain pointers to it.
    EXPECT_EQ(zel::xstd::toUtf8(x->getName()), "x");
}

TEST_F(sceneGraphTest, IndicesOutOfRangeAreRefused) {
    iSceneNode* parent = make("p");
    iSceneNode* x = make("x");
    parent->addChild(x);
    struct step {
        const char* name;
        bool result;
    };
    const step steps[] = {
        {"getChild(-1) is null", parent->getChild(-1) == nullptr},
        {"getChild(1) is null", parent->getChild(1) == nullptr},
        {"removeChild(1)", !parent->removeChild(1)},
        {"removeChild(-1)", !parent->removeChild(-1)},
        {"insertChild(x, 2)", !parent->insertChild(x, 2)},
        {"insertChild(x, -1)", !parent->insertChild(x, -1)},
        {"insertChild(null, 0)", !parent->insertChild(nullptr, 0)},
        {"addChild(null)", !parent->addChild(nullptr)},
        {"addAttribute(null)", !parent->addAttribute(nullptr)},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.result);
    }
    EXPECT_EQ(childNames(parent), (strings{"x"}));
}

TEST_F(sceneGraphTest, IteratorVisitsSelfThenDescendantsDepthFirst) {
    iSceneNode* root = make("root");
    iSceneNode* a = make("a");
    iSceneNode* a1 = make("a1");
    iSceneNode* a2 = make("a2");
    iSceneNode* b = make("b");
    iSceneNode* b1 = make("b1");
    root->addChild(a);
    root->addChild(b);
    a->addChild(a1);
    a->addChild(a2);
    b->addChild(b1);
    // A shared node comes once per place it hangs.
    b1->addChild(a2);
    EXPECT_EQ(names(walk(root)), (strings{"root", "a", "a1", "a2", "b", "b1", "a2"}));
    EXPECT_EQ(names(walk(a2)), (strings{"a2"}));
}

TEST_F(sceneGraphTest, IteratorIsASnapshot) {
    iSceneNode* root = make("root");
    root->addChild(make("a"));
    auto it = root->getNodeIterator();
    root->removeChild(0);
    root->addChild(make("late"));
    std::vector<std::string> seen;
    for (; it.isValid(); it.advance())
        seen.push_back(zel::xstd::toUtf8(it.getCurrent()->getName()));
    EXPECT_EQ(seen, (strings{"root", "a"}));
}

TEST_F(sceneGraphTest, ChildThatWouldCloseACycleIsRefused) {
    // top -> mid -> low; top -> side -> low (low has two parents)
    iSceneNode* top = make("top");
    iSceneNode* mid = make("mid");
    iSceneNode* side = make("side");
    iSceneNode* low = make("low");
    top->addChild(mid);
    top->addChild(side);
    mid->addChild(low);
    side->addChild(low);
    struct attempt {
        const char* name;
        iSceneNode* parent;
        iSceneNode* child;
        bool allowed;
    };
    const attempt attempts[] = {
        {"itself", mid, mid, false},
        {"its parent", low, mid, false},
        {"its grandparent", low, top, false},
        {"an ancestor through the second parent", low, side, false},
        {"a sibling", mid, side, true},
        {"a descendant again", top, low, true},
        {"a node already hanging there", mid, low, true},
    };
    for (const attempt& a : attempts) {
        SCOPED_TRACE(a.name);
        const std::int32_t before = a.parent->getNumChildren();
        EXPECT_EQ(a.parent->addChild(a.child), a.allowed);
        EXPECT_EQ(a.parent->getNumChildren(), before + (a.allowed ? 1 : 0));
        if (!a.allowed) {
            EXPECT_FALSE(a.parent->insertChild(a.child, 0));
        }
    }
    // Every walk still ends.
    EXPECT_EQ(walk(top).size(), 9u);
}

TEST_F(sceneGraphTest, AttributesKeepTheirOrder) {
    iSceneNode* n = make("n");
    auto* first = new zel::world::geometryAttr(nullptr);
    auto* second = new zel::world::geometryAttr(nullptr);
    ASSERT_TRUE(n->addAttribute(first));
    ASSERT_TRUE(n->addAttribute(second));
    const auto found = zeltest::attrsOf<zel::world::geometryAttr>(n);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], first);
    EXPECT_EQ(found[1], second);
    EXPECT_EQ(second->getTriangleCount(), 0u);
}

TEST(sceneGeometry, GeometriesOfOneMaterialShareItsTextureNameAndMeshes) {
    // A file's material may name a texture of any length and be used by every mesh: each
    // geometry points at the one name instead of holding a copy.
    auto scene = std::make_shared<zel::import::scene>();
    scene->meshes.resize(3);
    scene->materials.emplace_back();
    scene->materials[0].diffuseTexture = std::string(1000, 't');
    auto a = zel::world::makeSceneGeometry(scene, 0);
    auto b = zel::world::makeSceneGeometry(scene, 2);
    auto again = zel::world::makeSceneGeometry(scene, 0);
    ASSERT_TRUE(a && b && again);
    EXPECT_EQ(a->getTextureName(), std::string(1000, 't'));
    EXPECT_EQ(&a->getTextureName(), &b->getTextureName());
    EXPECT_EQ(a->getMesh(), again->getMesh());
    EXPECT_FALSE(zel::world::makeSceneGeometry(scene, 3));
    // The scene lives as long as a geometry does.
    scene.reset();
    a.reset();
    EXPECT_EQ(b->getTextureName().size(), 1000u);
    EXPECT_TRUE(zel::world::geometryAttr(nullptr).getTextureName().empty());
}

TEST(builtInWorld, HasTheNavigatorAndAGroundGrid) {
    zel::world::world world;
    iSceneNode* root = world.getRoot();
    EXPECT_EQ(names(walk(root)), (strings{"scene", "navigator", "head", "wand", "ground"}));
    EXPECT_EQ(world.getNavigatorNode(), world.findNode(w("navigator")));
    EXPECT_EQ(world.getNavigator()->getNode(), world.getNavigatorNode());
    EXPECT_EQ(world.getSceneContext()->getRoot(), root);

    EXPECT_TRUE(zeltest::matrixNear(zeltest::matrixOf(*world.findNode(w("navigator"))),
                                    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1.6f, 0, 1}));
    EXPECT_TRUE(zeltest::matrixNear(zeltest::matrixOf(*world.findNode(w("head"))),
                                    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(zeltest::matrixNear(zeltest::matrixOf(*world.findNode(w("wand"))),
                                    {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.25f, -0.25f, -0.5f, 1}));

    // The ground lies flat at y = 0 and reaches well past the tabletop in front of the viewer.
    const auto grid = zeltest::attrsOf<zel::world::geometryAttr>(world.findNode(w("ground")));
    ASSERT_EQ(grid.size(), 1u);
    EXPECT_GT(grid[0]->getTriangleCount(), 0u);
    float minZ = 0, maxY = -1, minY = 1;
    const auto p = grid[0]->getPositions();
    for (std::size_t i = 0; i + 2 < p.size(); i += 3) {
        minY = std::min(minY, p[i + 1]);
        maxY = std::max(maxY, p[i + 1]);
        minZ = std::min(minZ, p[i + 2]);
    }
    EXPECT_EQ(minY, 0.0f);
    EXPECT_EQ(maxY, 0.0f);
    EXPECT_LE(minZ, -5.0f);
    for (std::uint32_t index : grid[0]->getIndices())
        ASSERT_LT(index, grid[0]->getVertexCount());
}

TEST(builtInWorld, TabletopPlacedByTheApplicationIsInFrontOfTheEyeAboveTheGround) {
    zel::world::world world;
    // What the application does: a node under the navigator at (0.75, -1.0, -2.1).
    iSceneNode* tabletop = world.getSceneContext()->getNodeFactory()->createNode();
    zel::polyMath::point3Xform at;
    at.setData(zel::vec3(0.75f, -1.0f, -2.1f));
    tabletop->applyXform(at);
    world.getNavigatorNode()->addChild(tabletop);
    // World position = local * parent's world.
    const zel::matrix4 inWorld =
        zeltest::matrixOf(*tabletop) * zeltest::matrixOf(*world.getNavigatorNode());
    const zel::vec3 p = inWorld.getTranslate();
    EXPECT_NEAR(p[1], 0.6f, 1e-5f); // table height above the ground at y = 0
    EXPECT_LT(p[2], 0.0f);          // ahead of a viewer looking along -z
    EXPECT_GT(p[1], 0.0f);
}

TEST(builtInWorld, RegistryHandsOutTheWorldsServices) {
    auto service = [](const zel::xstd::uuid& iid, const std::type_info& type) -> void* {
        zel::component::iClassInfo* info =
            zel::component::classRegistry::getTheSingleton().findInterface(iid);
        return info ? info->create(type) : nullptr;
    };
    {
        zel::world::world world;
        world.registerServices();
        world.registerServices();
        EXPECT_EQ(service(zel::client::iContext::IID, typeid(zel::client::iContext)),
                  world.getClientContext());
        EXPECT_EQ(service(zel::sceneGraph::iContext::IID, typeid(zel::sceneGraph::iContext)),
                  world.getSceneContext());
        EXPECT_EQ(service(zel::eventManager::iContext::IID, typeid(zel::eventManager::iContext)),
                  world.getEventContext());
        EXPECT_EQ(service(zel::sceneGraph::reader::iSgReader::IID,
                          typeid(zel::sceneGraph::reader::iSgReader)),
                  world.getReader());
        EXPECT_EQ(service(zel::workspace::iNavigator::IID, typeid(zel::workspace::iNavigator)),
                  world.getNavigator());
        EXPECT_EQ(service(zel::widget::iRectangleTclPacker::IID,
                          typeid(zel::widget::iRectangleTclPacker)),
                  world.getPacker());
        // By identifier too, and nothing for an interface the record does not have.
        zel::component::iClassInfo* reader =
            zel::component::classRegistry::getTheSingleton().findInterface(
                zel::sceneGraph::reader::iSgReader::IID);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(reader->create(zel::sceneGraph::reader::iSgReader::IID), world.getReader());
        EXPECT_EQ(reader->create(typeid(zel::workspace::iNavigator)), nullptr);

        // Each animation is a new one that the player accepts and that moves nothing.
        auto* a1 = static_cast<zel::anim::iAnim*>(
            service(zel::anim::iAnim::IID, typeid(zel::anim::iAnim)));
        auto* a2 = static_cast<zel::anim::iAnim*>(
            service(zel::anim::iAnim::IID, typeid(zel::anim::iAnim)));
        ASSERT_NE(a1, nullptr);
        EXPECT_NE(a1, a2);
        zel::anim::iAnimPlayer* player = world.getClientContext()->getAnimPlayer();
        EXPECT_TRUE(player->startAnim(a1, 0));
        EXPECT_TRUE(player->isPlaying(a1));
        a2->setAnimFlag(true);
        EXPECT_TRUE(player->startAnim(a2, 0));
        world.advance(1.0);
        EXPECT_FALSE(player->isPlaying(a1)); // at its end at once
        EXPECT_TRUE(player->isPlaying(a2));  // looping
        EXPECT_TRUE(player->stopAnim(a2));
        EXPECT_FALSE(player->stopAnim(a2));
    }
    // Gone with the world.
    EXPECT_EQ(
        zel::component::classRegistry::getTheSingleton().findInterface(zel::client::iContext::IID),
        nullptr);
    EXPECT_EQ(zel::component::classRegistry::getTheSingleton().findInterface(zel::anim::iAnim::IID),
              nullptr);
}
