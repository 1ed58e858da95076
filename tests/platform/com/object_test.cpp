// Object roots, interface maps, aggregation, class factories and the
// library's lock count.
#include <gtest/gtest.h>

#include "com_test_support.h"

namespace {

MV_DEFINE_GUID(IID_IFoo, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55,
               0x01);
MV_DEFINE_GUID(IID_IBar, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55,
               0x02);

struct IFoo : IUnknown {
    virtual LONG Foo() = 0;
};
struct IBar : IUnknown {
    virtual LONG Bar() = 0;
};

}  // namespace

MV_IID_OF(IFoo, IID_IFoo);
MV_IID_OF(IBar, IID_IBar);

namespace {

struct Hooks {
    static inline HRESULT constructResult = S_OK;
    static inline int finalReleases = 0;
    static inline IUnknown* outerSeen = nullptr;
};

class CFooBar : public mv::ComObjectRoot<CFooBar>, public IFoo, public IBar {
public:
    using InterfaceMap = mv::Interfaces<IFoo, IBar>;
    HRESULT FinalConstruct() {
        Hooks::outerSeen = OuterUnknown();
        return Hooks::constructResult;
    }
    void FinalRelease() { ++Hooks::finalReleases; }
    LONG Foo() override { return 1; }
    LONG Bar() override { return 2; }
};

// A hand-written outer object that aggregates a CFooBar and exposes its
// interfaces as its own.
struct Outer : Stub<IUnknown> {
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) return Stub::QueryInterface(riid, ppv);
        return inner->QueryInterface(riid, ppv);
    }
    IUnknown* inner = nullptr;
};

class ObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        Hooks::constructResult = S_OK;
        Hooks::finalReleases = 0;
        Hooks::outerSeen = nullptr;
    }
    void TearDown() override { EXPECT_EQ(0, mv::ModuleLockCount()); }
};

TEST_F(ObjectTest, QueryInterfaceFollowsTheMap) {
    mv::ComPtr<IFoo> foo;
    ASSERT_EQ(S_OK, mv::CreateComObject<CFooBar>(nullptr, IID_IFoo, foo.PutVoid()));
    EXPECT_EQ(1, mv::ModuleLockCount());
    struct Case {
        const IID* iid;
        HRESULT hr;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IFoo, S_OK},
        {&IID_IBar, S_OK},
        {&IID_IStream, E_NOINTERFACE},
        {&IID_IDispatch, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        void* p = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(c.hr, foo->QueryInterface(*c.iid, &p));
        if (FAILED(c.hr)) {
            EXPECT_EQ(nullptr, p);
        } else {
            ASSERT_NE(nullptr, p);
            static_cast<IUnknown*>(p)->Release();
        }
    }
    EXPECT_EQ(E_POINTER, foo->QueryInterface(IID_IFoo, nullptr));

    // One identity whichever interface is asked.
    mv::ComPtr<IBar> bar;
    ASSERT_EQ(S_OK, foo.As(&bar));
    EXPECT_EQ(2, bar->Bar());
    mv::ComPtr<IUnknown> a, b;
    ASSERT_EQ(S_OK, foo.As(&a));
    ASSERT_EQ(S_OK, bar.As(&b));
    EXPECT_EQ(a.get(), b.get());

    // Reference counts balance: the last release destroys the object once.
    foo.Reset();
    bar.Reset();
    a.Reset();
    EXPECT_EQ(0, Hooks::finalReleases);
    b.Reset();
    EXPECT_EQ(1, Hooks::finalReleases);
}

TEST_F(ObjectTest, AggregatedObjectDelegatesToItsOuter) {
    Outer outer;
    ASSERT_EQ(S_OK, mv::CreateComObject<CFooBar>(&outer, IID_IUnknown,
                                                 reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), Hooks::outerSeen);
    EXPECT_EQ(1u, outer.refs) << "creating must not hold the outer";

    IFoo* foo = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IFoo, reinterpret_cast<void**>(&foo)));
    EXPECT_EQ(2u, outer.refs) << "the inner's interfaces count on the outer";
    // Asked through the inner's interface, IUnknown is the outer's identity.
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, foo->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    identity->Release();
    foo->Release();
    EXPECT_EQ(1u, outer.refs);

    EXPECT_EQ(0, Hooks::finalReleases);
    outer.inner->Release();
    EXPECT_EQ(1, Hooks::finalReleases);
}

TEST_F(ObjectTest, CreationFailuresLeaveNothingBehind) {
    struct Case {
        const char* what;
        bool aggregate;
        const IID* iid;
        HRESULT construct;
        HRESULT hr;
    };
    const Case cases[] = {
        {"aggregation asks for an interface", true, &IID_IFoo, S_OK, CLASS_E_NOAGGREGATION},
        {"unknown interface", false, &IID_IStream, S_OK, E_NOINTERFACE},
        {"FinalConstruct fails", false, &IID_IFoo, E_ABORT, E_ABORT},
        {"FinalConstruct fails aggregated", true, &IID_IUnknown, E_ACCESSDENIED, E_ACCESSDENIED},
    };
    Outer outer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Hooks::constructResult = c.construct;
        void* p = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(c.hr, mv::CreateComObject<CFooBar>(c.aggregate ? &outer : nullptr, *c.iid, &p));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(0, mv::ModuleLockCount());
        EXPECT_EQ(1u, outer.refs);
    }
    EXPECT_EQ(E_POINTER, mv::CreateComObject<CFooBar>(nullptr, IID_IFoo, nullptr));
}

TEST_F(ObjectTest, ClassFactoryMakesObjectsAndLocksTheLibrary) {
    mv::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, mv::CreateClassFactory<CFooBar>(IID_IClassFactory, factory.PutVoid()));
    EXPECT_EQ(S_FALSE, mv::ModuleCanUnloadNow()) << "a referenced class object holds the library";

    mv::ComPtr<IBar> bar;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBar, bar.PutVoid()));
    EXPECT_EQ(2, bar->Bar());

    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    bar.Reset();
    EXPECT_EQ(1, mv::ModuleLockCount());
    EXPECT_EQ(S_FALSE, mv::ModuleCanUnloadNow());
    mv::ComPtr<IClassFactory> again;
    ASSERT_EQ(S_OK, mv::CreateClassFactory<CFooBar>(IID_IUnknown, again.PutVoid()));
    ASSERT_EQ(S_OK, again->LockServer(FALSE));
    again.Reset();
    EXPECT_EQ(S_OK, mv::ModuleCanUnloadNow());
}

TEST_F(ObjectTest, ComPtrKeepsCountsBalanced) {
    mv::ComObject<CFooBar>* raw = nullptr;
    ASSERT_EQ(S_OK, mv::MakeComObject<CFooBar>(&raw));
    mv::ComPtr<mv::ComObject<CFooBar>> obj;
    obj.Attach(raw);
    EXPECT_EQ(1, obj->Foo());
    {
        mv::ComPtr<IFoo> copy(obj.get());
        mv::ComPtr<IFoo> moved(std::move(copy));
        EXPECT_EQ(nullptr, copy.get());
        IFoo* out = nullptr;
        ASSERT_EQ(S_OK, moved.CopyTo(&out));
        mv::ComPtr<IFoo> adopted;
        adopted.Attach(out);
    }
    EXPECT_EQ(0, Hooks::finalReleases);
    obj.Reset();
    EXPECT_EQ(1, Hooks::finalReleases);
}

}  // namespace
