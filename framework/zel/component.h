// zel::component: packages, class-info records and the process-wide class registry.
#pragma once

#include <zel/types.h>
#include <zel/xstd.h>

#include <cstdint>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace zel::component {

class iPackage;
class iClassInfo;

// What a shutdown request carries: the package that asks.
class shutdownEvent {
public:
    explicit shutdownEvent(iPackage* source) : source_(source) {}
    iPackage* getSource() const { return source_; }

private:
    iPackage* source_;
};

class iShutdownObserver {
public:
    virtual ~iShutdownObserver() {}
    virtual void onShutdown(const shutdownEvent&) {}
};

// Told when a package links to or unlinks from another.
class iLinkObserver {
public:
    virtual ~iLinkObserver() {}
    virtual void onLink(iPackage* /*from*/, iPackage* /*to*/) {}
    virtual void onUnlink(iPackage* /*from*/, iPackage* /*to*/) {}
};

// A loaded package file, handed back to its package for reclaiming.
class pkgFile;

// An object whose package may reclaim it when the package goes away.
class iReclaimable {
public:
    virtual ~iReclaimable() {}
};

class iPackage {
public:
    virtual ~iPackage() {}
    virtual wstring getFileName() const { return {}; }
    virtual bool addLinkObserver(iLinkObserver*) { return false; }
    virtual bool remLinkObserver(iLinkObserver*) { return false; }
    virtual bool hasLinkObserver(iLinkObserver*) const { return false; }
    virtual bool addShutdownObserver(iShutdownObserver*) { return false; }
    virtual bool remShutdownObserver(iShutdownObserver*) { return false; }
    virtual bool hasShutdownObserver(iShutdownObserver*) const { return false; }
    virtual wstring getName() const { return {}; }
    virtual wstring getDirectory() const { return {}; }
    virtual iPackage* openLink(iPackage*) { return nullptr; }
    virtual iPackage* openLink(const wstring&) { return nullptr; }
    virtual bool closeLink(iPackage*) { return false; }
    virtual bool hasLink(iPackage*) const { return false; }
    virtual std::int32_t getNumLinks() const { return 0; }
    virtual xstd::iterator<iPackage*> getLinkIterator() { return {}; }
    virtual xstd::iterator<const iPackage*> getLinkConstIterator() const { return {}; }
    virtual bool reclaim(pkgFile*) { return false; }
    virtual bool reclaim(iReclaimable*) { return false; }
    virtual void requestShutdown() {}
};

// Describes one class: its identifier, revision, the interfaces it implements, and makes instances.
class iClassInfo {
public:
    virtual ~iClassInfo() {}
    virtual xstd::uuid getUUID() const = 0;
    virtual std::int32_t getRevision() const = 0;
    virtual const std::type_info& getTypeInfo() const = 0;
    virtual iPackage* getPackage() const = 0;
    virtual bool hasInterface(const xstd::uuid& iid) const = 0;
    virtual bool hasInterface(const std::type_info& type) const = 0;
    // The class's name as text.
    virtual wstring getClassName() const = 0;
    // The interface identifiers the class is registered under, in the order added.
    virtual std::vector<xstd::uuid> getInterfaceIds() const = 0;
    // The interface types the class is registered under, in the order added.
    virtual std::vector<const std::type_info*> getInterfaceTypes() const = 0;
    // A new instance as a pointer to the named interface, or null.
    virtual void* create(const xstd::uuid& iid) = 0;
    virtual void* create(const std::type_info& type) = 0;
    // obj (a pointer to interface `from`) as a pointer to interface `to`, or null.
    virtual void* cast(void* obj, const xstd::uuid& from, const xstd::uuid& to) = 0;
    virtual void* cast(void* obj, const std::type_info& from, const std::type_info& to) = 0;
};

// The framework's ready-made class description: returns what it was built with.
class ZEL_API classInfoImpl {
public:
    classInfoImpl(const xstd::uuid& classId, const std::type_info& type, std::int32_t revision);
    classInfoImpl(const classInfoImpl&) = delete;
    classInfoImpl& operator=(const classInfoImpl&) = delete;
    virtual ~classInfoImpl();
    virtual wstring getClassName() const;
    virtual std::vector<xstd::uuid> getInterfaceIds() const;
    virtual std::vector<const std::type_info*> getInterfaceTypes() const;

    // Each returns false when the entry was there already.
    bool addInterface(const std::type_info& type);
    bool addInterface(const xstd::uuid& iid);
    bool hasInterface(const std::type_info& type) const;
    bool hasInterface(const xstd::uuid& iid) const;
    xstd::uuid getUUID() const { return classId_; }
    std::int32_t getRevision() const { return revision_; }
    const std::type_info& getTypeInfo() const { return *type_; }

private:
    xstd::uuid classId_;
    const std::type_info* type_;
    std::int32_t revision_;
    std::vector<xstd::uuid> ids_;
    std::vector<const std::type_info*> types_;
};

// The one class registry of the process. Records are not owned: a package's records belong to the
// package, which registers them when they are added and unregisters them when it is destroyed.
class ZEL_API classRegistry {
public:
    static classRegistry& getTheSingleton();

    // The most recently registered record that implements the interface, or null.
    iClassInfo* findInterface(const xstd::uuid& iid) const;
    // Every record that implements the interface, oldest first.
    std::vector<iClassInfo*> findAllInterface(const xstd::uuid& iid) const;
    // Returns false when the record is null or already registered.
    bool registerClass(iClassInfo* info);
    // Returns false when the record was not registered.
    bool unregisterClass(iClassInfo* info);
    bool isRegistered(const iClassInfo* info) const;

    classRegistry(const classRegistry&) = delete;
    classRegistry& operator=(const classRegistry&) = delete;

private:
    classRegistry() = default;
    std::vector<iClassInfo*> records_;
};

// A plain package: a name, the class records it owns, and links to the packages it opened.
class ZEL_API defaultPackage : public iPackage, public iShutdownObserver {
public:
    explicit defaultPackage(const wstring& name);
    ~defaultPackage() override;
    defaultPackage(const defaultPackage&) = delete;
    defaultPackage& operator=(const defaultPackage&) = delete;

    // Takes ownership of info and registers it with the class registry. Null is refused.
    bool addClass(iClassInfo* info);
    const std::vector<iClassInfo*>& getClasses() const { return classes_; }
    // The file the package was loaded from; set by the loader.
    void setFileName(const wstring& file);

    wstring getFileName() const override;
    bool addLinkObserver(iLinkObserver* o) override;
    bool remLinkObserver(iLinkObserver* o) override;
    bool hasLinkObserver(iLinkObserver* o) const override;
    bool addShutdownObserver(iShutdownObserver* o) override;
    bool remShutdownObserver(iShutdownObserver* o) override;
    bool hasShutdownObserver(iShutdownObserver* o) const override;
    wstring getName() const override;
    // The folder of getFileName(), empty for a package not loaded from a file.
    wstring getDirectory() const override;
    // Records the link (once) and tells the link observers; returns the package, or null for null.
    iPackage* openLink(iPackage* other) override;
    // Loads the package of that name (see packageLoader) and links to it; null when it cannot be
    // loaded.
    iPackage* openLink(const wstring& name) override;
    bool closeLink(iPackage* other) override;
    bool hasLink(iPackage* other) const override;
    std::int32_t getNumLinks() const override;
    xstd::iterator<iPackage*> getLinkIterator() override;
    xstd::iterator<const iPackage*> getLinkConstIterator() const override;
    // Nothing to reclaim in a plain package: both return false.
    bool reclaim(pkgFile*) override;
    bool reclaim(iReclaimable*) override;
    // Tells every shutdown observer, in the order added, once per request.
    void requestShutdown() override;
    // A plain package does nothing when another asks it to shut down.
    void onShutdown(const shutdownEvent&) override;

private:
    wstring name_;
    wstring fileName_;
    std::vector<iClassInfo*> classes_;
    std::vector<iPackage*> links_;
    std::vector<iLinkObserver*> linkObservers_;
    std::vector<iShutdownObserver*> shutdownObservers_;
};

// Finds and loads packages by name: libNAME.so in the configured folders, then the folders of
// ZEL_PACKAGE_PATH, then the install folder for packages and the folder of the executable. Each
// package is loaded once per process; later requests give the same package.
class ZEL_API packageLoader {
public:
    static packageLoader& getTheSingleton();

    void addSearchFolder(const wstring& folder);
    // The folders tried for a name, in order.
    std::vector<wstring> getSearchFolders() const;
    // The package of that name, or null with the reason in *reason (naming the file when one was
    // found).
    iPackage* load(const wstring& name, std::string* reason = nullptr);
    // Loads a package from a file path; null with the reason on failure.
    iPackage* loadFile(const wstring& path, std::string* reason = nullptr);

    packageLoader(const packageLoader&) = delete;
    packageLoader& operator=(const packageLoader&) = delete;

private:
    packageLoader() = default;
    struct loaded {
        wstring name;
        wstring path;
        void* handle;
        iPackage* package;
    };
    std::vector<wstring> folders_;
    std::vector<loaded> packages_;
};

// Filler for an unused interface position: no interface is meant.
class iNullClass {
public:
    static constexpr xstd::uuid IID{};
    virtual ~iNullClass() {}
};

namespace impl {

// An empty base that carries a class identifier in the type.
template <std::uint32_t D1, std::uint16_t D2, std::uint16_t D3, std::uint8_t B0, std::uint8_t B1,
          std::uint8_t B2, std::uint8_t B3, std::uint8_t B4, std::uint8_t B5, std::uint8_t B6,
          std::uint8_t B7>
class id {
public:
    static constexpr xstd::uuid classId{D1, D2, D3, B0, B1, B2, B3, B4, B5, B6, B7};
};

// An empty base that carries a class's revision and the interfaces it is registered under.
template <class C, std::int32_t Revision, class I1, class I2 = iNullClass, class I3 = iNullClass,
          class I4 = iNullClass, class I5 = iNullClass, class I6 = iNullClass,
          class I7 = iNullClass, class I8 = iNullClass>
class defaultClass {
public:
    static constexpr std::int32_t classRevision = Revision;
};

} // namespace impl

// Defined by each package that uses classInfo: the package its records belong to.
iPackage* thisPackage();

// The class-info record of class C, registered under the interfaces I1..I8 (iNullClass fills unused
// positions). C names its identifier and revision through impl::id and impl::defaultClass.
template <class C, class I1, class I2 = iNullClass, class I3 = iNullClass, class I4 = iNullClass,
          class I5 = iNullClass, class I6 = iNullClass, class I7 = iNullClass,
          class I8 = iNullClass>
class classInfo : public iClassInfo {
public:
    classInfo() : impl_(C::classId, typeid(C), C::classRevision) {
        (addType<I1>(), addType<I2>(), addType<I3>(), addType<I4>(), addType<I5>(), addType<I6>(),
         addType<I7>(), addType<I8>());
        (addId<I1>(), addId<I2>(), addId<I3>(), addId<I4>(), addId<I5>(), addId<I6>(), addId<I7>(),
         addId<I8>());
    }
    ~classInfo() override = default;

    xstd::uuid getUUID() const override { return impl_.getUUID(); }
    std::int32_t getRevision() const override { return impl_.getRevision(); }
    const std::type_info& getTypeInfo() const override { return impl_.getTypeInfo(); }
    iPackage* getPackage() const override { return thisPackage(); }
    bool hasInterface(const xstd::uuid& iid) const override { return impl_.hasInterface(iid); }
    bool hasInterface(const std::type_info& type) const override {
        return impl_.hasInterface(type);
    }
    wstring getClassName() const override { return impl_.getClassName(); }
    std::vector<xstd::uuid> getInterfaceIds() const override { return impl_.getInterfaceIds(); }
    std::vector<const std::type_info*> getInterfaceTypes() const override {
        return impl_.getInterfaceTypes();
    }

    void* create(const xstd::uuid& iid) override {
        void* result = nullptr;
        (void)(createIf<I1>(iid == I1::IID, result) || createIf<I2>(iid == I2::IID, result) ||
               createIf<I3>(iid == I3::IID, result) || createIf<I4>(iid == I4::IID, result) ||
               createIf<I5>(iid == I5::IID, result) || createIf<I6>(iid == I6::IID, result) ||
               createIf<I7>(iid == I7::IID, result) || createIf<I8>(iid == I8::IID, result));
        return result;
    }
    void* create(const std::type_info& type) override {
        void* result = nullptr;
        (void)(createIf<I1>(type == typeid(I1), result) ||
               createIf<I2>(type == typeid(I2), result) ||
               createIf<I3>(type == typeid(I3), result) ||
               createIf<I4>(type == typeid(I4), result) ||
               createIf<I5>(type == typeid(I5), result) ||
               createIf<I6>(type == typeid(I6), result) ||
               createIf<I7>(type == typeid(I7), result) ||
               createIf<I8>(type == typeid(I8), result));
        return result;
    }
    void* cast(void* obj, const xstd::uuid& from, const xstd::uuid& to) override {
        C* whole = nullptr;
        (void)(fromIf<I1>(from == I1::IID, obj, whole) || fromIf<I2>(from == I2::IID, obj, whole) ||
               fromIf<I3>(from == I3::IID, obj, whole) || fromIf<I4>(from == I4::IID, obj, whole) ||
               fromIf<I5>(from == I5::IID, obj, whole) || fromIf<I6>(from == I6::IID, obj, whole) ||
               fromIf<I7>(from == I7::IID, obj, whole) || fromIf<I8>(from == I8::IID, obj, whole));
        void* result = nullptr;
        (void)(toIf<I1>(to == I1::IID, whole, result) || toIf<I2>(to == I2::IID, whole, result) ||
               toIf<I3>(to == I3::IID, whole, result) || toIf<I4>(to == I4::IID, whole, result) ||
               toIf<I5>(to == I5::IID, whole, result) || toIf<I6>(to == I6::IID, whole, result) ||
               toIf<I7>(to == I7::IID, whole, result) || toIf<I8>(to == I8::IID, whole, result));
        return result;
    }
    void* cast(void* obj, const std::type_info& from, const std::type_info& to) override {
        C* whole = nullptr;
        (void)(fromIf<I1>(from == typeid(I1), obj, whole) ||
               fromIf<I2>(from == typeid(I2), obj, whole) ||
               fromIf<I3>(from == typeid(I3), obj, whole) ||
               fromIf<I4>(from == typeid(I4), obj, whole) ||
               fromIf<I5>(from == typeid(I5), obj, whole) ||
               fromIf<I6>(from == typeid(I6), obj, whole) ||
               fromIf<I7>(from == typeid(I7), obj, whole) ||
               fromIf<I8>(from == typeid(I8), obj, whole));
        void* result = nullptr;
        (void)(toIf<I1>(to == typeid(I1), whole, result) ||
               toIf<I2>(to == typeid(I2), whole, result) ||
               toIf<I3>(to == typeid(I3), whole, result) ||
               toIf<I4>(to == typeid(I4), whole, result) ||
               toIf<I5>(to == typeid(I5), whole, result) ||
               toIf<I6>(to == typeid(I6), whole, result) ||
               toIf<I7>(to == typeid(I7), whole, result) ||
               toIf<I8>(to == typeid(I8), whole, result));
        return result;
    }

private:
    template <class I> static constexpr bool isFiller() { return std::is_same_v<I, iNullClass>; }

    template <class I> int addType() {
        if constexpr (!isFiller<I>())
            impl_.addInterface(typeid(I));
        return 0;
    }
    template <class I> int addId() {
        if constexpr (!isFiller<I>())
            if (!(I::IID == iNullClass::IID))
                impl_.addInterface(I::IID);
        return 0;
    }
    // The filler never matches, so a request for "no interface" creates nothing.
    template <class I> static bool createIf(bool match, void*& result) {
        if constexpr (isFiller<I>()) {
            return false;
        } else {
            if (!match)
                return false;
            result = static_cast<I*>(new C);
            return true;
        }
    }
    template <class I> static bool fromIf(bool match, void* obj, C*& whole) {
        if constexpr (isFiller<I>()) {
            return false;
        } else {
            if (!match)
                return false;
            whole = obj ? dynamic_cast<C*>(static_cast<I*>(obj)) : nullptr;
            return true;
        }
    }
    template <class I> static bool toIf(bool match, C* whole, void*& result) {
        if constexpr (isFiller<I>()) {
            return false;
        } else {
            if (!match)
                return false;
            result = whole ? static_cast<I*>(whole) : nullptr;
            return true;
        }
    }

    classInfoImpl impl_;
};

} // namespace zel::component
