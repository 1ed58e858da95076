#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "../frame/registry_test_support.h"
#include "com.h"
#include "comobj.h"
#include "keldrin_sim.h"
#include "script.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

// What registration must write for each class, written out independently
// of the module's own table.
struct ExpectedClass {
    const char* clsid;
    const char* progId;
    const char* coclass;
    bool programmable;
};
const ExpectedClass kClasses[] = {
    {"{3C8B53F0-E39D-11D2-B903-00805F712C95}", "Morva.Calc.Calculation.1", "MvCalculation", true},
    {"{3C8B53F2-E39D-11D2-B903-00805F712C95}", "Morva.Calc.Parameter.1", "MvParameter", true},
    {"{060C2313-E609-11D2-B903-00805F712C95}", "Morva.Calc.ObjCollection.1", "MvObjCollection",
     true},
    {"{830CBBF3-E946-11D2-B905-00805F712C95}", "Morva.Calc.DataSet.1", "MvDataSet", true},
    {"{842ED963-E950-11D2-B905-00805F712C95}", "Morva.Calc.DataSetColumn.1", "MvDataSetColumn",
     true},
    {"{655997C3-E956-11D2-B905-00805F712C95}", "Morva.Calc.ScheduleGroup.1", "MvScheduleGroup",
     true},
    {"{B94FB633-EB65-11D2-B905-00805F712C95}", "Morva.Calc.FormulaLibrary.1", "MvFormulaLibrary",
     true},
    {"{97474693-EB6A-11D2-B905-00805F712C95}", "Morva.Calc.EngUnit.1", "MvEngUnit", true},
    {"{A68D02B3-EB71-11D2-B905-00805F712C95}", "Morva.Calc.EngUnitType.1", "MvEngUnitType", true},
    {"{AF8BC903-EC7D-11D2-9573-0008C7A0E7AD}", "Morva.Calc.FormulaRef.1", "MvFormulaRef", false},
    {"{9A6F42B3-F9D5-11D2-B906-00805F712C95}", "Morva.Calc.CalcOLEMethod.1", "MvCalcOLEMethod",
     true},
    {"{45B910B3-F9D7-11D2-B906-00805F712C95}", "Morva.Calc.CalcOLEArg.1", "MvCalcOLEArg", true},
    {"{24F059B3-FF43-11D2-B907-00805F712C95}", "Morva.Calc.CalculationRef.1", "MvCalculationRef",
     true},
    {"{16393D13-016A-11D3-B907-00805F712C95}", "Morva.Calc.Environment.1", "MvCalcEnvironment",
     true},
    {"{53F69F03-1917-11D3-B909-00805F712C95}", "Morva.Calc.DravikConnect.1", "MvDravikConnect",
     true},
    {"{56E03121-F961-11D4-976B-0008C7A0E7AD}", "Morva.Calc.Value.1", "MvCalcValue", true},
    {"{56E03139-F961-11D4-976B-0008C7A0E7AD}", "Morva.Calc.Values.1", "MvCalcValues", true},
    {"{87530B96-40F7-443F-AE26-3D149CB5909A}", "Morva.Calc.CoreFunctions.1", "MvCalcCoreFunctions",
     true},
    {"{E6368011-327D-498C-A476-AC7DF6AB76C5}", "Morva.Calc.PDCalcEnv.1", "MvPDCalcEnv", true},
    {"{7B9A7075-89D1-487E-9FB1-7EEC3BC75C8F}", "MorvaCalc.MvCalcSampleInfo.1", "MvCalcSampleInfo",
     true},
    {"{AC0DF316-AFCE-4273-9EBA-2A2D9D32D7A0}", "Morva.Calc.BPDReceiver.1", "MvCalcBPDReceiver",
     false},
    {"{E71EB717-06B0-4619-9589-2EBDF76E608F}", "Morva.Calc.CalcProperties.1", "MvCalcProperties",
     true},
    {"{0E463A73-A592-4E64-903E-A4441D005E85}", "Morva.Calc.CalcProperty.1", "MvCalcProperty", true},
};
constexpr const char* kLibId = "{3C8B53E2-E39D-11D2-B903-00805F712C95}";

const std::vector<std::string> kStartUp = {
    "InitInstance",      "CreateObjectServerEvent", "InitializeLog", "AllocateTlsSlots",
    "ClearUnitConvColl", "InitializeLocks",         "GetBaseFolder", "InitKeldrinClient",
    "CreateOPCServers",  "InitComModule",
};
const std::vector<std::string> kShutDown = {
    "ExitInstance",      "StopObjectServer",  "ShutdownKeldrinClient", "CloseObjectServerEvent",
    "FreeTlsSlots",      "DestroyOPCServers", "DeleteLocks",           "FreeLibraryTimes",
    "CalcUnloadLibrary", "ReportLeaks",       "TermComModule",
};

std::string ModulePath() {
    const char* d = std::getenv("MV_TEST_LIB_DIR");
    fs::path dir = d && *d ? fs::path(d)
                           : fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
    return fs::canonical(dir / "libMvMorvaCalc.so").string();
}

using regtest::KeyExists;
using regtest::Text;

std::vector<std::string> Lines(const char* text) {
    std::vector<std::string> out;
    std::istringstream in(text ? text : "");
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(GetProcAddress(module, name));
}

class ModuleLoad : public testing::Test {
protected:
    void SetUp() override {
        registry_ =
            fs::path(MV_TEST_BINARY_DIR) / ("load-registry-" + std::to_string(getpid()) + ".reg");
        fs::remove(registry_);
        mv::RegistryUseFile(registry_.string());
        path_ = ModulePath();
    }
    void TearDown() override {
        mv::RegistryUseFile({});
        std::error_code ec;
        fs::remove(registry_, ec);
        fs::remove(registry_.string() + ".lock", ec);
    }

    fs::path registry_;
    std::string path_;
};

using StepsFn = const char* (*)();
using HResultFn = HRESULT (*)();

TEST_F(ModuleLoad, LoadsRegistersUnregistersAndUnloadsRunningStartUpAndShutDownOnce) {
    const LONG initsBefore = KhSim_CallCount(KHSIM_API, "DaInitialize");
    const LONG shutdownsBefore = KhSim_CallCount(KHSIM_API, "DaShutdown");

    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
    auto steps = Export<StepsFn>(module, "MvAppStepRecordForTesting");
    ASSERT_NE(steps, nullptr);
    EXPECT_EQ(Lines(steps()), kStartUp);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaInitialize"), initsBefore + 1);
    // The log was set up for the module: its folder exists.
    const char* appData = std::getenv("MORVA_COMMON_APPDATA");
    ASSERT_NE(appData, nullptr);
    EXPECT_TRUE(fs::is_directory(fs::path(appData) / "Morva" / "DiagnosticLogs" / "Morva Calc"));
    // Loading writes nothing to the registry.
    EXPECT_FALSE(KeyExists(std::string("CLSID\\") + kClasses[0].clsid));

    // A second load of the same file only counts.
    HMODULE again = LoadLibraryA(path_.c_str());
    EXPECT_EQ(again, module);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(Lines(steps()), kStartUp);

    auto registerServer = Export<HResultFn>(module, "DllRegisterServer");
    auto unregisterServer = Export<HResultFn>(module, "DllUnregisterServer");
    ASSERT_NE(registerServer, nullptr);
    ASSERT_NE(unregisterServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);

    int programmable = 0;
    for (const ExpectedClass& c : kClasses) {
        SCOPED_TRACE(c.progId);
        const std::string description = std::string(c.coclass) + " Class";
        std::string viProgId(c.progId);
        viProgId.resize(viProgId.size() - 2);  // without ".1"
        const std::string clsidKey = std::string("CLSID\\") + c.clsid;

        EXPECT_EQ(Text(c.progId), description);
        EXPECT_EQ(Text(std::string(c.progId) + "\\CLSID"), c.clsid);
        EXPECT_EQ(Text(viProgId), description);
        EXPECT_EQ(Text(viProgId + "\\CLSID"), c.clsid);
        EXPECT_EQ(Text(viProgId + "\\CurVer"), c.progId);
        EXPECT_EQ(Text(clsidKey), description);
        EXPECT_EQ(Text(clsidKey + "\\ProgID"), c.progId);
        EXPECT_EQ(Text(clsidKey + "\\VersionIndependentProgID"), viProgId);
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32"), path_);
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32", "ThreadingModel"), "Both");
        EXPECT_EQ(Text(clsidKey + "\\TypeLib"), kLibId);
        EXPECT_EQ(KeyExists(clsidKey + "\\Programmable"), c.programmable);
        programmable += KeyExists(clsidKey + "\\Programmable") ? 1 : 0;
    }
    EXPECT_EQ(programmable, 21);

    const std::string typeLib = std::string("TypeLib\\") + kLibId + "\\1.0";
    EXPECT_EQ(Text(typeLib), "Morva Calc Components");
    EXPECT_EQ(Text(typeLib + "\\409\\win32"), path_);
    EXPECT_EQ(Text(typeLib + "\\FLAGS"), "0");
    EXPECT_EQ(Text(typeLib + "\\HELPDIR"), fs::path(path_).parent_path().string());

    // Activation finds the module through the registry; a class not built
    // into it yet is not available.
    GUID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.ScheduleGroup", &clsid), S_OK);
    IClassFactory* factory = nullptr;
    EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);
    CoFreeUnusedLibraries();  // hands activation's load of the module back

    ASSERT_EQ(unregisterServer(), S_OK);
    EXPECT_TRUE(KeyExists("CLSID"));
    for (const ExpectedClass& c : kClasses) {
        SCOPED_TRACE(c.progId);
        std::string viProgId(c.progId);
        viProgId.resize(viProgId.size() - 2);
        EXPECT_FALSE(KeyExists(c.progId));
        EXPECT_FALSE(KeyExists(viProgId));
        EXPECT_FALSE(KeyExists(std::string("CLSID\\") + c.clsid));
    }
    EXPECT_FALSE(KeyExists(std::string("TypeLib\\") + kLibId));
    // Unregistering twice finds nothing left to remove, which is no failure.
    EXPECT_EQ(unregisterServer(), S_OK);
    EXPECT_EQ(Lines(steps()), kStartUp);

    // Keep the file mapped past the last FreeLibrary, so that the record of
    // the shut-down can still be read.
    void* pin = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    auto pinnedSteps = reinterpret_cast<StepsFn>(dlsym(pin, "MvAppStepRecordForTesting"));
    ASSERT_NE(pinnedSteps, nullptr);
    std::vector<std::string> expected = kStartUp;
    expected.insert(expected.end(), kShutDown.begin(), kShutDown.end());
    EXPECT_EQ(Lines(pinnedSteps()), expected);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaShutdown"), shutdownsBefore + 1);
    dlclose(pin);
}

mv::Variant Property(IDispatch* object, const char16_t* name) {
    mv::Variant value;
    EXPECT_EQ(mv::DispGetPropertyByName(object, name, &value), S_OK) << mv::ToUtf8(name);
    return value;
}

IID Iid(const char16_t* text) {
    IID iid{};
    EXPECT_EQ(IIDFromString(text, &iid), S_OK);
    return iid;
}

TEST_F(ModuleLoad, RegisteredClassesAreCreatedByProgIdAndACalculationAnswersAndRuns) {
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
    ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
    for (const char16_t* progId :
         {u"Morva.Calc.Calculation.1", u"Morva.Calc.CalcOLEMethod.1", u"Morva.Calc.CalcOLEArg.1",
          u"Morva.Calc.DataSet.1", u"Morva.Calc.DataSetColumn.1", u"Morva.Calc.DravikConnect"}) {
        SCOPED_TRACE(mv::ToUtf8(progId));
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        IUnknown* object = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        object->Release();
    }

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid), S_OK);
    IUnknown* calc = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&calc)),
              S_OK);
    const IID calculation = Iid(u"{3C8B53EF-E39D-11D2-B903-00805F712C95}");
    const IID calculation3 = Iid(u"{E638FC61-7D9B-11D3-B924-00805F712C95}");
    for (const IID& iid : {calculation, IID_IDispatch, IID_ISupportErrorInfo, IID_IActiveScriptSite,
                           IID_IPersistStream, Iid(u"{86A0CB21-EEBC-11D2-B906-00805F712C95}"),
                           calculation3, Iid(u"{FAF375F1-EEC4-11D2-B906-00805F712C95}"),
                           Iid(u"{A4486A91-7F5B-11D4-96F6-0008C7A0E7AD}")}) {
        IUnknown* itf = nullptr;
        EXPECT_EQ(calc->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK);
        if (itf) itf->Release();
    }
    void* persist = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(calc->QueryInterface(IID_IPersist, &persist), E_NOINTERFACE);
    IUnknown* dual = nullptr;
    IUnknown* dispatch = nullptr;
    calc->QueryInterface(calculation, reinterpret_cast<void**>(&dual));
    calc->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    EXPECT_EQ(dual, dispatch);
    ISupportErrorInfo* errors = nullptr;
    ASSERT_EQ(calc->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errors)), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(calculation), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(calculation3), S_FALSE);
    errors->Release();

    // A kind-0 run through dispatch: the worst input level, the run time
    // across a wrap of the tick counter.
    IDispatch* run = static_cast<IDispatch*>(dispatch);
    EXPECT_EQ(mv::DispPutPropertyByName(run, u"FormulaType", mv::Variant(LONG{0})), S_OK);
    for (const auto& [name, level] : {std::pair{u"A", 0}, std::pair{u"B", 2}}) {
        mv::Variant arg(name), parameter;
        ASSERT_EQ(mv::DispInvokeMethodByName(run, u"AddParameter", &arg, 1, &parameter), S_OK);
        ASSERT_EQ(parameter.vt, VT_DISPATCH);
        mv::DispPutPropertyByName(parameter.pdispVal, u"ParameterType", mv::Variant(LONG{1}));
        mv::DispPutPropertyByName(parameter.pdispVal, u"BindingType", mv::Variant(LONG{3}));
        mv::Variant levelValue;
        levelValue.vt = VT_I2;
        levelValue.iVal = static_cast<SHORT>(level);
        mv::DispPutPropertyByName(parameter.pdispVal, u"Level", levelValue);
    }
    static int ticks;
    ticks = 0;
    mv::SetTickClockForTesting([]() -> ULONGLONG { return ticks++ == 0 ? 0xFFFFFA24ull : 0; });
    mv::Variant none;
    EXPECT_EQ(mv::DispInvokeMethodByName(run, u"Calculate", nullptr, 0, &none), S_OK);
    mv::SetTickClockForTesting(nullptr);
    EXPECT_EQ(Property(run, u"Value").vt, VT_EMPTY);
    EXPECT_EQ(Property(run, u"Level").iVal, 2);
    EXPECT_EQ(Property(run, u"Status").iVal, -6);
    EXPECT_GT(Property(run, u"LastExecution").date, 40000.0);
    EXPECT_EQ(Property(run, u"CalculateTime").dblVal, 1.5);
    dual->Release();
    dispatch->Release();
    calc->Release();

    CoFreeUnusedLibraries();
    EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
