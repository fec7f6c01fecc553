// A small recording stand-in for the framework's service objects, for the package's unit tests.
//
// Each service is registered with the real class registry of libzel through a recording class-info
// record (`provider`), so the package finds it exactly as it finds the real services. Objects write
// what is called on them into one shared journal, in call order, so that tests can check sequences
// across objects. Nodes keep a local transform the way the framework describes it (row vectors;
// translations compose after everything, scales, rotations and matrices in front).
#pragma once

#include <zel/anim.h>
#include <zel/application.h>
#include <zel/client.h>
#include <zel/component.h>
#include <zel/console.h>
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
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace rec {

using zel::wstring;
using journal = std::vector<std::string>;

inline std::string utf8(const wstring& s) {
    return zel::xstd::toUtf8(s);
}

inline std::string num(float f) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << f;
    return out.str();
}

inline std::string vecText(const zel::vec3& v) {
    return "(" + num(v[0]) + "," + num(v[1]) + "," + num(v[2]) + ")";
}

// How many entries of the journal begin with prefix.
inline int countPrefix(const journal& j, const std::string& prefix) {
    return static_cast<int>(std::count_if(j.begin(), j.end(), [&](const std::string& e) {
        return e.compare(0, prefix.size(), prefix) == 0;
    }));
}

// The entries that begin with prefix, in order.
inline journal filterPrefix(const journal& j, const std::string& prefix) {
    journal out;
    for (const std::string& e : j)
        if (e.compare(0, prefix.size(), prefix) == 0)
            out.push_back(e);
    return out;
}

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

// ---- scene nodes -----------------------------------------------------------------------------

inline std::string describe(const zel::polyMath::xform& x) {
    if (auto* p = dynamic_cast<const zel::polyMath::point3Xform*>(&x))
        return "point" + vecText(p->getData());
    if (auto* s = dynamic_cast<const zel::polyMath::scaleXform*>(&x))
        return "scale" + vecText(s->getData());
    if (auto* q = dynamic_cast<const zel::polyMath::quatXform*>(&x)) {
        const zel::quat d = q->getData();
        return "quat(" + num(d[0]) + "," + num(d[1]) + "," + num(d[2]) + "," + num(d[3]) + ")";
    }
    if (dynamic_cast<const zel::polyMath::matrix4Xform*>(&x))
        return "matrix";
    return "unknown";
}

// The rotation of an upper 3x3 with its row scale divided out, as the quaternion that setQuat turns
// back into it (the sign convention is taken from setQuat itself).
inline zel::quat rotationOf(const zel::matrix4& m) {
    float r[3][3];
    for (int i = 0; i < 3; ++i) {
        const float len = std::sqrt(m(i, 0) * m(i, 0) + m(i, 1) * m(i, 1) + m(i, 2) * m(i, 2));
        for (int j = 0; j < 3; ++j)
            r[i][j] = len > 0.0f ? m(i, j) / len : 0.0f;
    }
    const float w = std::sqrt(std::max(0.0f, 1.0f + r[0][0] + r[1][1] + r[2][2])) / 2.0f;
    const float x = std::copysign(std::sqrt(std::max(0.0f, 1.0f + r[0][0] - r[1][1] - r[2][2])) / 2,
                                  r[1][2] - r[2][1]);
    const float y = std::copysign(std::sqrt(std::max(0.0f, 1.0f - r[0][0] + r[1][1] - r[2][2])) / 2,
                                  r[2][0] - r[0][2]);
    const float z = std::copysign(std::sqrt(std::max(0.0f, 1.0f - r[0][0] - r[1][1] + r[2][2])) / 2,
                                  r[0][1] - r[1][0]);
    const zel::quat a(x, y, z, w);
    const zel::quat b(-x, -y, -z, w);
    zel::matrix4 ma;
    ma.setQuat(a);
    zel::matrix4 mb;
    mb.setQuat(b);
    float ea = 0;
    float eb = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            ea += std::fabs(ma(i, j) - r[i][j]);
            eb += std::fabs(mb(i, j) - r[i][j]);
        }
    return ea <= eb ? a : b;
}

class node : public zel::sceneGraph::iGroupNode {
public:
    node(journal* j, wstring name) : journal_(j), name_(std::move(name)) {}

    wstring getName() const override { return name_; }
    bool setName(const wstring& n) override {
        log("setName(" + utf8(n) + ")");
        name_ = n;
        return true;
    }
    zel::xstd::iterator<zel::xstd::attr*> getAttributes() const override {
        ++attributeWalks;
        std::vector<zel::xstd::attr*> list;
        for (const auto& a : attrs)
            list.push_back(a.get());
        return zel::xstd::makeIterator(std::move(list));
    }
    bool addAttribute(zel::xstd::attr* a) override {
        if (!a)
            return false;
        attrs.emplace_back(a);
        return true;
    }
    bool setXform(const zel::polyMath::xform& x) override {
        log("setXform " + describe(x));
        if (auto* q = dynamic_cast<const zel::polyMath::quatXform*>(&x))
            matrix.setQuat(q->getData());
        else if (auto* mx = dynamic_cast<const zel::polyMath::matrix4Xform*>(&x))
            matrix = mx->getData();
        else if (auto* p = dynamic_cast<const zel::polyMath::point3Xform*>(&x))
            matrix.setTranslate(p->getData());
        else if (auto* s = dynamic_cast<const zel::polyMath::scaleXform*>(&x))
            matrix.setScale(s->getData());
        setMatrices.push_back(matrix);
        return true;
    }
    bool applyXform(const zel::polyMath::xform& x) override {
        log("applyXform " + describe(x));
        zel::matrix4 t;
        if (auto* p = dynamic_cast<const zel::polyMath::point3Xform*>(&x)) {
            t.setTranslate(p->getData());
            matrix = matrix * t;
        } else if (auto* s = dynamic_cast<const zel::polyMath::scaleXform*>(&x)) {
            t.setScale(s->getData());
            matrix = t * matrix;
        } else if (auto* q = dynamic_cast<const zel::polyMath::quatXform*>(&x)) {
            t.setQuat(q->getData());
            matrix = t * matrix;
        } else if (auto* mx = dynamic_cast<const zel::polyMath::matrix4Xform*>(&x)) {
            matrix = mx->getData() * matrix;
        }
        return true;
    }
    bool getXform(zel::polyMath::xform& x) const override {
        log("getXform " + describe(x));
        if (auto* p = dynamic_cast<zel::polyMath::point3Xform*>(&x))
            return p->setData(matrix.getTranslate());
        if (auto* s = dynamic_cast<zel::polyMath::scaleXform*>(&x)) {
            zel::vec3 v;
            for (int i = 0; i < 3; ++i)
                v[static_cast<std::size_t>(i)] =
                    std::sqrt(matrix(i, 0) * matrix(i, 0) + matrix(i, 1) * matrix(i, 1) +
                              matrix(i, 2) * matrix(i, 2));
            return s->setData(v);
        }
        if (auto* q = dynamic_cast<zel::polyMath::quatXform*>(&x))
            return q->setData(rotationOf(matrix));
        if (auto* mx = dynamic_cast<zel::polyMath::matrix4Xform*>(&x))
            return mx->setData(matrix);
        return false;
    }
    std::int32_t getNumChildren() const override {
        return static_cast<std::int32_t>(children.size());
    }
    zel::sceneGraph::iSceneNode* getChild(std::int32_t i) const override {
        if (i < 0 || i >= getNumChildren())
            return nullptr;
        return children[static_cast<std::size_t>(i)];
    }
    bool addChild(zel::sceneGraph::iSceneNode* n) override {
        log(utf8(name_) + ".addChild(" + (n ? utf8(n->getName()) : "null") + ")");
        if (!n)
            return false;
        children.push_back(n);
        return true;
    }
    bool insertChild(zel::sceneGraph::iSceneNode* n, std::int32_t i) override {
        log(utf8(name_) + ".insertChild(" + (n ? utf8(n->getName()) : "null") + "," +
            std::to_string(i) + ")");
        if (!n || refuseInsert || n == this || contains(n, this))
            return false;
        const auto at = std::clamp<std::int32_t>(i, 0, getNumChildren());
        children.insert(children.begin() + at, n);
        return true;
    }
    bool removeChild(std::int32_t i) override {
        log(utf8(name_) + ".removeChild(" + std::to_string(i) + ")");
        if (i < 0 || i >= getNumChildren())
            return false;
        children.erase(children.begin() + i);
        return true;
    }
    zel::xstd::iterator<zel::sceneGraph::iSceneNode*> getNodeIterator() override {
        std::vector<zel::sceneGraph::iSceneNode*> all;
        collect(this, all);
        return zel::xstd::makeIterator(std::move(all));
    }

    // Whether `inner` is `outer` or lies below it.
    static bool contains(zel::sceneGraph::iSceneNode* outer, zel::sceneGraph::iSceneNode* inner) {
        if (outer == inner)
            return true;
        for (std::int32_t i = 0; i < outer->getNumChildren(); ++i)
            if (contains(outer->getChild(i), inner))
                return true;
        return false;
    }

    zel::matrix4 matrix;
    std::vector<zel::matrix4> setMatrices;
    std::vector<zel::sceneGraph::iSceneNode*> children;
    std::vector<std::unique_ptr<zel::xstd::attr>> attrs;
    bool refuseInsert = false;
    mutable int attributeWalks = 0;

private:
    static void collect(zel::sceneGraph::iSceneNode* n,
                        std::vector<zel::sceneGraph::iSceneNode*>& out) {
        out.push_back(n);
        for (std::int32_t i = 0; i < n->getNumChildren(); ++i)
            collect(n->getChild(i), out);
    }
    void log(const std::string& e) const {
        if (journal_)
            journal_->push_back(e);
    }

    journal* journal_;
    wstring name_;
};

// ---- animation -------------------------------------------------------------------------------

class anim : public zel::anim::iAnim {
public:
    anim(journal* j, std::string name) : journal_(j), name_(std::move(name)) {}
    bool setAnimFlag(bool on) override {
        journal_->push_back(name_ + ".setAnimFlag(" + (on ? "1" : "0") + ")");
        return true;
    }
    const std::string& name() const { return name_; }

private:
    journal* journal_;
    std::string name_;
};

class animPlayer : public zel::anim::iAnimPlayer {
public:
    explicit animPlayer(journal* j) : journal_(j) {}
    bool startAnim(zel::anim::iAnim* a, double t) override {
        std::ostringstream out;
        out << "startAnim(" << nameOf(a) << "," << t << ")";
        journal_->push_back(out.str());
        return true;
    }
    bool stopAnim(zel::anim::iAnim* a) override {
        journal_->push_back("stopAnim(" + nameOf(a) + ")");
        return true;
    }

private:
    static std::string nameOf(zel::anim::iAnim* a) {
        auto* r = dynamic_cast<anim*>(a);
        return r ? r->name() : "?";
    }
    journal* journal_;
};

// ---- reader ----------------------------------------------------------------------------------

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
    bool addAttribute(zel::xstd::attr* a) override {
        if (!a)
            return false;
        attrs.emplace_back(a);
        return true;
    }
    zel::xstd::iterator<zel::xstd::attr*> getAttributes() const override {
        ++attributeWalks;
        std::vector<zel::xstd::attr*> list;
        for (const auto& a : attrs)
            list.push_back(a.get());
        return zel::xstd::makeIterator(std::move(list));
    }

    std::map<wstring, fileModel> files;
    std::vector<std::unique_ptr<zel::xstd::attr>> attrs;
    // The folders of the first file-search attribute at each readFile, joined by ';'.
    std::vector<std::string> searchPathAtRead;
    std::vector<node*> made;
    mutable int attributeWalks = 0;

private:
    world* world_;
};

// ---- services --------------------------------------------------------------------------------

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
    bool addMouseObserver(zel::sceneGraph::iMouseObserver* o) override {
        journal_->push_back("addMouseObserver");
        if (!o || has(o))
            return false;
        observers.push_back(o);
        return true;
    }
    bool removeMouseObserver(zel::sceneGraph::iMouseObserver* o) override {
        journal_->push_back("removeMouseObserver");
        auto it = std::find(observers.begin(), observers.end(), o);
        if (it == observers.end())
            return false;
        observers.erase(it);
        return true;
    }
    bool hasMouseObserver(zel::sceneGraph::iMouseObserver* o) const override {
        journal_->push_back("hasMouseObserver");
        return has(o);
    }
    bool has(zel::sceneGraph::iMouseObserver* o) const {
        return std::find(observers.begin(), observers.end(), o) != observers.end();
    }
    std::vector<zel::sceneGraph::iMouseObserver*> observers;

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
    bool addKeyObserver(zel::eventManager::iKeyObserver* o) override {
        journal_->push_back("addKeyObserver");
        observers.push_back(o);
        return true;
    }
    bool removeKeyObserver(zel::eventManager::iKeyObserver* o) override {
        journal_->push_back("removeKeyObserver");
        auto it = std::find(observers.begin(), observers.end(), o);
        if (it == observers.end())
            return false;
        observers.erase(it);
        return true;
    }
    std::vector<zel::eventManager::iKeyObserver*> observers;

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

// ---- widgets ---------------------------------------------------------------------------------

// Counting and attributes shared by the recording widgets; they are owned by the world, never
// deleted when the count drops to 0.
class counting {
public:
    std::int32_t refs = 0;
    std::vector<std::unique_ptr<zel::xstd::attr>> attrs;
};

inline std::string describeAttr(const zel::xstd::attr* a) {
    if (auto* t = dynamic_cast<const zel::widget::tclAttr*>(a))
        return utf8(t->getName()) + "=" + std::to_string(t->getInt()) +
               (t->isBool() ? " bool" : " int");
    return "attr";
}

#define REC_COUNTED_WIDGET(KIND)                                                                   \
    std::int32_t acquire(std::int32_t n) override {                                                \
        return refs += n;                                                                          \
    }                                                                                              \
    std::int32_t release(std::int32_t n) override {                                                \
        return refs -= n;                                                                          \
    }                                                                                              \
    bool addAttr(zel::xstd::attr* a) override {                                                    \
        journal_->push_back(std::string(KIND) + ".addAttr(" + describeAttr(a) + ")");              \
        if (!a)                                                                                    \
            return false;                                                                          \
        attrs.emplace_back(a);                                                                     \
        return true;                                                                               \
    }

class window : public zel::widget::iWindowFrame, public counting {
public:
    explicit window(journal* j) : journal_(j) {}
    REC_COUNTED_WIDGET("window")
    bool setPacker(zel::widget::iPacker* p) override {
        journal_->push_back(std::string("window.setPacker(") + (p ? "packer" : "null") + ")");
        packer = p;
        return true;
    }
    bool addWidget(zel::widget::iWidget* w) override;
    bool setTitle(const wstring& t) override {
        journal_->push_back("window.setTitle(" + utf8(t) + ")");
        title = t;
        return true;
    }
    bool setFrameStyle(std::int32_t s) override {
        journal_->push_back("window.setFrameStyle(" + std::to_string(s) + ")");
        return true;
    }
    bool setFrameMode(std::int32_t a, std::int32_t b) override {
        journal_->push_back("window.setFrameMode(" + std::to_string(a) + "," + std::to_string(b) +
                            ")");
        return true;
    }
    bool connectEvents(zel::eventManager::iEventSource* s, std::int32_t mask) override {
        journal_->push_back("window.connectEvents(" + std::string(s ? "source" : "null") + "," +
                            std::to_string(mask) + ")");
        return true;
    }
    bool disconnectEvents() override {
        journal_->push_back("window.disconnectEvents()");
        return true;
    }

    wstring title;
    zel::widget::iPacker* packer = nullptr;
    std::vector<zel::widget::iWidget*> children;

private:
    journal* journal_;
};

class label : public zel::widget::iLabel, public counting {
public:
    explicit label(journal* j) : journal_(j) {}
    REC_COUNTED_WIDGET("label")
    bool setText(const wstring& t) override {
        journal_->push_back("label.setText");
        texts.push_back(t);
        return true;
    }
    wstring getText() const override { return texts.empty() ? wstring() : texts.back(); }
    zel::widget::labelSpec getSpec() const override { return spec; }
    bool setSpec(const zel::widget::labelSpec& s) override {
        journal_->push_back(std::string("label.setSpec(wrap=") + (s.getWordWrapping() ? "1" : "0") +
                            ")");
        spec = s;
        return true;
    }

    std::vector<wstring> texts;
    zel::widget::labelSpec spec;

private:
    journal* journal_;
};

class entry : public zel::widget::iEntry, public counting {
public:
    explicit entry(journal* j) : journal_(j) {}
    REC_COUNTED_WIDGET("entry")
    bool setText(const wstring& t) override {
        journal_->push_back("entry.setText(" + utf8(t) + ")");
        text = t;
        return true;
    }
    wstring getText() const override { return text; }
    zel::widget::labelSpec getSpec() const override { return spec; }
    bool setSpec(const zel::widget::labelSpec& s) override {
        journal_->push_back(std::string("entry.setSpec(wrap=") + (s.getWordWrapping() ? "1" : "0") +
                            ")");
        spec = s;
        return true;
    }
    bool addEntryObserver(zel::widget::iEntryObserver* o) override {
        journal_->push_back("entry.addEntryObserver");
        observers.push_back(o);
        return true;
    }
    bool removeEntryObserver(zel::widget::iEntryObserver* o) override {
        journal_->push_back("entry.removeEntryObserver");
        auto it = std::find(observers.begin(), observers.end(), o);
        if (it == observers.end())
            return false;
        observers.erase(it);
        return true;
    }
    bool hasEntryObserver(zel::widget::iEntryObserver* o) const override {
        return std::find(observers.begin(), observers.end(), o) != observers.end();
    }

    wstring text;
    zel::widget::labelSpec spec;
    std::vector<zel::widget::iEntryObserver*> observers;

private:
    journal* journal_;
};

#undef REC_COUNTED_WIDGET

inline bool window::addWidget(zel::widget::iWidget* w) {
    std::string kind = "null";
    if (dynamic_cast<label*>(w))
        kind = "label";
    else if (dynamic_cast<entry*>(w))
        kind = "entry";
    journal_->push_back("window.addWidget(" + kind + ")");
    if (!w)
        return false;
    children.push_back(w);
    return true;
}

class packer : public zel::widget::iRectangleTclPacker {};

class builder : public zel::widget::tovaStyles::iBuilder {
public:
    builder(journal* j, std::vector<std::unique_ptr<zel::widget::iWidget>>* store)
        : journal_(j), store_(store) {}
    std::int32_t acquire(std::int32_t n) override { return refs += n; }
    std::int32_t release(std::int32_t n) override { return refs -= n; }
    bool build(zel::widget::tovaStyles::widgetElem& e) override {
        const std::string name = utf8(e.getName());
        journal_->push_back("build(" + name + ")");
        zel::widget::iWidget* w = nullptr;
        if (std::find(refused.begin(), refused.end(), name) != refused.end())
            w = nullptr;
        else if (name == "window")
            w = keep(windows, new window(journal_));
        else if (name == "label")
            w = keep(labels, new label(journal_));
        else if (name == "entry")
            w = keep(entries, new entry(journal_));
        e.setWidget(w);
        return w != nullptr;
    }
    bool complete(zel::widget::tovaStyles::widgetElem& e) override {
        journal_->push_back("complete(" + utf8(e.getName()) + ")");
        return true;
    }

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
    void setProfile(const zel::application::profile& p) override {
        journal_->push_back("setProfile");
        profiles.push_back(p);
    }
    zel::xstd::searchPath getSearchPath() const override {
        journal_->push_back("getSearchPath");
        return path;
    }

    zel::xstd::searchPath path;
    std::vector<zel::application::profile> profiles;

private:
    journal* journal_;
};

// ---- the whole recording world
// -------------------------------------------------------------------

// Every service at once, each with its own provider. The built-in scene mirrors the framework's:
// a navigator node "navigator" with the children "head" and "wand". Tests switch single services
// off with the `without...` calls before they make an application.
class world {
public:
    world()
        : readerService(this), factory(this), scene(&factory), mouse(&log), theView(&mouse),
          player(&log), client(&theView, &player), keys(&log), events(&keys, &theEventSource),
          widgetBuilder(&log, &widgets), styles(&widgetBuilder), handle(&log),
          clientProvider(&client), sceneProvider(&scene), eventProvider(&events),
          readerProvider(&readerService), navigatorProvider(&nav), stylesProvider(&styles),
          packerProvider(&thePacker), animProvider(&registryAnim) {
        navigatorNode = makeNode(u"navigator");
        nav.setNode(navigatorNode);
        head = makeNode(u"head");
        wand = makeNode(u"wand");
        navigatorNode->children = {head, wand};
        log.clear();
    }

    node* makeNode(const wstring& name) {
        nodes.push_back(std::make_unique<node>(&log, name));
        return nodes.back().get();
    }

    // Every node named `name` that hangs anywhere below `from`, depth first.
    std::vector<node*> findAll(zel::sceneGraph::iSceneNode* from, const wstring& name) {
        std::vector<node*> out;
        std::function<void(zel::sceneGraph::iSceneNode*)> walk =
            [&](zel::sceneGraph::iSceneNode* n) {
                if (n->getName() == name)
                    out.push_back(dynamic_cast<node*>(n));
                for (std::int32_t i = 0; i < n->getNumChildren(); ++i)
                    walk(n->getChild(i));
            };
        walk(from);
        return out;
    }

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

inline zel::sceneGraph::iGroupNode* nodeFactory::createNode() {
    world_->log.push_back("createNode");
    return world_->makeNode(u"");
}

inline zel::sceneGraph::iSceneNode* reader::readFile(const wstring& name) {
    world_->log.push_back("readFile(" + utf8(name) + ")");
    std::string folders;
    for (const auto& a : attrs)
        if (auto* f = dynamic_cast<zel::sceneGraph::reader::fileSearchAttr*>(a.get())) {
            for (const wstring& folder : f->getSearchPath().getFolders())
                folders += utf8(folder) + ";";
            break;
        }
    searchPathAtRead.push_back(folders);
    auto it = files.find(name);
    if (it == files.end())
        return nullptr;
    node* root = world_->makeNode(name);
    root->matrix = it->second.matrix;
    if (it->second.carriesAnim)
        root->attrs.emplace_back(new zel::anim::animAttr(it->second.animation));
    made.push_back(root);
    return root;
}

// ---- console capture ---------------------------------------------------------------------------

// Captures what the narrow and the wide console streams write while it lives (libzel forwards the
// wide stream into whatever buffer std::cout has at the time of each write), and counts flushes.
class captureStdout {
public:
    captureStdout() {
        std::cout.flush();
        zel::console::install();
        previous_ = std::cout.rdbuf(&buffer_);
    }
    ~captureStdout() { std::cout.rdbuf(previous_); }
    captureStdout(const captureStdout&) = delete;
    captureStdout& operator=(const captureStdout&) = delete;

    // Everything written so far; `take` also forgets it and the flushes.
    std::string text() const { return buffer_.str(); }
    std::string take() {
        std::string t = buffer_.str();
        buffer_.str({});
        buffer_.flushes = 0;
        return t;
    }
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
    splitStreams() {
        std::cout.flush();
        std::wcout.flush();
        narrowPrevious_ = std::cout.rdbuf(&narrow_);
        widePrevious_ = std::wcout.rdbuf(&wide_);
    }
    ~splitStreams() {
        std::wcout.rdbuf(widePrevious_);
        std::cout.rdbuf(narrowPrevious_);
    }
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

// A path from UTF-8 text on every system (a narrow string means the local code page on Windows).
inline std::filesystem::path utf8Path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// A path as the framework's UTF-16 text.
inline wstring widePath(const std::filesystem::path& p) {
    const std::u8string bytes = p.u8string();
    return zel::xstd::fromUtf8(std::string(bytes.begin(), bytes.end()));
}

// A fresh folder with empty files of the given names (UTF-8), removed again at the end.
class tempFolder {
public:
    explicit tempFolder(const std::vector<std::string>& files) {
        namespace fs = std::filesystem;
        const fs::path base = fs::temp_directory_path();
        // create_directory fails on a folder that exists, so a name another process took is
        // skipped.
        std::random_device device;
        std::mt19937 random(device() ^
                            static_cast<std::uint32_t>(
                                std::chrono::steady_clock::now().time_since_epoch().count()));
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            char name[40];
            std::snprintf(name, sizeof name, "propplacer-test-%08x",
                          static_cast<unsigned>(random()));
            std::error_code ec;
            if (fs::create_directory(base / name, ec))
                path_ = base / name;
        }
        if (path_.empty())
            throw std::runtime_error("cannot make a temporary folder in " + base.string());
        for (const std::string& f : files)
            std::ofstream(path_ / utf8Path(f)).put('\n');
    }
    ~tempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    tempFolder(const tempFolder&) = delete;
    tempFolder& operator=(const tempFolder&) = delete;

    wstring wide() const { return widePath(path_); }
    // Whether the folder's file system tells names apart that differ only in case.
    bool namesAreCaseSensitive() const {
        namespace fs = std::filesystem;
        const fs::path probe = path_ / "case-probe.tmp";
        std::ofstream(probe).put('\n');
        std::error_code ec;
        const bool sensitive = !fs::exists(path_ / "CASE-PROBE.TMP", ec);
        fs::remove(probe, ec);
        return sensitive;
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace rec
