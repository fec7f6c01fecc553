#include <zel/world/world.h>

#include <zel/component.h>
#include <zel/world/animation.h>
#include <zel/world/attr_visit.h>
#include <zel/world/geometry.h>
#include <zel/world/observer_list.h>
#include <zel/world/scene_node.h>
#include <zel/world/service_info.h>
#include <zel/world/widgets.h>

#include "reader.h"
#include "widget_registry.h"
#include <zel/import/model_import.h>

#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>

namespace zel::world {

namespace {

// ---- the services -----------------------------------------------------------------------------

class nodeFactory final : public sceneGraph::iNodeFactory {
public:
    explicit nodeFactory(nodeStore& nodes) : nodes_(nodes) {}
    sceneGraph::iGroupNode* createNode() override { return nodes_.create(); }

private:
    nodeStore& nodes_;
};

class sceneContext final : public sceneGraph::iContext {
public:
    sceneContext(nodeFactory& factory, sceneNode* root) : factory_(factory), root_(root) {}
    sceneGraph::iNodeFactory* getNodeFactory() override { return &factory_; }
    sceneGraph::iSceneNode* getRoot() override { return root_; }

private:
    nodeFactory& factory_;
    sceneNode* root_;
};

class navigatorService final : public workspace::iNavigator {
public:
    explicit navigatorService(sceneNode* node) : node_(node) {}
    sceneGraph::iSceneNode* getNode() override { return node_; }

private:
    sceneNode* node_;
};

class keySource final : public eventManager::iKeySource {
public:
    bool addKeyObserver(eventManager::iKeyObserver* o) override { return observers.add(o); }
    bool removeKeyObserver(eventManager::iKeyObserver* o) override { return observers.remove(o); }
    bool hasKeyObserver(eventManager::iKeyObserver* o) const override { return observers.has(o); }

    observerList<eventManager::iKeyObserver> observers;
};

class eventSource final : public eventManager::iEventSource {};

class eventContext final : public eventManager::iContext {
public:
    eventManager::iKeySource* getKeySource() override { return &keys; }
    eventManager::iEventSource* getEventSource() override { return &source; }

    keySource keys;
    eventSource source;
};

class mouseSource final : public sceneGraph::iMouseSource {
public:
    bool addMouseObserver(sceneGraph::iMouseObserver* o) override { return observers.add(o); }
    bool removeMouseObserver(sceneGraph::iMouseObserver* o) override { return observers.remove(o); }
    bool hasMouseObserver(sceneGraph::iMouseObserver* o) const override { return observers.has(o); }

    observerList<sceneGraph::iMouseObserver> observers;
};

// The client context's view of the world: where the mouse events come from.
class clientView final : public client::iView {
public:
    sceneGraph::iMouseSource* getMouseSource() override { return &mouse; }

    mouseSource mouse;
};

class clientContext final : public client::iContext {
public:
    explicit clientContext(animPlayer& player) : player_(player) {}
    client::iView* getView() override { return &view_; }
    anim::iAnimPlayer* getAnimPlayer() override { return &player_; }
    mouseSource& mouse() { return view_.mouse; }

private:
    clientView view_;
    animPlayer& player_;
};

// Class identifiers of the world's service classes: 5B1E2C90-3A4D-4F6E-9B12-7C3D8E9F0A1n.
constexpr xstd::uuid serviceClassId(std::uint8_t n) {
    return xstd::uuid(0x5B1E2C90, 0x3A4D, 0x4F6E, 0x9B, 0x12, 0x7C, 0x3D, 0x8E, 0x9F, 0x0A, n);
}

// ---- the dump ---------------------------------------------------------------------------------

// The shortest decimal that reads back as the same float, so that 0.1f is written 0.1.
nlohmann::json number(float f) {
    if (!std::isfinite(f))
        return nullptr;
    if (f == 0.0f)
        return 0.0;
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, f);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

nlohmann::json matrixJson(const matrix4& m) {
    nlohmann::json out = nlohmann::json::array();
    for (int i = 0; i < 16; ++i)
        out.push_back(number(m.data()[i]));
    return out;
}

using import::isolationOptions;

// The import child's limits for a world's options.
isolationOptions isolationFor(const worldOptions& options) {
    isolationOptions isolation;
    if (std::isfinite(options.importSeconds) && options.importSeconds > 0.0)
        isolation.deadline = std::chrono::milliseconds(
            static_cast<long long>(std::min(options.importSeconds, 1e9) * 1000.0));
    isolation.addressSpaceLimit = options.importAddressSpace;
    // One helper started ahead, waiting for the next file.
    isolation.keepOneReady = true;
    return isolation;
}

} // namespace

// ---- world ------------------------------------------------------------------------------------

namespace {

// What every node reports to: the shared scene's hooks (when joined) and the host's watch on
// matrices about to change.
struct hookChain final : nodeHooks {
    nodeHooks* next = nullptr;
    world::editWatch watch;
    void changed(sceneNode& n) override {
        if (next)
            next->changed(n);
    }
    void moved(sceneNode& n) override {
        if (watch.moved)
            watch.moved(n);
        if (next)
            next->moved(n);
    }
    void refused(sceneNode& n) override {
        if (next)
            next->refused(n);
    }
    void matrixChanging(sceneNode& n) override {
        if (watch.matrixChanging)
            watch.matrixChanging(n);
        if (next)
            next->matrixChanging(n);
    }
};

} // namespace

struct world::impl {
    explicit impl(worldOptions o)
        : options(o), factory(nodes), root(nodes.create(u"scene")), scene(factory, root),
          reader(nodes, player, isolationFor(o)), client(player) {}

    worldOptions options;
    hookChain hooks;
    nodeStore nodes;
    animPlayer player;
    widgetRegistry widgets;
    rectanglePacker packer;
    nodeFactory factory;
    sceneNode* root;
    sceneContext scene;
    sceneNode* navigatorNode = nullptr;
    std::unique_ptr<navigatorService> navigator;
    eventContext events;
    sgReader reader;
    clientContext client;
    std::vector<std::unique_ptr<component::iClassInfo>> records;
    sceneNode* ground = nullptr;
    std::function<void(nlohmann::json&)> dumpExtension;
};

world::world(worldOptions options) : impl_(std::make_unique<impl>(options)) {
    // Process-wide, as the import's in-memory cache is.
    if (!options.importCacheFolder.empty())
        zel::import::usePersistentCache(
            {true, options.importCacheFolder, options.importCacheBytes, options.importCacheBase});
    impl& w = *impl_;
    w.nodes.setHooks(&w.hooks);
    sceneNode* navigator = w.nodes.create(u"navigator");
    navigator->setMatrix([] {
        matrix4 m;
        m.setTranslate(vec3(0.0f, 1.6f, 0.0f));
        return m;
    }());
    sceneNode* head = w.nodes.create(u"head");
    sceneNode* wand = w.nodes.create(u"wand");
    wand->setMatrix([] {
        matrix4 m;
        m.setTranslate(vec3(0.25f, -0.25f, -0.5f));
        return m;
    }());
    navigator->addChild(head);
    navigator->addChild(wand);
    sceneNode* ground = w.nodes.create(u"ground");
    auto grid = std::make_unique<geometryAttr>(makeGridMesh(10.0f, 1.0f, 0.02f));
    grid->setColor({0.45f, 0.5f, 0.45f, 1.0f});
    ground->addAttribute(grid.release());
    w.root->addChild(navigator);
    w.root->addChild(ground);
    w.root->share().publishable = false;
    ground->share().publishable = false;
    w.ground = ground;
    w.navigatorNode = navigator;
    w.navigator = std::make_unique<navigatorService>(navigator);

    // The first model's helper starts now, its libraries loading while the host starts up.
    zel::import::prepareImporter(isolationFor(options));
}

world::~world() {
    unregisterServices();
    zel::import::dismissReadyImporter();
    // The persistent cache writes what waits and stops its writer here, while the process is
    // whole: a static's destructor would run after the libraries it hashes with are torn down.
    if (!impl_->options.importCacheFolder.empty())
        zel::import::usePersistentCache({});
}

void world::setReadProgress(readProgress callbacks) {
    impl_->reader.setProgress(std::move(callbacks.update), std::move(callbacks.finished));
}

bool world::readAhead(const std::function<bool()>& interrupted) {
    return impl_->options.readAhead && impl_->reader.readAhead(interrupted);
}

void world::registerServices() {
    impl& w = *impl_;
    if (!w.records.empty())
        return;
    auto add = [&](auto record) {
        component::classRegistry::getTheSingleton().registerClass(record.get());
        w.records.push_back(std::move(record));
    };
    add(std::make_unique<serviceInfo<client::iContext>>(serviceClassId(1), typeid(clientContext),
                                                        u"clientContext",
                                                        [this] { return getClientContext(); }));
    add(std::make_unique<serviceInfo<sceneGraph::iContext>>(serviceClassId(2), typeid(sceneContext),
                                                            u"sceneContext",
                                                            [this] { return getSceneContext(); }));
    add(std::make_unique<serviceInfo<eventManager::iContext>>(
        serviceClassId(3), typeid(eventContext), u"eventContext",
        [this] { return getEventContext(); }));
    add(std::make_unique<serviceInfo<sceneGraph::reader::iSgReader>>(
        serviceClassId(4), typeid(sgReader), u"sgReader", [this] { return getReader(); }));
    add(std::make_unique<serviceInfo<workspace::iNavigator>>(serviceClassId(5),
                                                             typeid(navigatorService), u"navigator",
                                                             [this] { return getNavigator(); }));
    add(std::make_unique<serviceInfo<widget::iRectangleTclPacker>>(
        serviceClassId(6), typeid(rectanglePacker), u"rectanglePacker",
        [this] { return getPacker(); }));
    add(std::make_unique<serviceInfo<anim::iAnim>>(
        serviceClassId(7), typeid(animation), u"animation", [this] { return makeEmptyAnim(); }));
    add(std::make_unique<serviceInfo<iWidgetFactory>>(serviceClassId(8), typeid(widgetRegistry),
                                                      u"widgetFactory",
                                                      [this] { return getWidgetFactory(); }));
}

void world::unregisterServices() {
    impl& w = *impl_;
    for (const auto& record : w.records)
        component::classRegistry::getTheSingleton().unregisterClass(record.get());
    w.records.clear();
}

sceneGraph::iSceneNode* world::getRoot() const {
    return impl_->root;
}

sceneGraph::iSceneNode* world::getNavigatorNode() const {
    return impl_->navigatorNode;
}

sceneGraph::iSceneNode* world::findNode(const wstring& name) const {
    sceneGraph::iSceneNode* found = nullptr;
    walkGraph(impl_->root, [&](sceneGraph::iSceneNode* n, int) {
        if (!found && n->getName() == name)
            found = n;
        return !found;
    });
    return found;
}

client::iContext* world::getClientContext() const {
    return &impl_->client;
}

sceneGraph::iContext* world::getSceneContext() const {
    return &impl_->scene;
}

eventManager::iContext* world::getEventContext() const {
    return &impl_->events;
}

sceneGraph::reader::iSgReader* world::getReader() const {
    return &impl_->reader;
}

workspace::iNavigator* world::getNavigator() const {
    return impl_->navigator.get();
}

widget::iRectangleTclPacker* world::getPacker() const {
    return &impl_->packer;
}

iWidgetFactory* world::getWidgetFactory() const {
    return &impl_->widgets;
}

animPlayer* world::getAnimPlayer() const {
    return &impl_->player;
}

anim::iAnim* world::makeEmptyAnim() {
    return impl_->player.adopt(std::make_unique<animation>());
}

void world::keyDown(unsigned int key) {
    eventManager::keyEvent event(key);
    impl_->events.keys.observers.deliver(
        [&](eventManager::iKeyObserver* o) { o->onKeyDown(&event); });
}

void world::keyUp(unsigned int key) {
    eventManager::keyEvent event(key);
    impl_->events.keys.observers.deliver(
        [&](eventManager::iKeyObserver* o) { o->onKeyUp(&event); });
}

void world::keyPress(unsigned int key) {
    eventManager::keyEvent event(key);
    impl_->events.keys.observers.deliver(
        [&](eventManager::iKeyObserver* o) { o->onKeyPress(&event); });
}

bool world::hasMouseObservers() const {
    return !impl_->client.mouse().observers.empty();
}

void world::mouse(sceneGraph::mouseEvent event) {
    void (sceneGraph::iMouseObserver::*handler)(sceneGraph::mouseEvent*) = nullptr;
    switch (event.getEventType()) {
    case sceneGraph::DOWN:
        handler = &sceneGraph::iMouseObserver::onMouseDown;
        break;
    case sceneGraph::DRAG:
        handler = &sceneGraph::iMouseObserver::onMouseDrag;
        break;
    case sceneGraph::MOVE:
        handler = &sceneGraph::iMouseObserver::onMouseMove;
        break;
    case sceneGraph::WHEEL:
        handler = &sceneGraph::iMouseObserver::onMouseWheelDelta;
        break;
    case sceneGraph::UP:
        break;
    }
    if (!handler)
        return;
    impl_->client.mouse().observers.deliver(
        [&](sceneGraph::iMouseObserver* o) { (o->*handler)(&event); });
}

std::vector<windowFrame*> world::getWindows() const {
    return impl_->widgets.getWindows();
}

windowFrame* world::getEntryWindow() const {
    const std::vector<windowFrame*> windows = getWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if ((*it)->getEntry())
            return *it;
    return nullptr;
}

void world::advance(double seconds) {
    impl_->player.advance(seconds);
}

double world::getTime() const {
    return impl_->player.getTime();
}

nlohmann::json world::dump() const {
    const animPlayer& player = impl_->player;
    nlohmann::json scene;
    // The objects being filled, one per level of the walk.
    std::vector<nlohmann::json*> open;
    walkGraph(
        impl_->root,
        [&](sceneGraph::iSceneNode* n, int) {
            nlohmann::json node = {{"name", xstd::toDisplayUtf8(n->getName())},
                                   {"matrix", matrixJson(localMatrix(*n))},
                                   {"children", nlohmann::json::array()}};
            std::size_t vertices = 0;
            std::size_t triangles = 0;
            bool hasGeometry = false;
            const anim::animAttr* carried = nullptr;
            visitAttributes(
                *n,
                [&](const geometryAttr& g) {
                    hasGeometry = true;
                    vertices += g.getVertexCount();
                    triangles += g.getTriangleCount();
                },
                [&](const anim::animAttr& a) {
                    if (!carried)
                        carried = &a;
                });
            if (hasGeometry)
                node["mesh"] = {{"vertices", vertices}, {"triangles", triangles}};
            if (carried)
                node["anim"] = {{"playing", player.isPlaying(carried->getAnim())}};
            if (auto* own = dynamic_cast<const sceneNode*>(n)) {
                const shareState& share = own->share();
                if (!share.owner.empty())
                    node["owner"] = share.owner;
                if (share.mirror && share.mirrorAnim >= 0)
                    node["anim"] = {{"playing", share.mirrorAnim == 1}};
            }
            nlohmann::json* placed;
            if (open.empty()) {
                scene = std::move(node);
                placed = &scene;
            } else {
                nlohmann::json& siblings = (*open.back())["children"];
                siblings.push_back(std::move(node));
                placed = &siblings.back();
            }
            open.push_back(placed);
            return true;
        },
        [&](sceneGraph::iSceneNode*, int) { open.pop_back(); });

    nlohmann::json windows = nlohmann::json::array();
    for (const windowFrame* window : getWindows()) {
        nlohmann::json children = nlohmann::json::array();
        for (const windowFrame::child& c : window->getChildren())
            children.push_back({{"type", c.kind == widgetKind::entry ? "entry" : "label"},
                                {"text", xstd::toDisplayUtf8(c.text)},
                                {"rect", {c.rect.x, c.rect.y, c.rect.width, c.rect.height}}});
        windows.push_back({{"title", xstd::toDisplayUtf8(window->getTitle())},
                           {"connected", window->isConnected()},
                           {"children", std::move(children)}});
    }
    nlohmann::json out = {{"scene", std::move(scene)}, {"windows", std::move(windows)}};
    if (impl_->dumpExtension)
        impl_->dumpExtension(out);
    return out;
}

void world::setDumpExtension(std::function<void(nlohmann::json&)> extend) {
    impl_->dumpExtension = std::move(extend);
}

void world::setNodeHooks(nodeHooks* hooks) {
    impl_->hooks.next = hooks;
}

void world::setEditWatch(editWatch watch) {
    impl_->hooks.watch = std::move(watch);
}

sceneNode* world::createNode(wstring name) {
    return impl_->nodes.create(std::move(name));
}

sceneNode* world::getRootNode() const {
    return impl_->root;
}

sceneNode* world::getGroundNode() const {
    return impl_->ground;
}

} // namespace zel::world
