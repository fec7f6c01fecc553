// A small recording stand-in for the framework's service objects, for the package's unit tests.
//
// Each service is registered with the real class registry of libzel through a recording class-info
// record (`provider`), so the package finds it exactly as it finds the real services. Objects write
// what is called on them into one shared journal, in call order, so that tests can check sequences
// across objects. Nodes keep a local transform the way the framework describes it (row vectors;
// translations compose after everything, scales, rotations and matrices in front).
//
// Sections: text helpers, the class registry, lists (observers, attributes), scene nodes,
// animation, the reader, services, widgets, the whole world, console capture, temporary folders.
#pragma once

#include <zel/anim.h>
#include <zel/application.h>
#include <zel/client.h>
#include <zel/component.h>
#include <zel/eventmanager.h>
#include <zel/math.h>
#include <zel/polymath.h>
#include <zel/reader.h>
#include <zel/scenegraph.h>
#include <zel/styles.h>
#include <zel/widget.h>
#include <zel/workspace.h>
#include <zel/xstd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace rec {

using zel::wstring;
using journal = std::vector<std::string>;

// ---- text helpers ------------------------------------------------------------------------------

std::string utf8(const wstring& s);
// A float as the classic locale writes it.
std::string num(float f);
// "(x,y,z)"
std::string vecText(const zel::vec3& v);

// How many entries of the journal begin with prefix.
int countPrefix(const journal& j, const std::string& prefix);
// The entries that begin with prefix, in order.
journal filterPrefix(const journal& j, const std::string& prefix);

// ---- the class registry ------------------------------------------------------------------------

// A class-info record for one interface I whose create hands out one given object (or null). It
// counts the lookups that reach it (hasInterface with its identifier) and its creates.
template <class I> class provider final : public zel::component::iClassInfo {
public:
    explicit provider(I* object, zel::xstd::uuid iid = I::IID) : object_(object), iid_(iid) {
        zel::component::classRegistry::getTheSingleton().registerClass(this);
    }
    ~provider() override { zel::component::classRegistry::getTheSingleton().unregisterClass(this); }
    provider(const provider&) = delete;
    provider& operator=(const provider&) = delete;

    void setObject(I* object) { object_ = object; }

    zel::xstd::uuid getUUID() const override { return {}; }
    std::int32_t getRevision() const override { return 1; }
    const std::type_info& getTypeInfo() const override { return typeid(I); }
    zel::component::iPackage* getPackage() const override { return nullptr; }
    bool hasInterface(const zel::xstd::uuid& iid) const override {
        if (!(iid == iid_))
            return false;
        ++lookups;
        return true;
    }
    bool hasInterface(const std::type_info& type) const override { return type == typeid(I); }
    wstring getClassName() const override { return u"recording"; }
    std::vector<zel::xstd::uuid> getInterfaceIds() const override { return {iid_}; }
    std::vector<const std::type_info*> getInterfaceTypes() const override { return {&typeid(I)}; }
    void* create(const zel::xstd::uuid& iid) override {
        ++creates;
        return iid == iid_ ? static_cast<void*>(object_) : nullptr;
    }
    void* create(const std::type_info& type) override {
        ++creates;
        lastType = &type;
        return type == typeid(I) ? static_cast<void*>(object_) : nullptr;
    }
    void* cast(void*, const zel::xstd::uuid&, const zel::xstd::uuid&) override { return nullptr; }
    void* cast(void*, const std::type_info&, const std::type_info&) override { return nullptr; }

    mutable int lookups = 0;
    int creates = 0;
    const std::type_info* lastType = nullptr;

private:
    I* object_;
    zel::xstd::uuid iid_;
};

// ---- lists -------------------------------------------------------------------------------------

// The observers of one recording source, in the order they were added. Like the framework's
// sources it refuses null and an observer that is already listed, and says whether remove found
// it. Tests read it as the vector it is.
template <class O> class observerList : public std::vector<O*> {
public:
    bool add(O* o) {
        if (o == nullptr || has(o))
            return false;
        this->push_back(o);
        return true;
    }
    bool remove(O* o) {
        const auto it = std::find(this->begin(), this->end(), o);
        if (it == this->end())
            return false;
        this->erase(it);
        return true;
    }
    bool has(O* o) const { return std::find(this->begin(), this->end(), o) != this->end(); }
};

// The attributes a node, the reader or a widget owns, in the order they were added.
class attrList : public std::vector<std::unique_ptr<zel::xstd::attr>> {
public:
    // Takes ownership; false for null.
    bool add(zel::xstd::attr* a);
    // Counts the walks in `walks`.
    zel::xstd::iterator<zel::xstd::attr*> iterate(int& walks) const;
};

// ---- scene nodes -------------------------------------------------------------------------------

// "point(x,y,z)", "scale(...)", "quat(x,y,z,w)", "matrix" or "unknown".
std::string describe(const zel::polyMath::xform& x);

// The rotation of an upper 3x3 with its row scale divided out, as the quaternion that setQuat turns
// back into it (the sign convention is taken from setQuat itself).
zel::quat rotationOf(const zel::matrix4& m);

class node : public zel::sceneGraph::iGroupNode {
public:
    node(journal* j, wstring name) : journal_(j), name_(std::move(name)) {}

    wstring getName() const override { return name_; }
    bool setName(const wstring& n) override;
    zel::xstd::iterator<zel::xstd::attr*> getAttributes() const override {
        return attrs.iterate(attributeWalks);
    }
    bool addAttribute(zel::xstd::attr* a) override { return attrs.add(a); }
    bool setXform(const zel::polyMath::xform& x) override;
    bool applyXform(const zel::polyMath::xform& x) override;
    bool getXform(zel::polyMath::xform& x) const override;
    std::int32_t getNumChildren() const override {
        return static_cast<std::int32_t>(children.size());
    }
    zel::sceneGraph::iSceneNode* getChild(std::int32_t i) const override;
    bool addChild(zel::sceneGraph::iSceneNode* n) override;
    bool insertChild(zel::sceneGraph::iSceneNode* n, std::int32_t i) override;
    bool removeChild(std::int32_t i) override;
    zel::xstd::iterator<zel::sceneGraph::iSceneNode*> getNodeIterator() override;

    // Whether `inner` is `outer` or lies below it.
    static bool contains(zel::sceneGraph::iSceneNode* outer, zel::sceneGraph::iSceneNode* inner);

    zel::matrix4 matrix;
    std::vector<zel::matrix4> setMatrices;
    std::vector<zel::sceneGraph::iSceneNode*> children;
    attrList attrs;
    bool refuseInsert = false;
    mutable int attributeWalks = 0;

private:
    void log(const std::string& e) const {
        if (journal_)
            journal_->push_back(e);
    }

    journal* journal_;
    wstring name_;
};

// ---- animation ---------------------------------------------------------------------------------

class anim : public zel::anim::iAnim {
public:
    anim(journal* j, std::string name) : journal_(j), name_(std::move(name)) {}
    bool setAnimFlag(bool on) override;
    const std::string& name() const { return name_; }

private:
    journal* journal_;
    std::string name_;
};

class animPlayer : public zel::anim::iAnimPlayer {
public:
    explicit animPlayer(journal* j) : journal_(j) {}
    bool startAnim(zel::anim::iAnim* a, double t) override;
    bool stopAnim(zel::anim::iAnim* a) override;

private:
    journal* journal_;
};

// ---- reader ------------------------------------------------------------------------------------

// What the recording reader makes of one file name: a new root node named after the file with this
// transform, carrying an animation attribute when `carriesAnim` is set (with `animation`, which may
// be null).
struct fileModel {
    zel::matrix4 matrix;
    bool carriesAnim = false;
    zel::anim::iAnim* animation = nullptr;
};

class world;

class reader : public zel::sceneGraph::reader::iSgReader {
public:
    explicit reader(world* w) : world_(w) {}
    zel::sceneGraph::iSceneNode* readFile(const wstring& name) override;
    bool addAttribute(zel::xstd::attr* a) override { return attrs.add(a); }
    zel::xstd::iterator<zel::xstd::attr*> getAttributes() const override {
        return attrs.iterate(attributeWalks);
    }

    std::map<wstring, fileModel> files;
    attrList attrs;
    // The folders of the first file-search attribute at each readFile, joined by ';'.
    std::vector<std::string> searchPathAtRead;
    std::vector<node*> made;
    mutable int attributeWalks = 0;

private:
    world* world_;
};

// ---- services ----------------------------------------------------------------------------------

class navigator : public zel::workspace::iNavigator {
public:
    explicit navigator(zel::sceneGraph::iSceneNode* n) : node_(n) {}
    zel::sceneGraph::iSceneNode* getNode() override { return node_; }
    void setNode(zel::sceneGraph::iSceneNode* n) { node_ = n; }

private:
    zel::sceneGraph::iSceneNode* node_;
};

class nodeFactory : public zel::sceneGraph::iNodeFactory {
public:
    explicit nodeFactory(world* w) : world_(w) {}
    zel::sceneGraph::iGroupNode* createNode() override;

private:
    world* world_;
};

class sceneContext : public zel::sceneGraph::iContext {
public:
    explicit sceneContext(zel::sceneGraph::iNodeFactory* f) : factory_(f) {}
    zel::sceneGraph::iNodeFactory* getNodeFactory() override { return factory_; }

private:
    zel::sceneGraph::iNodeFactory* factory_;
};

class mouseSource : public zel::sceneGraph::iMouseSource {
public:
    explicit mouseSource(journal* j) : journal_(j) {}
    bool addMouseObserver(zel::sceneGraph::iMouseObserver* o) override;
    bool removeMouseObserver(zel::sceneGraph::iMouseObserver* o) override;
    bool hasMouseObserver(zel::sceneGraph::iMouseObserver* o) const override;
    observerList<zel::sceneGraph::iMouseObserver> observers;

private:
    journal* journal_;
};

class view : public zel::client::iView {
public:
    explicit view(zel::sceneGraph::iMouseSource* m) : mouse_(m) {}
    zel::sceneGraph::iMouseSource* getMouseSource() override { return mouse_; }

private:
    zel::sceneGraph::iMouseSource* mouse_;
};

class clientContext : public zel::client::iContext {
public:
    clientContext(zel::client::iView* v, zel::anim::iAnimPlayer* p) : view_(v), player_(p) {}
    zel::client::iView* getView() override { return view_; }
    zel::anim::iAnimPlayer* getAnimPlayer() override { return player_; }

private:
    zel::client::iView* view_;
    zel::anim::iAnimPlayer* player_;
};

class keySource : public zel::eventManager::iKeySource {
public:
    explicit keySource(journal* j) : journal_(j) {}
    bool addKeyObserver(zel::eventManager::iKeyObserver* o) override;
    bool removeKeyObserver(zel::eventManager::iKeyObserver* o) override;
    bool hasKeyObserver(zel::eventManager::iKeyObserver* o) const override {
        return observers.has(o);
    }
    observerList<zel::eventManager::iKeyObserver> observers;

private:
    journal* journal_;
};

class eventSource : public zel::eventManager::iEventSource {};

class eventContext : public zel::eventManager::iContext {
public:
    eventContext(zel::eventManager::iKeySource* k, zel::eventManager::iEventSource* e)
        : keys_(k), events_(e) {}
    zel::eventManager::iKeySource* getKeySource() override { return keys_; }
    zel::eventManager::iEventSource* getEventSource() override { return events_; }

private:
    zel::eventManager::iKeySource* keys_;
    zel::eventManager::iEventSource* events_;
};

// ---- widgets -----------------------------------------------------------------------------------

// "name=value bool" or "name=value int" for a Tcl-style attribute, "attr" for any other.
std::string describeAttr(const zel::xstd::attr* a);

// The counting and the attributes every recording widget shares, journaled as
// "<kind>.addAttr(...)". The world owns the widgets: they are never deleted when the count drops to
// 0.
template <class W> class counted : public W {
public:
    counted(journal* j, const char* kind) : journal_(j), kind_(kind) {}
    std::int32_t acquire(std::int32_t n) override { return refs += n; }
    std::int32_t release(std::int32_t n) override { return refs -= n; }
    bool addAttr(zel::xstd::attr* a) override {
        journal_->push_back(std::string(kind_) + ".addAttr(" + describeAttr(a) + ")");
        return attrs.add(a);
    }

    std::int32_t refs = 0;
    attrList attrs;

protected:
    journal* journal_;

private:
    const char* kind_;
};

class window : public counted<zel::widget::iWindowFrame> {
public:
    explicit window(journal* j) : counted(j, "window") {}
    bool setPacker(zel::widget::iPacker* p) override;
    bool addWidget(zel::widget::iWidget* w) override;
    bool setTitle(const wstring& t) override;
    bool setFrameStyle(std::int32_t s) override;
    bool setFrameMode(std::int32_t a, std::int32_t b) override;
    bool connectEvents(zel::eventManager::iEventSource* s, std::int32_t mask) override;
    bool disconnectEvents() override;

    wstring title;
    zel::widget::iPacker* packer = nullptr;
    std::vector<zel::widget::iWidget*> children;
};

class label : public counted<zel::widget::iLabel> {
public:
    explicit label(journal* j) : counted(j, "label") {}
    bool setText(const wstring& t) override;
    wstring getText() const override { return texts.empty() ? wstring() : texts.back(); }
    zel::widget::labelSpec getSpec() const override { return spec; }
    bool setSpec(const zel::widget::labelSpec& s) override;

    std::vector<wstring> texts;
    zel::widget::labelSpec spec;
};

class entry : public counted<zel::widget::iEntry> {
public:
    explicit entry(journal* j) : counted(j, "entry") {}
    bool setText(const wstring& t) override;
    wstring getText() const override { return text; }
    zel::widget::labelSpec getSpec() const override { return spec; }
    bool setSpec(const zel::widget::labelSpec& s) override;
    bool addEntryObserver(zel::widget::iEntryObserver* o) override;
    bool removeEntryObserver(zel::widget::iEntryObserver* o) override;
    bool hasEntryObserver(zel::widget::iEntryObserver* o) const override {
        return observers.has(o);
    }

    wstring text;
    zel::widget::labelSpec spec;
    observerList<zel::widget::iEntryObserver> observers;
};

class packer : public zel::widget::iRectangleTclPacker {};

class builder : public zel::widget::tovaStyles::iBuilder {
public:
    builder(journal* j, std::vector<std::unique_ptr<zel::widget::iWidget>>* store)
        : journal_(j), store_(store) {}
    std::int32_t acquire(std::int32_t n) override { return refs += n; }
    std::int32_t release(std::int32_t n) override { return refs -= n; }
    bool build(zel::widget::tovaStyles::widgetElem& e) override;
    bool complete(zel::widget::tovaStyles::widgetElem& e) override;

    std::int32_t refs = 0;
    // Element names for which build makes nothing.
    std::vector<std::string> refused;
    std::vector<window*> windows;
    std::vector<label*> labels;
    std::vector<entry*> entries;

private:
    template <class W> W* keep(std::vector<W*>& list, W* w) {
        store_->emplace_back(w);
        list.push_back(w);
        return w;
    }
    journal* journal_;
    std::vector<std::unique_ptr<zel::widget::iWidget>>* store_;
};

class stylesContext : public zel::widget::tovaStyles::iContext {
public:
    explicit stylesContext(zel::widget::tovaStyles::iBuilder* b) : builder_(b) {}
    zel::widget::tovaStyles::iBuilder* getBuilder() override { return builder_; }
    void setBuilder(zel::widget::tovaStyles::iBuilder* b) { builder_ = b; }

private:
    zel::widget::tovaStyles::iBuilder* builder_;
};

// ---- the application's host side ---------------------------------------------------------------

class applicationHandle : public zel::application::iApplicationHandle {
public:
    explicit applicationHandle(journal* j) : journal_(j) {}
    void setProfile(const zel::application::profile& p) override;
    zel::xstd::searchPath getSearchPath() const override;

    zel::xstd::searchPath path;
    std::vector<zel::application::profile> profiles;

private:
    journal* journal_;
};

// ---- the whole recording world -----------------------------------------------------------------

// Every service at once, each with its own provider. The built-in scene mirrors the framework's:
// a navigator node "navigator" with the children "head" and "wand". Tests switch single services
// off with the `without...` calls before they make an application.
class world {
public:
    world();

    node* makeNode(const wstring& name);

    // Every node named `name` that hangs anywhere below `from`, depth first.
    std::vector<node*> findAll(zel::sceneGraph::iSceneNode* from, const wstring& name);

    void withoutClient() { clientProvider.setObject(nullptr); }
    void withoutScene() { sceneProvider.setObject(nullptr); }
    void withoutEvents() { eventProvider.setObject(nullptr); }
    void withoutReader() { readerProvider.setObject(nullptr); }
    void withoutNavigator() { navigatorProvider.setObject(nullptr); }
    void withoutStyles() { stylesProvider.setObject(nullptr); }
    void withoutPacker() { packerProvider.setObject(nullptr); }
    void withoutRegistryAnim() { animProvider.setObject(nullptr); }

    journal log;
    std::vector<std::unique_ptr<node>> nodes;
    std::vector<std::unique_ptr<zel::widget::iWidget>> widgets;
    std::vector<std::unique_ptr<anim>> anims;

    reader readerService;
    nodeFactory factory;
    sceneContext scene;
    mouseSource mouse;
    view theView;
    animPlayer player;
    clientContext client;
    keySource keys;
    eventSource theEventSource;
    eventContext events;
    builder widgetBuilder;
    stylesContext styles;
    packer thePacker;
    navigator nav{nullptr};
    anim registryAnim{&log, "registryAnim"};
    applicationHandle handle;

    node* navigatorNode = nullptr;
    node* head = nullptr;
    node* wand = nullptr;

    provider<zel::client::iContext> clientProvider;
    provider<zel::sceneGraph::iContext> sceneProvider;
    provider<zel::eventManager::iContext> eventProvider;
    provider<zel::sceneGraph::reader::iSgReader> readerProvider;
    provider<zel::workspace::iNavigator> navigatorProvider;
    provider<zel::widget::tovaStyles::iContext> stylesProvider;
    provider<zel::widget::iRectangleTclPacker> packerProvider;
    provider<zel::anim::iAnim> animProvider;
};

// ---- console capture ---------------------------------------------------------------------------

// Captures what the narrow and the wide console streams write while it lives (libzel forwards the
// wide stream into whatever buffer std::cout has at the time of each write), and counts flushes.
class captureStdout {
public:
    captureStdout();
    ~captureStdout();
    captureStdout(const captureStdout&) = delete;
    captureStdout& operator=(const captureStdout&) = delete;

    // Everything written so far; `take` also forgets it and the flushes.
    std::string text() const { return buffer_.str(); }
    std::string take();
    int flushes() const { return buffer_.flushes; }

private:
    struct countingBuffer : std::stringbuf {
        int sync() override {
            ++flushes;
            return 0;
        }
        int flushes = 0;
    };
    countingBuffer buffer_;
    std::streambuf* previous_;
};

// Captures the narrow and the wide console streams apart, to tell which stream a line went to. The
// wide stream's own buffer is put back afterwards.
class splitStreams {
public:
    splitStreams();
    ~splitStreams();
    splitStreams(const splitStreams&) = delete;
    splitStreams& operator=(const splitStreams&) = delete;

    std::string narrow() const { return narrow_.str(); }
    std::wstring wide() const { return wide_.str(); }

private:
    std::stringbuf narrow_;
    std::wstringbuf wide_;
    std::streambuf* narrowPrevious_;
    std::wstreambuf* widePrevious_;
};

// ---- temporary folders -------------------------------------------------------------------------

// A path from UTF-8 text on every system (a narrow string means the local code page on Windows).
std::filesystem::path utf8Path(std::string_view text);

// A path as the framework's UTF-16 text.
wstring widePath(const std::filesystem::path& p);

// A fresh folder with empty files of the given names (UTF-8), removed again at the end. Throws
// std::runtime_error when no folder can be made.
class tempFolder {
public:
    explicit tempFolder(const std::vector<std::string>& files);
    ~tempFolder();
    tempFolder(const tempFolder&) = delete;
    tempFolder& operator=(const tempFolder&) = delete;

    wstring wide() const { return widePath(path_); }
    // Whether the folder's file system tells names apart that differ only in case.
    bool namesAreCaseSensitive() const;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace rec
