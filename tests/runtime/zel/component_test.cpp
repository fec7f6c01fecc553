// Class records, the registry and the plain package, without loading anything.
#include <zel/component.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace local {

class iShape {
public:
    static constexpr zel::xstd::uuid IID{0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55,
                                         0x55,       0x55,   0x55,   0x55, 0x55};
    virtual ~iShape() {}
    virtual int corners() const { return 0; }
};

class iNamed {
public:
    static constexpr zel::xstd::uuid IID{0xAAAAAAAA, 0xBBBB, 0xCCCC, 0xDD, 0xDD, 0xEE,
                                         0xEE,       0xEE,   0xEE,   0xEE, 0x01};
    virtual ~iNamed() {}
};

class square : public iShape,
               public iNamed,
               public zel::component::impl::id<0x5A0A0E00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10>,
               public zel::component::impl::defaultClass<square, 7, iShape, iNamed> {
public:
    int corners() const override { return 4; }
};

class triangle : public iShape,
                 public zel::component::impl::id<0x7A0A0E00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10>,
                 public zel::component::impl::defaultClass<triangle, 1, iShape> {
public:
    int corners() const override { return 3; }
};

} // namespace local

zel::component::iPackage* zel::component::thisPackage() {
    return nullptr;
}

namespace {

using namespace zel::component;
using squareInfo = classInfo<local::square, local::iShape, local::iNamed>;
using triangleInfo = classInfo<local::triangle, local::iShape>;

int deletedRecords = 0;
struct countedTriangleInfo : triangleInfo {
    ~countedTriangleInfo() override { ++deletedRecords; }
};

TEST(ClassInfo, DescribesTheClassAndItsInterfaces) {
    squareInfo info;
    EXPECT_EQ(info.getUUID(), local::square::classId);
    EXPECT_EQ(info.getRevision(), 7);
    EXPECT_EQ(info.getTypeInfo(), typeid(local::square));
    EXPECT_EQ(info.getClassName(), u"local::square");
    EXPECT_EQ(info.getInterfaceIds(),
              (std::vector<zel::xstd::uuid>{local::iShape::IID, local::iNamed::IID}));
    const auto types = info.getInterfaceTypes();
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(*types[0], typeid(local::iShape));
    EXPECT_EQ(*types[1], typeid(local::iNamed));
    EXPECT_FALSE(info.hasInterface(iNullClass::IID));
    EXPECT_FALSE(info.hasInterface(typeid(iNullClass)));
    EXPECT_EQ(info.create(iNullClass::IID), nullptr);
    EXPECT_EQ(info.create(local::square::classId), nullptr);

    auto* shape = static_cast<local::iShape*>(info.create(local::iShape::IID));
    ASSERT_NE(shape, nullptr);
    EXPECT_EQ(shape->corners(), 4);
    // Across the two bases of one object: the pointer must be adjusted, not reinterpreted.
    void* named = info.cast(shape, local::iShape::IID, local::iNamed::IID);
    EXPECT_EQ(named, static_cast<local::iNamed*>(static_cast<local::square*>(shape)));
    EXPECT_EQ(info.cast(named, typeid(local::iNamed), typeid(local::iShape)), shape);
    EXPECT_EQ(info.cast(shape, local::iShape::IID, iNullClass::IID), nullptr);
    EXPECT_EQ(info.cast(nullptr, local::iShape::IID, local::iNamed::IID), nullptr);
    delete shape;
}

TEST(ClassInfoImpl, AddsEachEntryOnce) {
    classInfoImpl impl(local::triangle::classId, typeid(local::triangle), 3);
    EXPECT_TRUE(impl.addInterface(local::iShape::IID));
    EXPECT_FALSE(impl.addInterface(local::iShape::IID));
    EXPECT_TRUE(impl.addInterface(typeid(local::iShape)));
    EXPECT_FALSE(impl.addInterface(typeid(local::iShape)));
    EXPECT_EQ(impl.getInterfaceIds().size(), 1u);
    EXPECT_EQ(impl.getInterfaceTypes().size(), 1u);
    EXPECT_FALSE(impl.hasInterface(local::iNamed::IID));
}

TEST(Registry, NewestRegistrationWinsAndUnregisterRestores) {
    classRegistry& registry = classRegistry::getTheSingleton();
    squareInfo older;
    triangleInfo newer;
    EXPECT_FALSE(registry.registerClass(nullptr));
    ASSERT_TRUE(registry.registerClass(&older));
    EXPECT_FALSE(registry.registerClass(&older));
    EXPECT_EQ(registry.findInterface(local::iShape::IID), &older);
    ASSERT_TRUE(registry.registerClass(&newer));
    EXPECT_EQ(registry.findInterface(local::iShape::IID), &newer);
    EXPECT_EQ(registry.findInterface(local::iNamed::IID), &older);
    EXPECT_EQ(registry.findAllInterface(local::iShape::IID),
              (std::vector<iClassInfo*>{&older, &newer}));

    EXPECT_TRUE(registry.unregisterClass(&newer));
    EXPECT_FALSE(registry.unregisterClass(&newer));
    EXPECT_FALSE(registry.isRegistered(&newer));
    EXPECT_EQ(registry.findInterface(local::iShape::IID), &older);
    EXPECT_TRUE(registry.unregisterClass(&older));
    EXPECT_EQ(registry.findInterface(local::iShape::IID), nullptr);
    EXPECT_EQ(registry.findInterface(iNullClass::IID), nullptr);
}

TEST(DefaultPackage, OwnsAndUnregistersItsRecords) {
    classRegistry& registry = classRegistry::getTheSingleton();
    deletedRecords = 0;
    auto* package = new defaultPackage(u"owner");
    auto* record = new countedTriangleInfo;
    EXPECT_FALSE(package->addClass(nullptr));
    ASSERT_TRUE(package->addClass(record));
    EXPECT_FALSE(package->addClass(record));
    EXPECT_TRUE(registry.isRegistered(record));
    EXPECT_EQ(registry.findInterface(local::iShape::IID), record);

    // A record registered by someone else stays theirs.
    squareInfo foreign;
    registry.registerClass(&foreign);
    EXPECT_FALSE(package->addClass(&foreign));
    registry.unregisterClass(&foreign);

    delete package;
    EXPECT_EQ(deletedRecords, 1);
    EXPECT_EQ(registry.findInterface(local::iShape::IID), nullptr);
}

TEST(DefaultPackage, NameFileAndDirectory) {
    defaultPackage package(u"pkg");
    EXPECT_EQ(package.getName(), u"pkg");
    EXPECT_EQ(package.getDirectory(), u"");
    package.setFileName(u"/opt/zel/libpkg.so");
    EXPECT_EQ(package.getFileName(), u"/opt/zel/libpkg.so");
    EXPECT_EQ(package.getDirectory(), u"/opt/zel");
    package.setFileName(u"/libpkg.so");
    EXPECT_EQ(package.getDirectory(), u"/");
    EXPECT_FALSE(package.reclaim(static_cast<iReclaimable*>(nullptr)));
}

struct linkLog : iLinkObserver {
    std::vector<std::string> lines;
    void onLink(iPackage* from, iPackage* to) override {
        lines.push_back("link " + zel::xstd::toUtf8(from->getName()) + "->" +
                        zel::xstd::toUtf8(to->getName()));
    }
    void onUnlink(iPackage* from, iPackage* to) override {
        lines.push_back("unlink " + zel::xstd::toUtf8(from->getName()) + "->" +
                        zel::xstd::toUtf8(to->getName()));
    }
};

TEST(DefaultPackage, LinksAreRecordedOnceAndObserved) {
    defaultPackage a(u"a"), b(u"b"), c(u"c");
    linkLog log;
    EXPECT_TRUE(a.addLinkObserver(&log));
    EXPECT_FALSE(a.addLinkObserver(&log));
    EXPECT_FALSE(a.addLinkObserver(nullptr));
    EXPECT_TRUE(a.hasLinkObserver(&log));

    EXPECT_EQ(a.openLink(static_cast<iPackage*>(nullptr)), nullptr);
    EXPECT_EQ(a.openLink(&b), &b);
    EXPECT_EQ(a.openLink(&b), &b);
    EXPECT_EQ(a.openLink(&c), &c);
    EXPECT_EQ(a.getNumLinks(), 2);
    std::vector<iPackage*> walked;
    for (auto it = a.getLinkIterator(); it.isValid(); it.advance())
        walked.push_back(it.getCurrent());
    EXPECT_EQ(walked, (std::vector<iPackage*>{&b, &c}));
    EXPECT_TRUE(a.getLinkConstIterator().isValid());

    EXPECT_TRUE(a.closeLink(&b));
    EXPECT_FALSE(a.closeLink(&b));
    EXPECT_FALSE(a.hasLink(&b));
    EXPECT_TRUE(a.remLinkObserver(&log));
    EXPECT_FALSE(a.remLinkObserver(&log));
    EXPECT_TRUE(a.closeLink(&c));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"link a->b", "link a->c", "unlink a->b"}));
}

// Removes another observer while it is told: that one must not be told any more.
struct shutdownLog : iShutdownObserver {
    std::vector<std::string>* lines = nullptr;
    std::string name;
    iPackage* package = nullptr;
    iShutdownObserver* removeOnShutdown = nullptr;
    void onShutdown(const shutdownEvent& e) override {
        lines->push_back(name + (e.getSource() == package ? " from package" : " from elsewhere"));
        if (removeOnShutdown)
            package->remShutdownObserver(removeOnShutdown);
    }
};

TEST(DefaultPackage, ShutdownTellsObserversInOrderOncePerRequest) {
    defaultPackage package(u"p");
    std::vector<std::string> lines;
    shutdownLog first, second, third;
    for (auto* o : {&first, &second, &third}) {
        o->lines = &lines;
        o->package = &package;
    }
    first.name = "first";
    second.name = "second";
    third.name = "third";
    EXPECT_TRUE(package.addShutdownObserver(&first));
    EXPECT_TRUE(package.addShutdownObserver(&second));
    EXPECT_FALSE(package.addShutdownObserver(&second));
    EXPECT_TRUE(package.addShutdownObserver(&third));
    second.removeOnShutdown = &third;
    package.requestShutdown();
    package.requestShutdown();
    EXPECT_EQ(lines, (std::vector<std::string>{"first from package", "second from package",
                                               "first from package", "second from package"}));
    EXPECT_FALSE(package.hasShutdownObserver(&third));
}

} // namespace
