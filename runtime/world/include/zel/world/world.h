// The framework's world: every service object of one process (scene graph and built-in world,
// reader, animation player, event manager, widgets and packer, client, scene and event contexts,
// navigator), registered in the class registry so that packages find them by interface identifier.
// The host and the tests make one world, drive it with input, advance its clock and dump it.
#pragma once

#include <zel/anim.h>
#include <zel/client.h>
#include <zel/eventmanager.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/types.h>
#include <zel/widget.h>
#include <zel/workspace.h>

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zel::world {

class animPlayer;
class sceneNode;
class nodeHooks;
class windowFrame;
class iWidgetFactory;

struct worldOptions {
    // Limits of the child process that imports each model file. importSeconds 0: the deadline
    // follows the file's size (2 s and 0.5 s for every MiB begun).
    double importSeconds = 0.0;
    std::size_t importAddressSpace = std::size_t(4) << 30;
    // The persistent import cache's folder (empty: none), the folder the user named above it
    // (cacheSettings::base; empty: the folder's parent) and its size bound.
    std::string importCacheFolder;
    std::string importCacheBase;
    std::uint64_t importCacheBytes = std::uint64_t{2} << 30;
    // Whether readAhead imports anything.
    bool readAhead = false;
};

class world {
public:
    explicit world(worldOptions options = {});
    // Unregisters the services and destroys every node, widget and animation it made.
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // Registers the services in the class registry (client, scene and event contexts, reader,
    // navigator, rectangle packer, animation, and the widget factory that the styles package
    // builds with). Idempotent. The registry's iAnim gives a new animation that plays nothing,
    // owned by the world, on each create.
    void registerServices();
    void unregisterServices();

    // The built-in world: "scene" with "navigator" (children "head" and "wand") and "ground". The
    // navigator stands at eye height (0, 1.6, 0) above the ground (y = 0) and looks along -z;
    // "head" is at its origin, "wand" at (0.25, -0.25, -0.5).
    sceneGraph::iSceneNode* getRoot() const;
    sceneGraph::iSceneNode* getNavigatorNode() const;
    // The first node of that name under the root, depth first, or null.
    sceneGraph::iSceneNode* findNode(const wstring& name) const;

    // The services themselves, as the registry hands them out.
    client::iContext* getClientContext() const;
    sceneGraph::iContext* getSceneContext() const;
    eventManager::iContext* getEventContext() const;
    sceneGraph::reader::iSgReader* getReader() const;
    workspace::iNavigator* getNavigator() const;
    widget::iRectangleTclPacker* getPacker() const;
    iWidgetFactory* getWidgetFactory() const;
    animPlayer* getAnimPlayer() const;
    // A new animation that plays nothing, owned by the world.
    anim::iAnim* makeEmptyAnim();

    // Input, delivered as the event manager does: to the key observers; to the view's mouse
    // observers (a DOWN event to onMouseDown, DRAG to onMouseDrag, MOVE to onMouseMove, WHEEL to
    // onMouseWheelDelta; UP to nobody).
    void keyDown(unsigned int key);
    void keyUp(unsigned int key);
    void keyPress(unsigned int key);
    void mouse(sceneGraph::mouseEvent event);
    // True while the view has a mouse observer: someone holds the mouse, so the viewer leaves it
    // alone.
    bool hasMouseObservers() const;

    // Told while the reader imports a model file (readFile itself stays synchronous), from inside
    // that readFile. update: about every 50 ms, the file's name as the package gave it (UTF-8) and
    // the part done (0 to 1); returning false cancels the read, which then fails as any failed
    // read does. finished: once the import is over, before readFile reports a failure. The host
    // keeps its window alive through them. Empty functions: nobody is told.
    struct readProgress {
        std::function<bool(const std::string& file, double done)> update;
        std::function<void(const std::string& file)> finished;
    };
    void setReadProgress(readProgress callbacks);

    // Reads ahead while the host has nothing else to do: imports the next and the previous model
    // file beside the one the reader read last (as a package stepping through its folder would
    // name them) into the import caches, one step a call, so that stepping to one of them costs
    // only building its nodes. interrupted is asked before and, about every 50 ms, during the
    // import; true stops it at once (the file is tried again at the next call). Returns true while
    // more may follow. Files that would not fit the memory budget are passed over. Nothing unless
    // the world's options allow it.
    bool readAhead(const std::function<bool()>& interrupted);

    // The live windows, oldest first.
    std::vector<windowFrame*> getWindows() const;
    // The newest live window that holds an entry, or null. The host's entry and resize commands act
    // on it.
    windowFrame* getEntryWindow() const;

    // Advances the animation clock and applies every playing animation to its nodes.
    void advance(double seconds);
    double getTime() const;

    // {"scene": NODE, "windows": [WINDOW, ...]} as the host's --dump writes it. A node with an
    // owner in a shared scene has "owner": SITE. The extension, when set, adds to the top level.
    nlohmann::json dump() const;
    void setDumpExtension(std::function<void(nlohmann::json&)> extend);

    // Told, on the thread that owns the world, of every node whose matrix is about to change (it
    // still holds the old one) and of every node hung somewhere or taken out; empty functions:
    // nobody. The host's undo history listens here.
    struct editWatch {
        std::function<void(sceneNode&)> matrixChanging;
        std::function<void(sceneNode&)> moved;
    };
    void setEditWatch(editWatch watch);

    // ---- for a shared scene ----
    // Every node, those made so far and those made later, reports its changes to hooks (null: to
    // nobody). Call on the thread that owns the world.
    void setNodeHooks(nodeHooks* hooks);
    // A new node that lives as long as the world, in no place yet.
    sceneNode* createNode(wstring name = {});
    sceneNode* getRootNode() const;
    sceneNode* getGroundNode() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace zel::world
