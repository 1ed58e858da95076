// Class objects handed out by DllGetClassObject and the module's unload
// answer.
#include <gtest/gtest.h>

#include "com.h"
#include "frame/dll_exports.h"
#include "interfaces/MvMorvaCalc_ids.h"

namespace {

MV_DEFINE_GUID(CLSID_NotServed, 0x5A1E0001, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x01);

// The smallest object a class factory can make.
class CStartupProbe : public mv::ComObjectRoot<CStartupProbe>, public IUnknown {
public:
    using InterfaceMap = mv::Interfaces<IUnknown>;
};

IClassFactory* GetFactory(REFCLSID clsid, HRESULT* hr) {
    void* out = nullptr;
    *hr = DllGetClassObject(clsid, IID_IClassFactory, &out);
    return static_cast<IClassFactory*>(out);
}

class StartupClassObjects : public testing::Test {
protected:
    // The last class of the table, which stands outside the main object map.
    const CLSID& served = CLSID_MvCalcProperty;

    void SetUp() override {
        ASSERT_EQ(MvRegisterClassFactory(served, &mv::CreateComObject<CStartupProbe>), S_OK);
    }
    void TearDown() override {
        MvComModuleTerm();
        MvRegisterClassFactory(served, nullptr);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
};

TEST_F(StartupClassObjects, RequestsThatGiveNoClassObject) {
    struct Case {
        const char* name;
        const CLSID* clsid;
        const IID* iid;
        bool nullOut;
        HRESULT expected;
    };
    const Case cases[] = {
        {"null out pointer", &served, &IID_IClassFactory, true, E_INVALIDARG},
        {"class the module does not serve", &CLSID_NotServed, &IID_IClassFactory, false,
         CLASS_E_CLASSNOTAVAILABLE},
        {"class of the table not built yet", &CLSID_MvScheduleGroup, &IID_IClassFactory, false,
         CLASS_E_CLASSNOTAVAILABLE},
        {"interface a class object lacks", &served, &IID_IDispatch, false, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(DllGetClassObject(*c.clsid, *c.iid, c.nullOut ? nullptr : &out), c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(MvRegisterClassFactory(CLSID_NotServed, &mv::CreateComObject<CStartupProbe>),
              E_INVALIDARG);
}

TEST_F(StartupClassObjects, TheClassObjectIsKeptAndOnlyClientsKeepTheModuleLoaded) {
    HRESULT hr = E_FAIL;
    IClassFactory* first = GetFactory(served, &hr);
    ASSERT_EQ(hr, S_OK);
    IClassFactory* second = GetFactory(served, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    second->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    IUnknown* object = nullptr;
    ASSERT_EQ(first->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)),
              S_OK);
    ASSERT_EQ(first->LockServer(TRUE), S_OK);
    first->Release();
    // Kept only by the module now: an object and a server lock remain.
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    object->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    ASSERT_EQ(first->LockServer(FALSE), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(StartupClassObjects, ShutDownReleasesTheKeptClassObjectAndAClientsReferenceOutlivesIt) {
    HRESULT hr = E_FAIL;
    IClassFactory* held = GetFactory(served, &hr);
    ASSERT_EQ(hr, S_OK);
    MvComModuleTerm();
    IUnknown* object = nullptr;
    EXPECT_EQ(held->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    object->Release();
    held->Release();
    // A later request makes a new class object.
    IClassFactory* again = GetFactory(served, &hr);
    ASSERT_EQ(hr, S_OK);
    again->Release();
}

}  // namespace
