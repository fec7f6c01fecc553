// The typed walk over a node's attributes.
#include <zel/anim.h>
#include <zel/reader.h>
#include <zel/world/attr_visit.h>
#include <zel/world/scene_node.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zel::world::visitAttributes;

TEST(visitAttributes, eachAttributeGoesToTheFirstHandlerOfItsTypeInTheNodesOrder) {
    zel::world::sceneNode node(u"n");
    auto* first = new zel::anim::animAttr;
    node.addAttribute(first);
    node.addAttribute(new zel::sceneGraph::reader::fileSearchAttr);
    auto* second = new zel::anim::animAttr;
    node.addAttribute(second);
    node.addAttribute(new zel::sceneGraph::reader::textureSearchAttr);

    std::string seen;
    std::vector<const zel::anim::animAttr*> anims;
    visitAttributes(
        node,
        [&](const zel::anim::animAttr& a) {
            seen += 'a';
            anims.push_back(&a);
        },
        [&](zel::sceneGraph::reader::fileSearchAttr&) { seen += 'f'; },
        // Every attribute is an attr: this one sees only what the handlers before it passed over.
        [&](const zel::xstd::attr&) { seen += '*'; });
    EXPECT_EQ(seen, "afa*");
    EXPECT_EQ(anims, (std::vector<const zel::anim::animAttr*>{first, second}));

    // Without a catch-all, what no handler takes is passed over.
    seen.clear();
    visitAttributes(node, [&](const zel::sceneGraph::reader::textureSearchAttr&) { seen += 't'; });
    EXPECT_EQ(seen, "t");
}

TEST(visitAttributes, aNodeWithoutAttributesCallsNothing) {
    const zel::world::sceneNode node(u"bare");
    int calls = 0;
    visitAttributes(node, [&](const zel::xstd::attr&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

} // namespace
