#include "recording_world.h"

#include <zel/console.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <locale>
#include <random>
#include <stdexcept>

namespace rec {

// ---- text helpers ------------------------------------------------------------------------------

std::string utf8(const wstring& s) {
    return zel::xstd::toUtf8(s);
}

std::string num(float f) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << f;
    return out.str();
}

std::string vecText(const zel::vec3& v) {
    return "(" + num(v[0]) + "," + num(v[1]) + "," + num(v[2]) + ")";
}

namespace {
bool startsWith(const std::string& e, const std::string& prefix) {
    return e.compare(0, prefix.size(), prefix) == 0;
}
} // namespace

int countPrefix(const journal& j, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        j.begin(), j.end(), [&](const std::string& e) { return startsWith(e, prefix); }));
}

journal filterPrefix(const journal& j, const std::string& prefix) {
    journal out;
    for (const std::string& e : j)
        if (startsWith(e, prefix))
            out.push_back(e);
    return out;
}

// ---- lists -------------------------------------------------------------------------------------

bool attrList::add(zel::xstd::attr* a) {
    if (!a)
        return false;
    emplace_back(a);
    return true;
}

zel::xstd::iterator<zel::xstd::attr*> attrList::iterate(int& walks) const {
    ++walks;
    std::vector<zel::xstd::attr*> list;
    for (const auto& a : *this)
        list.push_back(a.get());
    return zel::xstd::makeIterator(std::move(list));
}

// ---- scene nodes -------------------------------------------------------------------------------

std::string describe(const zel::polyMath::xform& x) {
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

zel::quat rotationOf(const zel::matrix4& m) {
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
    // Both signs of the axis are candidates; the one setQuat turns back into r wins.
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

bool node::setName(const wstring& n) {
    log("setName(" + utf8(n) + ")");
    name_ = n;
    return true;
}

bool node::setXform(const zel::polyMath::xform& x) {
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

bool node::applyXform(const zel::polyMath::xform& x) {
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

bool node::getXform(zel::polyMath::xform& x) const {
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

zel::sceneGraph::iSceneNode* node::getChild(std::int32_t i) const {
    if (i < 0 || i >= getNumChildren())
        return nullptr;
    return children[static_cast<std::size_t>(i)];
}

bool node::addChild(zel::sceneGraph::iSceneNode* n) {
    log(utf8(name_) + ".addChild(" + (n ? utf8(n->getName()) : "null") + ")");
    if (!n)
        return false;
    children.push_back(n);
    return true;
}

bool node::insertChild(zel::sceneGraph::iSceneNode* n, std::int32_t i) {
    log(utf8(name_) + ".insertChild(" + (n ? utf8(n->getName()) : "null") + "," +
        std::to_string(i) + ")");
    if (!n || refuseInsert || n == this || contains(n, this))
        return false;
    const auto at = std::clamp<std::int32_t>(i, 0, getNumChildren());
    children.insert(children.begin() + at, n);
    return true;
}

bool node::removeChild(std::int32_t i) {
    log(utf8(name_) + ".removeChild(" + std::to_string(i) + ")");
    if (i < 0 || i >= getNumChildren())
        return false;
    children.erase(children.begin() + i);
    return true;
}

namespace {
void collect(zel::sceneGraph::iSceneNode* n, std::vector<zel::sceneGraph::iSceneNode*>& out) {
    out.push_back(n);
    for (std::int32_t i = 0; i < n->getNumChildren(); ++i)
        collect(n->getChild(i), out);
}
} // namespace

zel::xstd::iterator<zel::sceneGraph::iSceneNode*> node::getNodeIterator() {
    std::vector<zel::sceneGraph::iSceneNode*> all;
    collect(this, all);
    return zel::xstd::makeIterator(std::move(all));
}

bool node::contains(zel::sceneGraph::iSceneNode* outer, zel::sceneGraph::iSceneNode* inner) {
    if (outer == inner)
        return true;
    for (std::int32_t i = 0; i < outer->getNumChildren(); ++i)
        if (contains(outer->getChild(i), inner))
            return true;
    return false;
}

// ---- animation ---------------------------------------------------------------------------------

bool anim::setAnimFlag(bool on) {
    journal_->push_back(name_ + ".setAnimFlag(" + (on ? "1" : "0") + ")");
    return true;
}

namespace {
std::string nameOf(zel::anim::iAnim* a) {
    auto* r = dynamic_cast<anim*>(a);
    return r ? r->name() : "?";
}
} // namespace

bool animPlayer::startAnim(zel::anim::iAnim* a, double t) {
    std::ostringstream out;
    out << "startAnim(" << nameOf(a) << "," << t << ")";
    journal_->push_back(out.str());
    return true;
}

bool animPlayer::stopAnim(zel::anim::iAnim* a) {
    journal_->push_back("stopAnim(" + nameOf(a) + ")");
    return true;
}

// ---- reader ------------------------------------------------------------------------------------

zel::sceneGraph::iSceneNode* reader::readFile(const wstring& name) {
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

// ---- services ----------------------------------------------------------------------------------

zel::sceneGraph::iGroupNode* nodeFactory::createNode() {
    world_->log.push_back("createNode");
    return world_->makeNode(u"");
}

bool mouseSource::addMouseObserver(zel::sceneGraph::iMouseObserver* o) {
    journal_->push_back("addMouseObserver");
    return observers.add(o);
}

bool mouseSource::removeMouseObserver(zel::sceneGraph::iMouseObserver* o) {
    journal_->push_back("removeMouseObserver");
    return observers.remove(o);
}

bool mouseSource::hasMouseObserver(zel::sceneGraph::iMouseObserver* o) const {
    journal_->push_back("hasMouseObserver");
    return observers.has(o);
}

bool keySource::addKeyObserver(zel::eventManager::iKeyObserver* o) {
    journal_->push_back("addKeyObserver");
    return observers.add(o);
}

bool keySource::removeKeyObserver(zel::eventManager::iKeyObserver* o) {
    journal_->push_back("removeKeyObserver");
    return observers.remove(o);
}

// ---- widgets -----------------------------------------------------------------------------------

std::string describeAttr(const zel::xstd::attr* a) {
    if (auto* t = dynamic_cast<const zel::widget::tclAttr*>(a))
        return utf8(t->getName()) + "=" + std::to_string(t->getInt()) +
               (t->isBool() ? " bool" : " int");
    return "attr";
}

bool window::setPacker(zel::widget::iPacker* p) {
    journal_->push_back(std::string("window.setPacker(") + (p ? "packer" : "null") + ")");
    packer = p;
    return true;
}

bool window::addWidget(zel::widget::iWidget* w) {
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

bool window::setTitle(const wstring& t) {
    journal_->push_back("window.setTitle(" + utf8(t) + ")");
    title = t;
    return true;
}

bool window::setFrameStyle(std::int32_t s) {
    journal_->push_back("window.setFrameStyle(" + std::to_string(s) + ")");
    return true;
}

bool window::setFrameMode(std::int32_t a, std::int32_t b) {
    journal_->push_back("window.setFrameMode(" + std::to_string(a) + "," + std::to_string(b) + ")");
    return true;
}

bool window::connectEvents(zel::eventManager::iEventSource* s, std::int32_t mask) {
    journal_->push_back("window.connectEvents(" + std::string(s ? "source" : "null") + "," +
                        std::to_string(mask) + ")");
    return true;
}

bool window::disconnectEvents() {
    journal_->push_back("window.disconnectEvents()");
    return true;
}

namespace {
std::string wrapText(const char* kind, const zel::widget::labelSpec& s) {
    return std::string(kind) + ".setSpec(wrap=" + (s.getWordWrapping() ? "1" : "0") + ")";
}
} // namespace

bool label::setText(const wstring& t) {
    journal_->push_back("label.setText");
    texts.push_back(t);
    return true;
}

bool label::setSpec(const zel::widget::labelSpec& s) {
    journal_->push_back(wrapText("label", s));
    spec = s;
    return true;
}

bool entry::setText(const wstring& t) {
    journal_->push_back("entry.setText(" + utf8(t) + ")");
    text = t;
    return true;
}

bool entry::setSpec(const zel::widget::labelSpec& s) {
    journal_->push_back(wrapText("entry", s));
    spec = s;
    return true;
}

bool entry::addEntryObserver(zel::widget::iEntryObserver* o) {
    journal_->push_back("entry.addEntryObserver");
    return observers.add(o);
}

bool entry::removeEntryObserver(zel::widget::iEntryObserver* o) {
    journal_->push_back("entry.removeEntryObserver");
    return observers.remove(o);
}

bool builder::build(zel::widget::tovaStyles::widgetElem& e) {
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

bool builder::complete(zel::widget::tovaStyles::widgetElem& e) {
    journal_->push_back("complete(" + utf8(e.getName()) + ")");
    return true;
}

// ---- the application's host side ---------------------------------------------------------------

void applicationHandle::setProfile(const zel::application::profile& p) {
    journal_->push_back("setProfile");
    profiles.push_back(p);
}

zel::xstd::searchPath applicationHandle::getSearchPath() const {
    journal_->push_back("getSearchPath");
    return path;
}

// ---- the whole recording world -----------------------------------------------------------------

world::world()
    : readerService(this), factory(this), scene(&factory), mouse(&log), theView(&mouse),
      player(&log), client(&theView, &player), keys(&log), events(&keys, &theEventSource),
      widgetBuilder(&log, &widgets), styles(&widgetBuilder), handle(&log), clientProvider(&client),
      sceneProvider(&scene), eventProvider(&events), readerProvider(&readerService),
      navigatorProvider(&nav), stylesProvider(&styles), packerProvider(&thePacker),
      animProvider(&registryAnim) {
    navigatorNode = makeNode(u"navigator");
    nav.setNode(navigatorNode);
    head = makeNode(u"head");
    wand = makeNode(u"wand");
    navigatorNode->children = {head, wand};
    log.clear();
}

node* world::makeNode(const wstring& name) {
    nodes.push_back(std::make_unique<node>(&log, name));
    return nodes.back().get();
}

std::vector<node*> world::findAll(zel::sceneGraph::iSceneNode* from, const wstring& name) {
    std::vector<node*> out;
    std::function<void(zel::sceneGraph::iSceneNode*)> walk = [&](zel::sceneGraph::iSceneNode* n) {
        if (n->getName() == name)
            out.push_back(dynamic_cast<node*>(n));
        for (std::int32_t i = 0; i < n->getNumChildren(); ++i)
            walk(n->getChild(i));
    };
    walk(from);
    return out;
}

// ---- console capture ---------------------------------------------------------------------------

captureStdout::captureStdout() {
    std::cout.flush();
    zel::console::install();
    previous_ = std::cout.rdbuf(&buffer_);
}

captureStdout::~captureStdout() {
    std::cout.rdbuf(previous_);
}

std::string captureStdout::take() {
    std::string t = buffer_.str();
    buffer_.str({});
    buffer_.flushes = 0;
    return t;
}

splitStreams::splitStreams() {
    std::cout.flush();
    std::wcout.flush();
    narrowPrevious_ = std::cout.rdbuf(&narrow_);
    widePrevious_ = std::wcout.rdbuf(&wide_);
}

splitStreams::~splitStreams() {
    std::wcout.rdbuf(widePrevious_);
    std::cout.rdbuf(narrowPrevious_);
}

// ---- temporary folders -------------------------------------------------------------------------

std::filesystem::path utf8Path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

wstring widePath(const std::filesystem::path& p) {
    const std::u8string bytes = p.u8string();
    return zel::xstd::fromUtf8(std::string(bytes.begin(), bytes.end()));
}

tempFolder::tempFolder(const std::vector<std::string>& files) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    // create_directory fails on a folder that exists, so a name another process took is skipped.
    std::random_device device;
    std::mt19937 random(
        device() ^
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, "propplacer-test-%08x", static_cast<unsigned>(random()));
        std::error_code ec;
        if (fs::create_directory(base / name, ec))
            path_ = base / name;
    }
    if (path_.empty())
        throw std::runtime_error("cannot make a temporary folder in " + base.string());
    for (const std::string& f : files)
        std::ofstream(path_ / utf8Path(f)).put('\n');
}

tempFolder::~tempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool tempFolder::namesAreCaseSensitive() const {
    namespace fs = std::filesystem;
    const fs::path probe = path_ / "case-probe.tmp";
    std::ofstream(probe).put('\n');
    std::error_code ec;
    const bool sensitive = !fs::exists(path_ / "CASE-PROBE.TMP", ec);
    fs::remove(probe, ec);
    return sensitive;
}

} // namespace rec
