// A class-info record for a framework service: registered under one interface, its create hands out
// whatever the getter gives (the provider's shared object, or a new one the provider keeps).
#pragma once

#include <zel/component.h>
#include <zel/types.h>
#include <zel/xstd.h>

#include <functional>
#include <typeinfo>
#include <utility>

namespace zel::world {

template <class I> class serviceInfo final : public component::iClassInfo {
public:
    using getter = std::function<I*()>;

    // classType names the implementing class; package may be null (a service of the host itself).
    serviceInfo(const xstd::uuid& classId, const std::type_info& classType, wstring className,
                getter get, component::iPackage* package = nullptr)
        : classId_(classId), classType_(&classType), className_(std::move(className)),
          get_(std::move(get)), package_(package) {}
    serviceInfo(const serviceInfo&) = delete;
    serviceInfo& operator=(const serviceInfo&) = delete;

    xstd::uuid getUUID() const override { return classId_; }
    std::int32_t getRevision() const override { return 1; }
    const std::type_info& getTypeInfo() const override { return *classType_; }
    component::iPackage* getPackage() const override { return package_; }
    bool hasInterface(const xstd::uuid& iid) const override { return iid == I::IID; }
    bool hasInterface(const std::type_info& type) const override { return type == typeid(I); }
    wstring getClassName() const override { return className_; }
    std::vector<xstd::uuid> getInterfaceIds() const override { return {I::IID}; }
    std::vector<const std::type_info*> getInterfaceTypes() const override { return {&typeid(I)}; }

    void* create(const xstd::uuid& iid) override { return iid == I::IID ? make() : nullptr; }
    void* create(const std::type_info& type) override {
        return type == typeid(I) ? make() : nullptr;
    }
    // Only the one interface: a pointer to it stays what it is.
    void* cast(void* obj, const xstd::uuid& from, const xstd::uuid& to) override {
        return from == I::IID && to == I::IID ? obj : nullptr;
    }
    void* cast(void* obj, const std::type_info& from, const std::type_info& to) override {
        return from == typeid(I) && to == typeid(I) ? obj : nullptr;
    }

private:
    // The void* must be the I* itself, since callers turn it back with a static_cast to I*.
    void* make() const { return get_ ? static_cast<void*>(static_cast<I*>(get_())) : nullptr; }

    xstd::uuid classId_;
    const std::type_info* classType_;
    wstring className_;
    getter get_;
    component::iPackage* package_;
};

} // namespace zel::world
