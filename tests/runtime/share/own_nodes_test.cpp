// This site's own nodes as records: sort keys that follow the siblings' order and change only for
// the node that moved, and a deletion that goes out once.
#include "own_nodes.h"

#include <zel/world/scene_node.h>
#include <zel/world/world.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace zel::share;
using namespace zel::share::detail;
using zel::world::sceneNode;

namespace {

// Hands the world's reports to the own nodes, as the shared scene does.
struct forward final : zel::world::nodeHooks {
    ownNodes& o;
    explicit forward(ownNodes& x) : o(x) {}
    void changed(sceneNode& n) override { o.changed(n); }
    void moved(sceneNode& n) override { o.moved(n); }
    void refused(sceneNode&) override {}
};

} // namespace

TEST(OwnNodes, InsertingFirstKeepsTheOtherSiblingsRecords) {
    zel::world::world w;
    ownNodes own(w, siteName{"me", "00000001"});
    forward hooks(own);
    w.setNodeHooks(&hooks);
    sceneNode* parent = w.createNode(u"p");
    w.getRootNode()->addChild(parent);
    std::vector<sceneNode*> kids;
    for (int i = 0; i < 5; ++i) {
        kids.push_back(w.createNode(u"k"));
        parent->addChild(kids.back());
    }
    std::map<std::string, std::string> before;
    for (const outgoing& o : own.collect())
        before[o.key] = encodeRecord(o.record);
    sceneNode* first = w.createNode(u"first");
    parent->insertChild(first, 0);
    std::uint64_t lowest = ~std::uint64_t(0), newKey = 0;
    int differ = 0;
    for (const outgoing& o : own.collect()) {
        if (!before.count(o.key))
            newKey = o.record.order;
        else if (before[o.key] != encodeRecord(o.record))
            ++differ;
        else if (o.record.parent.empty() == false)
            lowest = std::min(lowest, o.record.order);
    }
    EXPECT_EQ(differ, 0);
    EXPECT_LT(newKey, lowest);
    // Moving the last to the front gives only it a new key.
    parent->removeChild(5);
    parent->insertChild(kids.back(), 0);
    differ = 0;
    for (const outgoing& o : own.collect())
        if (before.count(o.key) && before[o.key] != encodeRecord(o.record))
            ++differ;
    EXPECT_EQ(differ, 1);
    w.setNodeHooks(nullptr);
}

TEST(OwnNodes, SortKeysRiseStrictlyAndADeleteGoesOutOnce) {
    zel::world::world w;
    ownNodes own(w, siteName{"me", "00000001"});
    forward hooks(own);
    w.setNodeHooks(&hooks);
    sceneNode* parent = w.createNode(u"p");
    w.getRootNode()->addChild(parent);
    int made = 0;
    auto child = [&] { return w.createNode(zel::xstd::fromUtf8("c" + std::to_string(made++))); };
    for (int i = 0; i < 4; ++i)
        parent->addChild(child());
    own.collect();
    // Between two kept siblings, at the front, at the end, and twice at one place.
    for (std::int32_t at : {2, 0, 6, 3, 3}) {
        SCOPED_TRACE(at);
        parent->insertChild(child(), at);
        own.collect();
        for (auto* c : parent->getChildren())
            dynamic_cast<sceneNode*>(c)->setMatrix(dynamic_cast<sceneNode*>(c)->getMatrix());
        std::map<std::string, std::uint64_t> order; // by name
        for (const outgoing& o : own.collect())
            order[o.record.name] = o.record.order;
        std::uint64_t last = 0;
        for (auto* c : parent->getChildren()) {
            const std::uint64_t k = order.at(zel::xstd::toUtf8(c->getName()));
            EXPECT_GT(k, last) << zel::xstd::toUtf8(c->getName());
            last = k;
        }
    }

    // Unhung, its delete goes once: neither a later change nor leaving sends it again.
    sceneNode* gone =
        parent->getChildren().size() ? dynamic_cast<sceneNode*>(parent->getChild(0)) : nullptr;
    ASSERT_NE(gone, nullptr);
    auto deletes = [](const std::vector<outgoing>& out) {
        return std::count_if(out.begin(), out.end(), [](const outgoing& o) { return o.erase; });
    };
    parent->removeChild(0);
    EXPECT_EQ(deletes(own.collect()), 1);
    gone->setName(u"touched");
    EXPECT_EQ(deletes(own.collect()), 0);
    EXPECT_EQ(deletes(own.leaveAll()), static_cast<long>(parent->getNumChildren()) + 1);
    w.setNodeHooks(nullptr);
}
