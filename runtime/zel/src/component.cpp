#include <zel/component.h>

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <iostream>
#include <memory>

namespace zel::component {

namespace {

template <class T> bool contains(const std::vector<T>& v, const T& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

template <class T> bool addOnce(std::vector<T>& v, const T& x) {
    if (!x || contains(v, x))
        return false;
    v.push_back(x);
    return true;
}

template <class T> bool removeOne(std::vector<T>& v, const T& x) {
    const auto it = std::find(v.begin(), v.end(), x);
    if (it == v.end())
        return false;
    v.erase(it);
    return true;
}

} // namespace

// ---- classInfoImpl --------------------------------------------------------------------------

classInfoImpl::classInfoImpl(const xstd::uuid& classId, const std::type_info& type,
                             std::int32_t revision)
    : classId_(classId), type_(&type), revision_(revision) {}

classInfoImpl::~classInfoImpl() = default;

wstring classInfoImpl::getClassName() const {
    const char* mangled = type_->name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return xstd::fromUtf8(status == 0 && readable ? readable.get() : mangled);
}

std::vector<xstd::uuid> classInfoImpl::getInterfaceIds() const {
    return ids_;
}

std::vector<const std::type_info*> classInfoImpl::getInterfaceTypes() const {
    return types_;
}

bool classInfoImpl::addInterface(const std::type_info& type) {
    if (hasInterface(type))
        return false;
    types_.push_back(&type);
    return true;
}

bool classInfoImpl::addInterface(const xstd::uuid& iid) {
    if (hasInterface(iid))
        return false;
    ids_.push_back(iid);
    return true;
}

bool classInfoImpl::hasInterface(const std::type_info& type) const {
    // type_info objects of one type may sit at different addresses in different libraries, so
    // compare with == rather than by address.
    return std::any_of(types_.begin(), types_.end(),
                       [&type](const std::type_info* t) { return *t == type; });
}

bool classInfoImpl::hasInterface(const xstd::uuid& iid) const {
    return contains(ids_, iid);
}

// ---- classRegistry --------------------------------------------------------------------------

classRegistry& classRegistry::getTheSingleton() {
    // Never destroyed: packages that unregister from their own static destructors at exit must
    // still find it.
    static classRegistry* const registry = new classRegistry;
    return *registry;
}

iClassInfo* classRegistry::findInterface(const xstd::uuid& iid) const {
    const auto it = std::find_if(records_.rbegin(), records_.rend(),
                                 [&iid](const iClassInfo* r) { return r->hasInterface(iid); });
    return it == records_.rend() ? nullptr : *it;
}

std::vector<iClassInfo*> classRegistry::findAllInterface(const xstd::uuid& iid) const {
    std::vector<iClassInfo*> found;
    for (iClassInfo* r : records_)
        if (r->hasInterface(iid))
            found.push_back(r);
    return found;
}

bool classRegistry::registerClass(iClassInfo* info) {
    return addOnce(records_, info);
}

bool classRegistry::unregisterClass(iClassInfo* info) {
    return removeOne(records_, info);
}

bool classRegistry::isRegistered(const iClassInfo* info) const {
    return std::find(records_.begin(), records_.end(), info) != records_.end();
}

// ---- defaultPackage -------------------------------------------------------------------------

defaultPackage::defaultPackage(const wstring& name) : name_(name) {}

defaultPackage::~defaultPackage() {
    classRegistry& registry = classRegistry::getTheSingleton();
    for (iClassInfo* info : classes_) {
        registry.unregisterClass(info);
        delete info;
    }
}

bool defaultPackage::addClass(iClassInfo* info) {
    // A record someone else registered is not ours to delete later, so it is refused as well.
    if (!info || contains(classes_, info) || !classRegistry::getTheSingleton().registerClass(info))
        return false;
    classes_.push_back(info);
    return true;
}

void defaultPackage::setFileName(const wstring& file) {
    fileName_ = file;
}

wstring defaultPackage::getFileName() const {
    return fileName_;
}

bool defaultPackage::addLinkObserver(iLinkObserver* o) {
    return addOnce(linkObservers_, o);
}

bool defaultPackage::remLinkObserver(iLinkObserver* o) {
    return removeOne(linkObservers_, o);
}

bool defaultPackage::hasLinkObserver(iLinkObserver* o) const {
    return o && contains(linkObservers_, o);
}

bool defaultPackage::addShutdownObserver(iShutdownObserver* o) {
    return addOnce(shutdownObservers_, o);
}

bool defaultPackage::remShutdownObserver(iShutdownObserver* o) {
    return removeOne(shutdownObservers_, o);
}

bool defaultPackage::hasShutdownObserver(iShutdownObserver* o) const {
    return o && contains(shutdownObservers_, o);
}

wstring defaultPackage::getName() const {
    return name_;
}

wstring defaultPackage::getDirectory() const {
    const auto slash = fileName_.find_last_of(u'/');
    if (slash == wstring::npos)
        return {};
    return slash == 0 ? wstring(u"/") : fileName_.substr(0, slash);
}

iPackage* defaultPackage::openLink(iPackage* other) {
    if (!other)
        return nullptr;
    if (contains(links_, other))
        return other;
    links_.push_back(other);
    // A snapshot: an observer may add or remove observers while it is told.
    const auto observers = linkObservers_;
    for (iLinkObserver* o : observers)
        if (contains(linkObservers_, o))
            o->onLink(this, other);
    return other;
}

iPackage* defaultPackage::openLink(const wstring& name) {
    std::string reason;
    iPackage* other = packageLoader::getTheSingleton().load(name, &reason);
    if (!other) {
        std::cerr << "openLink(): " << reason << std::endl;
        return nullptr;
    }
    return openLink(other);
}

bool defaultPackage::closeLink(iPackage* other) {
    if (!removeOne(links_, other))
        return false;
    const auto observers = linkObservers_;
    for (iLinkObserver* o : observers)
        if (contains(linkObservers_, o))
            o->onUnlink(this, other);
    return true;
}

bool defaultPackage::hasLink(iPackage* other) const {
    return other && contains(links_, other);
}

std::int32_t defaultPackage::getNumLinks() const {
    return static_cast<std::int32_t>(links_.size());
}

xstd::iterator<iPackage*> defaultPackage::getLinkIterator() {
    return xstd::makeIterator(links_);
}

xstd::iterator<const iPackage*> defaultPackage::getLinkConstIterator() const {
    return xstd::makeIterator(std::vector<const iPackage*>(links_.begin(), links_.end()));
}

bool defaultPackage::reclaim(pkgFile*) {
    return false;
}

bool defaultPackage::reclaim(iReclaimable*) {
    return false;
}

void defaultPackage::requestShutdown() {
    const shutdownEvent event(this);
    const auto observers = shutdownObservers_;
    for (iShutdownObserver* o : observers)
        if (contains(shutdownObservers_, o))
            o->onShutdown(event);
}

void defaultPackage::onShutdown(const shutdownEvent&) {}

} // namespace zel::component
