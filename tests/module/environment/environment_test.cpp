// The environment object and the caches behind it, reached as a client
// reaches them: identity and reloads of cached calculations, the paths of
// documents, library reload and listing, the final release and the
// execution buffer.
#include <future>
#include <thread>

#include "../bindings/bus_adapter_test_support.h"
#include "environment/calc_cache.h"
#include "environment/library_cache.h"
#include "environment_test_support.h"
#include "frame/keldrin_client.h"
#include "parameters/unit_conversion.h"

namespace {

using namespace envtest;

TEST_F(EnvironmentTest, CachedCalculationsAreSharedUntilRemovedAndMissingFilesAreRetried) {
    auto env = NewEnvironment();
    WriteCalc("Flow");
    auto first = Get(env.get(), "Flow");
    ASSERT_TRUE(first);
    EXPECT_EQ(Get(env.get(), "Flow"), first);
    EXPECT_NE(Get(env.get(), "FLOW"), first) << "names that differ in case are two entries";

    EXPECT_EQ(env->RemoveCalcObject(B("Flow").get()), S_OK);
    auto second = Get(env.get(), "Flow");
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);

    // A missing or truncated document gives S_OK and null; the next use
    // loads it once it is written.
    std::ofstream(base_ / "Calc" / "Broken.mvc") << "not a document";
    for (const char* name : {"Later", "Broken"}) {
        EXPECT_FALSE(Get(env.get(), name)) << name;
        WriteCalc(name);
        EXPECT_TRUE(Get(env.get(), name)) << name;
    }

    // With a folder, every call loads a fresh, uncached object.
    mv::ComPtr<IMvCalculation> a, b;
    ASSERT_EQ(env->GetCalcObject(B("Flow").get(), B(base_.string()).get(), a.Put()), S_OK);
    ASSERT_EQ(env->GetCalcObject(B("Flow").get(), B(base_.string()).get(), b.Put()), S_OK);
    EXPECT_TRUE(a && b && a != b && a != second);
    // A null name is the empty name.
    WriteCalc("");
    mv::ComPtr<IMvCalculation> unnamed;
    ASSERT_EQ(env->GetCalcObject(nullptr, nullptr, unnamed.Put()), S_OK);
    EXPECT_TRUE(unnamed);
}

TEST_F(EnvironmentTest, DocumentPathsJoinWithSlashesAndMatchLetterCaseWhenNotExact) {
    WriteCalc("Mixed");
    fs::rename(base_ / "Calc" / "Mixed.mvc", base_ / "Calc" / "mIXED.MVC");
    fs::create_directories(base_ / "Calc" / "sub");
    const std::string base = base_.string();
    struct Row {
        std::string base, name, path;
    } rows[] = {
        {"", "Name", "/Calc/Name.mvc"},
        {base, "sub\\Name", base + "/Calc/sub/Name.mvc"},
        {base, "MIXED", base + "/Calc/mIXED.MVC"},
        {base, "mixed", base + "/Calc/mIXED.MVC"},
        {base, "m*", base + "/Calc/m*.mvc"},
        {base, "Absent", base + "/Calc/Absent.mvc"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(MvDocumentPath(row.base, "Calc", row.name), row.path) << row.name;
    EXPECT_TRUE(Get(NewEnvironment().get(), "Mixed"));
}

TEST_F(EnvironmentTest, StoreAndForwardStartsWithStatusSixOnlyForVariantTrue) {
    auto env = NewEnvironment();
    for (VARIANT_BOOL value : {VARIANT_BOOL(-1), VARIANT_BOOL(1)}) {
        const std::string name = "SF" + std::to_string(value + 1);
        WriteCalc(name, [&](IMvCalculation* c) { c->put_EnableStoreAndForward(value); });
        auto calc = Get(env.get(), name.c_str());
        ASSERT_TRUE(calc);
        SHORT status = 0;
        calc->get_Status(&status);
        EXPECT_EQ(status == 6, value == -1) << value;
    }
}

TEST_F(EnvironmentTest, LibraryFormulasAreRetriedUntilFoundAndAReplacementReloadsTheirUsers) {
    auto env = NewEnvironment();
    WriteLibrary("Lib1.mvc");
    WriteCalc("Based", [](IMvCalculation* c) {
        c->put_LibraryName(B("Lib1").get());
        c->put_FormulaName(B("Flow").get());
    });
    WriteCalc("Plain");
    const int before = Libraries().getFormula;
    EXPECT_FALSE(Get(env.get(), "Based"));
    EXPECT_FALSE(Get(env.get(), "Based"));
    EXPECT_EQ(Libraries().getFormula - before, 2) << "a missing formula is not cached";
    AddFormula("Flow");
    auto based = Get(env.get(), "Based");
    auto plain = Get(env.get(), "Plain");
    ASSERT_TRUE(based && plain);

    // The library itself stays cached and is told of the replacement; the
    // calculation based on the formula is loaded anew, the other is kept.
    auto library = Library(env.get(), "Lib1");
    EXPECT_EQ(Library(env.get(), "Lib1"), library);
    const int clears = Libraries().clearFormulaRef;
    EXPECT_EQ(env->ReplaceFormula(B("Lib1").get(), B("Flow").get()), S_OK);
    EXPECT_EQ(Libraries().clearFormulaRef - clears, 1);
    EXPECT_NE(Get(env.get(), "Based"), based);
    EXPECT_EQ(Get(env.get(), "Plain"), plain);

    mv::ComPtr<IMvFormulaLibrary> none;
    EXPECT_EQ(env->GetLibraryObject(B("Lib2").get(), none.Put()), STG_E_FILENOTFOUND);
    WriteLibrary("Lib2.mvc");
    EXPECT_TRUE(Library(env.get(), "Lib2")) << "a missing library file is retried";
}

TEST_F(EnvironmentTest, AShareKeptAcrossAClearingIsDetachedAndLooksItsNameUpAgain) {
    WriteCalc("Kept");
    ActiveCalcShare kept;
    mv::ComPtr<IMvCalculation> first, again, fresh;
    ASSERT_EQ(MvUseActiveCalc(kept, "Kept", first.Put()), S_OK);
    ASSERT_TRUE(first);
    const ActiveCalcObject* holder = kept.get();
    ASSERT_EQ(MvUseActiveCalc(kept, "Kept", again.Put()), S_OK);
    EXPECT_EQ(again, first);

    ClearActiveCalcs();
    EXPECT_TRUE(kept->Detached());
    ASSERT_EQ(MvUseActiveCalc(kept, "Kept", fresh.Put()), S_OK);
    EXPECT_NE(kept.get(), holder);
    EXPECT_NE(fresh, first);
    mv::ComPtr<IMvCalculation> shared;
    ASSERT_EQ(g_GetCalcObject(B("Kept").get(), shared.Put()), S_OK);
    EXPECT_EQ(shared, fresh) << "the kept share is the map's entry again";
}

TEST_F(EnvironmentTest, LibraryNamesListTheFilesAndAnEmptyFolderLeavesTheResultAlone) {
    auto env = NewEnvironment();
    mv::Variant untouched(LONG{7});
    ASSERT_EQ(env->GetLibraryNames(&untouched), S_OK);
    EXPECT_EQ(untouched.vt, VT_I4);

    for (const char* file : {"A.mvc", "b.mvc", "X.MVC", "notes.txt"}) WriteLibrary(file);
    mv::Variant names;
    ASSERT_EQ(env->GetLibraryNames(&names), S_OK);
    ASSERT_EQ(names.vt, VT_ARRAY | VT_VARIANT);
    std::vector<std::string> got;
    for (LONG i = 0; i < 3; ++i) {
        mv::Variant element;
        ASSERT_EQ(SafeArrayGetElement(names.parray, &i, &element), S_OK);
        got.push_back(mv::ToUtf8(element.bstrVal));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"A", "b", "X"}));
    LONG upper = 0;
    SafeArrayGetUBound(names.parray, 1, &upper);
    EXPECT_EQ(upper, 2);
}

TEST_F(EnvironmentTest, ARewrittenLibraryIsDroppedUnderEveryCaseButBuiltinNever) {
    auto env = NewEnvironment();
    ASSERT_EQ(env->put_EnableStaleLibraryReload(1), S_OK);
    VARIANT_BOOL on = 0;
    env->get_EnableStaleLibraryReload(&on);
    EXPECT_EQ(on, VARIANT_TRUE);
    for (const char* file : {"Lib1.mvc", "builtin.mvc"}) {
        WriteLibrary(file);
        SetLibraryTime(file, 1000000);
    }
    auto lower = Library(env.get(), "Lib1");
    auto upper = Library(env.get(), "LIB1");
    auto builtin = Library(env.get(), "builtin");
    EXPECT_FALSE(CMvCalcEnvironment::ReloadLibrary(B("Lib1").get())) << "nothing changed yet";

    SetLibraryTime("Lib1.mvc", 2000000);
    SetLibraryTime("builtin.mvc", 2000000);
    EXPECT_TRUE(CMvCalcEnvironment::ReloadLibrary(B("Lib1").get()));
    EXPECT_FALSE(CMvCalcEnvironment::ReloadLibrary(B("builtin").get()));
    EXPECT_NE(Library(env.get(), "Lib1"), lower);
    EXPECT_NE(Library(env.get(), "LIB1"), upper) << "no case variant keeps the old library";
    EXPECT_EQ(Library(env.get(), "builtin"), builtin);
    EXPECT_FALSE(CMvCalcEnvironment::ReloadLibrary(B("Lib1").get()));
}

TEST_F(EnvironmentTest, WithPerThreadCachesEachThreadDropsItsOwnStaleEntry) {
    auto env = NewEnvironment();
    auto pd = Create<IMvPDCalcEnv>(CLSID_MvPDCalcEnv);
    ASSERT_EQ(pd->SetPDCalc(), S_OK);
    env->put_EnableStaleLibraryReload(VARIANT_TRUE);
    WriteLibrary("Lib1.mvc");
    SetLibraryTime("Lib1.mvc", 1000000);

    // One other thread loads its own copy, then, after the rewrite and the
    // main thread's check, drops it at its own check.
    mv::ComPtr<IMvFormulaLibrary> mainOld = Library(env.get(), "Lib1");
    mv::ComPtr<IMvFormulaLibrary> otherOld, otherNew;
    bool otherDropped = false;
    std::promise<void> loaded, rewritten;
    std::thread other([&] {
        otherOld = Library(env.get(), "Lib1");
        loaded.set_value();
        rewritten.get_future().wait();
        otherDropped = CMvCalcEnvironment::ReloadLibrary(B("Lib1").get());
        otherNew = Library(env.get(), "Lib1");
        Create<IMvPDCalcEnv>(CLSID_MvPDCalcEnv);  // its release drops this thread's map
    });
    loaded.get_future().wait();
    EXPECT_NE(otherOld, mainOld) << "each thread has its own map";
    SetLibraryTime("Lib1.mvc", 2000000);
    EXPECT_TRUE(CMvCalcEnvironment::ReloadLibrary(B("Lib1").get()));
    EXPECT_NE(Library(env.get(), "Lib1"), mainOld);
    rewritten.set_value();
    other.join();
    EXPECT_TRUE(otherDropped) << "the other thread drops its own entry at its check";
    EXPECT_NE(otherNew, otherOld);
}

TEST_F(EnvironmentTest, AFinalReleaseEmptiesTheCachesStopsTheServicesAndTheyComeBack) {
    bindtest::SeededNode plant;
    plant.Seed("PLANT2", 11, 3, false);
    mv::ComPtr<mv::ComObject<bustest::RecordingAdapter>> adapter;
    ASSERT_EQ(mv::MakeComObject(&adapter), S_OK);
    g_pBusAdapter = mv::ComPtr<IMvAdapterControl>(adapter.get()).Detach();

    auto env = NewEnvironment();
    auto other = NewEnvironment();
    WriteCalc("Flow");
    WriteLibrary("Lib1.mvc");
    auto calc = Get(other.get(), "Flow");
    auto library = Library(other.get(), "Lib1");
    env->SetUnitConvColl(Create<IMvObjCollection>(CLSID_MvObjCollection).get());
    ASSERT_TRUE(MvGetUnitConvColl());
    ASSERT_EQ(KhSim_ApiStarted(), 1);

    env = nullptr;
    EXPECT_NE(Get(other.get(), "Flow"), calc) << "the other object's cache was emptied";
    EXPECT_NE(Library(other.get(), "Lib1"), library);
    EXPECT_EQ(adapter->stops.load(), 1);
    EXPECT_EQ(g_pBusAdapter, nullptr);
    EXPECT_FALSE(MvGetUnitConvColl());
    EXPECT_EQ(KhSim_ApiStarted(), 0);
    EXPECT_EQ(g_bDaInitialized, 0);

    // The next validation starts the historian client again.
    auto p = Create<IMvParameter>(CLSID_MvParameter);
    p->put_Name(B("P1").get());
    p->put_BindingType(mvcKeldrin);
    p->put_NodeName(B("PLANT2").get());
    p->put_RecordName(B("TAG1").get());
    p->put_FieldName(B("VALUE").get());
    mv::Bstr error;
    EXPECT_EQ(p->Validate2(VARIANT_FALSE, error.Out()), S_OK) << error.Utf8();
    EXPECT_EQ(KhSim_ApiStarted(), 1);
    EXPECT_EQ(g_bDaInitialized, 1);
}

TEST_F(EnvironmentTest, TheExecutionBufferGrowsOnlyAndAFailedGrowthKeepsTheOldOne) {
    auto env = NewEnvironment();
    EXPECT_EQ(env->GetThreadLocalBuffer(-1), E_INVALIDARG) << "no buffer and a negative size";
    EXPECT_EQ(TlsExecutionBufferSize(), 0);
    struct Step {
        LONG request;
        bool failGrowth;
        HRESULT hr;
        LONG size;
    } steps[] = {
        {100, false, S_OK, 100}, {50, false, S_OK, 100},          {-5, false, S_OK, 100},
        {200, false, S_OK, 200}, {300, true, E_OUTOFMEMORY, 200},
    };
    for (const Step& s : steps) {
        if (s.failGrowth) MvFailNextExecutionBufferGrowthForTesting();
        EXPECT_EQ(env->GetThreadLocalBuffer(s.request), s.hr) << s.request;
        EXPECT_EQ(TlsExecutionBufferSize(), s.size) << s.request;
    }
    BYTE* buffer = GetTlsExecutionBuffer(10);
    ASSERT_NE(buffer, nullptr);
    buffer[199] = 1;  // the whole capacity is there
    EXPECT_EQ(env->ReleaseThreadLocalBuffer(), S_OK);
    EXPECT_EQ(TlsExecutionBufferSize(), 0);
    mv::Variant error;
    EXPECT_EQ(env->AdoClose(nullptr, &error), S_OK);  // the outcome lies in ErrorText

    // Late-bound clients reach the same members by name.
    const std::pair<const char16_t*, DISPID> members[] = {{u"GetCalcObject", 1},
                                                          {u"GetThreadLocalBuffer", 7},
                                                          {u"AdoQueryInfo", 0xC},
                                                          {u"CreateTemporaryLibrary", 0x10},
                                                          {u"EnableStaleLibraryReload", 0x139}};
    for (const auto& [name, id] : members) {
        DISPID got = 0;
        EXPECT_EQ(mv::DispGetIDOfName(env.get(), name, &got), S_OK);
        EXPECT_EQ(got, id) << mv::ToUtf8(name);
    }
    mv::Variant size(LONG{64});
    EXPECT_EQ(mv::DispInvokeMethodByName(env.get(), u"GetThreadLocalBuffer", &size, 1, nullptr),
              S_OK);
    EXPECT_EQ(TlsExecutionBufferSize(), 64);
    env->ReleaseThreadLocalBuffer();
}

TEST_F(EnvironmentTest, DebugBuildsEndOnACacheLockTakenUnderTheTimeLock) {
#ifdef NDEBUG
    GTEST_SKIP() << "the order is checked in debug builds";
#endif
    {
        TaggedLockHolder cache(g_CalcCacheLock, kTaggedLockSingle);
        TaggedLockHolder time(g_LibraryTimeLock, kTaggedLockSingle);
        TaggedLockHolder again(g_CalcCacheLock, kTaggedLockSingle);  // re-entry is fine
    }
    EXPECT_DEATH(
        {
            TaggedLockHolder time(g_LibraryTimeLock, kTaggedLockSingle);
            TaggedLockHolder cache(g_CalcCacheLock, kTaggedLockSingle);
        },
        "lock order violated: g_CalcCacheLock entered while g_LibraryTimeLock is held");
}

}  // namespace
