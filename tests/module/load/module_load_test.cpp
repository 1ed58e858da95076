#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../executors/formula_artefacts.h"
#include "../frame/registry_test_support.h"
#include "com.h"
#include "comobj.h"
#include "corvex_sim.h"
#include "hosted_servers_sim.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvEngUnitType.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "keldrin_sim.h"
#include "module_load_test_support.h"
#include "script.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;
using namespace loadtest;

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

using regtest::KeyExists;
using regtest::Text;

// What registration wrote for every class and the type library.
void ExpectRegistered(const std::string& path) {
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
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32"), path);
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32", "ThreadingModel"), "Both");
        EXPECT_EQ(Text(clsidKey + "\\TypeLib"), kLibId);
        EXPECT_EQ(KeyExists(clsidKey + "\\Programmable"), c.programmable);
        programmable += KeyExists(clsidKey + "\\Programmable") ? 1 : 0;
    }
    EXPECT_EQ(programmable, 21);

    const std::string typeLib = std::string("TypeLib\\") + kLibId + "\\1.0";
    EXPECT_EQ(Text(typeLib), "Morva Calc Components");
    EXPECT_EQ(Text(typeLib + "\\409\\win32"), path);
    EXPECT_EQ(Text(typeLib + "\\FLAGS"), "0");
    EXPECT_EQ(Text(typeLib + "\\HELPDIR"), fs::path(path).parent_path().string());
}

void ExpectUnregistered() {
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
}

// What a client does with the registered module: parameters and a unit type
// made by ProgID, the local historian asked through a parameter, and a
// collection document of them written and read back.
void UseTheModule(const mv::Bstr& file) {
    {
        auto collection = Create<IMvObjCollection>(u"Morva.Calc.ObjCollection");
        ASSERT_TRUE(collection);
        for (const char16_t* name : {u"Flow", u"Level"}) {
            auto parameter = Create<IMvParameter>(u"Morva.Calc.Parameter");
            ASSERT_TRUE(parameter);
            parameter->put_Name(mv::Bstr(name).get());
            parameter->put_Description(mv::Bstr(std::u16string(name) + u" of tank 4").get());
            ASSERT_EQ(collection->Add(mv::Bstr(name).get(), parameter.get()), S_OK);
        }
        auto type = Create<IMvEngUnitType>(u"Morva.Calc.EngUnitType");
        ASSERT_TRUE(type);
        type->put_Name(mv::Bstr(u"Temperature").get());
        type->put_StandardUnit(mv::Bstr(u"K").get());
        ASSERT_EQ(collection->Add(mv::Bstr(u"Temperature").get(), type.get()), S_OK);
        mv::ComPtr<IMvPersistFile> document;
        ASSERT_EQ(collection.As(&document), S_OK);
        ASSERT_EQ(document->SaveToFile(file.get()), S_OK);
    }
    auto loaded = Create<IMvObjCollection>(u"Morva.Calc.ObjCollection");
    mv::ComPtr<IMvPersistFile> document;
    ASSERT_TRUE(loaded && loaded.As(&document) == S_OK);
    ASSERT_EQ(document->LoadFromFile(file.get()), S_OK);
    LONG count = 0;
    EXPECT_EQ(loaded->get_Count(&count), S_OK);
    EXPECT_EQ(count, 3);
    for (const char16_t* name : {u"Flow", u"Level"}) {
        mv::ComPtr<IDispatch> item;
        mv::ComPtr<IMvParameter> parameter;
        ASSERT_EQ(loaded->ItemByName(mv::Bstr(name).get(), item.Put()), S_OK);
        ASSERT_EQ(item.As(&parameter), S_OK);
        mv::Bstr description, server(u"localhost"), record(u"NOPE"), map(u""), error;
        parameter->get_Description(description.Out());
        EXPECT_EQ(description.Utf8(), mv::ToUtf8(name) + " of tank 4");
        EXPECT_EQ(parameter->SetUsingMap(server.get(), record.get(), map.get(), error.Out()), S_OK);
        EXPECT_EQ(error.Utf8(), "Could not find record \"NOPE\" ( Record not found. )");
    }
    mv::ComPtr<IDispatch> item;
    mv::ComPtr<IMvEngUnitType> type;
    ASSERT_EQ(loaded->ItemByName(mv::Bstr(u"temperature").get(), item.Put()), S_OK);
    ASSERT_EQ(item.As(&type), S_OK);
    mv::Bstr unit;
    type->get_StandardUnit(unit.Out());
    EXPECT_EQ(unit.Utf8(), "K");
}

// A client's whole session, three times in one process: load, register, use
// the classes through the registry route, release, and let the module go.
// Each load finds the module as a first load does; nothing keeps it mapped.
TEST_F(ModuleLoad, RegistersServesAndUnloadsThreeTimesInOneProcess) {
    const LONG initsBefore = KhSim_CallCount(KHSIM_API, "DaInitialize");
    const LONG shutdownsBefore = KhSim_CallCount(KHSIM_API, "DaShutdown");
    KhSim_SetOlderLibraryPresent(1);
    ASSERT_GT(KhSim_AddServer("LOCALNODE", 11, 3, 1), 0);
    const mv::Bstr file((fs::path(std::getenv("MORVA_COMMON_APPDATA")) / "Routed.mvc").string());
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        HMODULE module = LoadLibraryA(path_.c_str());
        ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaInitialize"), initsBefore + round);
        // The log was set up for the module: its folder exists.
        EXPECT_TRUE(fs::is_directory(fs::path(std::getenv("MORVA_COMMON_APPDATA")) / "Morva" /
                                     "DiagnosticLogs" / "Morva Calc"));
        // Loading writes nothing to the registry; a second load only counts.
        EXPECT_FALSE(KeyExists(std::string("CLSID\\") + kClasses[0].clsid));
        HMODULE again = LoadLibraryA(path_.c_str());
        EXPECT_EQ(again, module);
        EXPECT_TRUE(FreeLibrary(again));
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaInitialize"), initsBefore + round);

        ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
        ExpectRegistered(path_);
        UseTheModule(file);
        // Unregistering twice finds nothing left to remove, which is no failure.
        for (int twice = 0; twice < 2; ++twice)
            EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
        ExpectUnregistered();

        EXPECT_TRUE(FreeLibrary(module));
        CoFreeUnusedLibrariesEx(0, 0);  // hands activation's load of the module back
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaShutdown"), shutdownsBefore + round);
        EXPECT_EQ(dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "still mapped";
    }
    KhSim_SetOlderLibraryPresent(0);
}

// The module's per-thread variables sit in the static block set aside when
// it is loaded: a new thread has them before its first call into the module,
// instead of the C library allocating them at that call (and ending the
// process when memory has run out).
TEST_F(ModuleLoad, ANewThreadHasTheModulesPerThreadVariablesBeforeItsFirstCall) {
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
    void* block = nullptr;
    int rc = -1;
    std::thread([&] { rc = dlinfo(module, RTLD_DI_TLS_DATA, &block); }).join();
    EXPECT_EQ(rc, 0) << dlerror();
    EXPECT_NE(block, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
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

    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
}

// Every class of the registered module is made by its ProgID; the bus
// receiver answers the adapter's receive interface but not IDispatch.
TEST_F(ModuleLoad, EveryRegisteredClassIsCreatedByItsProgId) {
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
    ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
    int created = 0;
    for (const ExpectedClass& c : kClasses) {
        SCOPED_TRACE(c.progId);
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(mv::ToUtf16(c.progId).c_str(), &clsid), S_OK);
        mv::ComPtr<IUnknown> object;
        EXPECT_EQ(
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.PutVoid()),
            S_OK);
        created += object ? 1 : 0;
    }
    EXPECT_EQ(created, 23);

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.BPDReceiver.1", &clsid), S_OK);
    mv::ComPtr<IUnknown> receiver, itf;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, receiver.PutVoid()),
        S_OK);
    EXPECT_EQ(
        receiver->QueryInterface(Iid(u"{4C7D1A41-868F-3E58-89D4-848A65363A81}"), itf.PutVoid()),
        S_OK);
    EXPECT_EQ(receiver->QueryInterface(IID_IDispatch, itf.PutVoid()), E_NOINTERFACE);
    itf.Reset();
    receiver.Reset();

    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
}

// A kind-1 and a kind-6 calculation of the registered module. argdump gets
// the words of the command text, never a shell's; a program that does not
// start fails the run. Unloading the module shuts the formula library down
// once, though two names loaded it.
TEST_F(ModuleLoad, ProgramAndDllFormulasRunThroughTheRegisteredModule) {
    const fs::path dir = fs::path(std::getenv("MORVA_COMMON_APPDATA"));
    const std::string dump = (dir / "args.txt").string(), marker = (dir / "x").string();
    setenv("ARGDUMP_FILE", dump.c_str(), 1);
    setenv("MORVA_DLL_PATH", formula_test::FormulasDir().c_str(), 1);
    HMODULE formulas = LoadLibraryA(formula_test::kTestFormulas);  // keeps the counter mapped
    ASSERT_NE(formulas, nullptr) << mv::LoaderErrorText();
    static int shutdowns;
    shutdowns = 0;
    Export<void (*)(int*)>(formulas, "SetShutdownCounter")(&shutdowns);
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid), S_OK);
    // Runs a new calculation with the properties and the parameters' switches
    // and values; answers its ErrorText and Value.
    using Props = std::vector<std::pair<const char16_t*, mv::Variant>>;
    auto run = [&](const Props& props, const Props& params) {
        IDispatch* calc = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&calc)),
                  S_OK);
        for (const auto& [name, value] : props) mv::DispPutPropertyByName(calc, name, value);
        for (const auto& [argument, value] : params) {
            mv::Variant name(argument), parameter;
            mv::DispInvokeMethodByName(calc, u"AddParameter", &name, 1, &parameter);
            mv::DispPutPropertyByName(parameter.pdispVal, u"EXE_RuntimeArgument", name);
            mv::DispPutPropertyByName(parameter.pdispVal, u"Value", value);
        }
        mv::Variant none;
        EXPECT_EQ(mv::DispInvokeMethodByName(calc, u"Calculate", nullptr, 0, &none), S_OK);
        auto result = std::pair(mv::ToUtf8(Property(calc, u"ErrorText").bstrVal),
                                mv::Variant(Property(calc, u"Value")));
        calc->Release();
        return result;
    };

    const struct {
        std::string program;
        std::u16string mode;
        std::vector<std::string> args;
        std::string error;
    } programs[] = {
        {formula_test::ArgdumpPath(), u"fast", {"-t5.5", "/mode:fast"}, ""},
        {formula_test::ArgdumpPath(),
         mv::ToUtf16("5; touch " + marker),
         {"-t5.5", "/mode:5;", "touch", marker},
         ""},
        {dir / "missing", u"fast", {}, "Failed to start program: " + (dir / "missing").string()},
    };
    for (const auto& p : programs) {
        SCOPED_TRACE(p.program);
        fs::remove(dump);
        const Props props = {{u"FormulaType", mv::Variant(LONG{1})},
                             {u"ProgramName", mv::Variant(mv::ToUtf16(p.program))}};
        EXPECT_EQ(run(props, {{u"-t", mv::Variant(5.5)}, {u"/mode:", mv::Variant(p.mode)}}).first,
                  p.error);
        std::ifstream in(dump);
        std::vector<std::string> args;
        for (std::string line; std::getline(in, line);) args.push_back(line);
        EXPECT_EQ(args, p.args);
        EXPECT_FALSE(fs::exists(marker));
    }
    for (const char16_t* library : {u"mvtestformulas.dll", u"MVTESTFORMULAS.DLL"}) {
        const auto [error, value] = run({{u"FormulaType", mv::Variant(LONG{6})},
                                         {u"DllName", mv::Variant(library)},
                                         {u"FunctionName", mv::Variant(u"ReturnFortyTwo")}},
                                        {});
        EXPECT_EQ(error, "");
        EXPECT_EQ(value.lVal, 42);
    }

    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(shutdowns, 1);
    EXPECT_TRUE(FreeLibrary(formulas));
    unsetenv("MORVA_DLL_PATH");
    unsetenv("ARGDUMP_FILE");
}

// A spreadsheet formula computes in a workbook of the stand-in server that
// the module's object-server thread hosts.
TEST_F(ModuleLoad, SpreadsheetFormulaRunsThroughTheRegisteredModule) {
    hosted::Reset();
    ASSERT_EQ(hosted::RegisterServers(hosted::Bit(hosted::Server::Excel)), S_OK);
    hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
    hosted::SeedComputedCell(u"Plant.xls", u"Sheet1", 1, 3, [](const hosted::CellReader& read) {
        return mv::Variant(read(u"Sheet1", 1, 1).dblVal * read(u"Sheet1", 1, 2).dblVal);
    });
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid), S_OK);
    IDispatch* calc = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&calc)),
              S_OK);
    mv::DispPutPropertyByName(calc, u"FormulaType", mv::Variant(LONG{5}));
    mv::DispPutPropertyByName(calc, u"ExcelFileName", mv::Variant(u"/data/Plant.xls"));
    mv::DispPutPropertyByName(calc, u"CloseExcelAfterExecuting", mv::Variant(LONG{1}));
    mv::Variant product;
    const std::pair<const char16_t*, double> cells[] = {{u"A", 2.0}, {u"B", 3.0}, {u"C", 0.0}};
    for (LONG column = 1; const auto& [name, value] : cells) {
        mv::Variant argument(name), parameter;
        mv::DispInvokeMethodByName(calc, u"AddParameter", &argument, 1, &parameter);
        IDispatch* p = parameter.pdispVal;
        mv::DispPutPropertyByName(p, u"ParameterType", mv::Variant(LONG{column < 3 ? 1 : 2}));
        mv::DispPutPropertyByName(p, u"SpreadSheetName", mv::Variant(u"Sheet1"));
        mv::DispPutPropertyByName(p, u"SpreadSheetRow", mv::Variant(LONG{1}));
        mv::DispPutPropertyByName(p, u"SpreadSheetColumn", mv::Variant(column++));
        if (value != 0.0) mv::DispPutPropertyByName(p, u"Value", mv::Variant(value));
        product = parameter;  // the last one, C
    }
    mv::Variant none;
    EXPECT_EQ(mv::DispInvokeMethodByName(calc, u"Calculate", nullptr, 0, &none), S_OK);
    EXPECT_EQ(mv::ToUtf8(Property(calc, u"ErrorText").bstrVal), "");
    EXPECT_EQ(Property(product.pdispVal, u"Value").dblVal, 6.0);
    std::vector<DISPID> ids;
    for (const hosted::Call& c : hosted::Calls()) ids.push_back(c.id);
    EXPECT_EQ(ids,
              (std::vector<DISPID>{0x60030004, 0x60030007, 0x60030007, 0x60030009, 0x60030005}));
    product.Clear();
    calc->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(Export<HResultFn>(module, "DllUnregisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
    hosted::RevokeServers();
    hosted::Reset();
}

// A kind-4 calculation of the registered module whose text is one long chain
// of operators (a stored document may hold a 1 MB text): discovering its
// parameters and running it give the chain's sum or the formula library's
// "Expression nested too deeply", never the end of the process. Answers the
// exit status of the child process that runs it: 0 when each chain did.
int RunLongCorvexChains(const std::string& modulePath) {
    setenv("MORVA_DLL_PATH", (formula_test::BuildDir() / "dlls").c_str(), 1);
    HMODULE module = LoadLibraryA(modulePath.c_str());
    if (!module || Export<HResultFn>(module, "DllRegisterServer")() != S_OK) return 2;
    CLSID clsid{};
    if (CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid) != S_OK) return 3;
    bool right = true;
    for (const size_t bytes : {size_t{100} << 10, size_t{1} << 20}) {
        std::string text = "ReturnValue = A";
        size_t terms = 1;
        for (; text.size() < bytes; ++terms) text += "+2";
        mv::ComPtr<IDispatch> calc;
        mv::ComPtr<IMvCalculation3> discovery;
        const HRESULT made =
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, calc.PutVoid());
        if (made != S_OK || calc.As(&discovery) != S_OK) return 4;
        mv::DispPutPropertyByName(calc.get(), u"FormulaType", mv::Variant(LONG{4}));
        mv::DispPutPropertyByName(calc.get(), u"ScriptText", mv::Variant(mv::ToUtf16(text)));
        mv::Variant unused, unbound;
        discovery->CreateCorvexParams(mv::Bstr(u"").get(), &unused, &unbound);
        mv::Variant name(u"A"), a, none;
        mv::DispInvokeMethodByName(calc.get(), u"GetParameter", &name, 1, &a);
        if (a.vt == VT_DISPATCH && a.pdispVal)
            mv::DispPutPropertyByName(a.pdispVal, u"Value", mv::Variant(1.0));
        mv::DispInvokeMethodByName(calc.get(), u"Calculate", nullptr, 0, &none);
        const std::string error = mv::ToUtf8(Property(calc.get(), u"ErrorText").bstrVal);
        const mv::Variant value = Property(calc.get(), u"Value");
        const double sum = static_cast<double>(1 + (terms - 1) * 2);
        const bool ran = error.empty() && value.vt == VT_R8 && value.dblVal == sum;
        const bool refused = error == "Expression nested too deeply (line 1)";
        std::fprintf(stderr, "%zu bytes: \"%s\", %g of %g\n", text.size(), error.c_str(),
                     value.vt == VT_R8 ? value.dblVal : -1.0, sum);
        right = right && (ran || refused);
    }
    return right ? 0 : 1;
}

// Run in a child process, so that a regression fails this test, not the
// suite.
TEST_F(ModuleLoad, LongOperatorChainsOfACorvexFormulaRunOrAreRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(RunLongCorvexChains(path_)), testing::ExitedWithCode(0), "");
}

// Runs a new calculation of kind 3 (VBScript), 6 (a formula library) or 4
// (Corvex), its inputs made from `n`; true when its value is right.
bool RunsRight(REFCLSID clsid, int kind, int n) {
    mv::ComPtr<IMvCalculation> calc;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalculation,
                                calc.PutVoid())))
        return false;
    auto input = [&](const char16_t* name, double value) {
        mv::ComPtr<IMvParameter> parameter;
        if (FAILED(calc->GetParameter(mv::Bstr(name).get(), parameter.Put())))
            calc->AddParameter(mv::Bstr(name).get(), parameter.Put());
        if (!parameter) return;
        parameter->put_ParameterType(mvcInput);
        parameter->put_BindingType(mvcConstant);
        parameter->put_Value(mv::Variant(value));
    };
    double expected = 0;
    if (kind == 0) {
        calc->put_FormulaType(mvcVBS_Script_Method);
        calc->put_ScriptText(mv::Bstr(u"ReturnValue = A * 3 + B").get());
        input(u"A", n);
        input(u"B", 1);
        expected = n * 3 + 1;
    } else if (kind == 1) {
        calc->put_FormulaType(mvcDLL_Execute_Method);
        calc->put_DllName(mv::Bstr(u"MvTestFormulas.dll").get());
        calc->put_FunctionName(mv::Bstr(u"ReturnFortyTwo").get());
        expected = 42;
    } else {
        calc->put_FormulaType(mvcSimpleScript_Method);
        calc->put_ScriptText(mv::Bstr(u"ReturnValue = A * 2 + B").get());
        mv::ComPtr<IMvCalculation3> discovery;
        mv::Variant unused, unbound;
        if (calc.As(&discovery) != S_OK ||
            discovery->CreateCorvexParams(nullptr, &unused, &unbound) != S_OK)
            return false;
        input(u"A", n);
        input(u"B", 5);
        calc->put_SandBoxMode(1);
        expected = n * 2 + 5;
    }
    mv::Variant value, number;
    return calc->Calculate() == S_OK && calc->get_Value(&value) == S_OK &&
           SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)) && number.dblVal == expected;
}

// Four threads make, run and release calculations of kinds 3, 6 and Corvex
// through the registered module while another frees unused libraries in a
// loop: the module never goes while a thread is inside it. The rounds come
// in blocks; between two, when no thread holds anything of it, the module
// goes, and the next block loads it again.
TEST_F(ModuleLoad, CalculationsRunWhileAnotherThreadFreesUnusedLibraries) {
    constexpr DWORD kUnloadDelayMs = 5;
    constexpr int kThreads = 4, kBlocks = 4, kRounds = 24;
    setenv("MORVA_DLL_PATH", formula_test::FormulasDir().c_str(), 1);
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
    HMODULE module = LoadLibraryA(path_.c_str());
    ASSERT_NE(module, nullptr) << mv::LoaderErrorText();
    ASSERT_EQ(Export<HResultFn>(module, "DllRegisterServer")(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));  // from here on, only activation loads it
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid), S_OK);
    const LONG initsBefore = KhSim_CallCount(KHSIM_API, "DaInitialize");
    const LONG shutdownsBefore = KhSim_CallCount(KHSIM_API, "DaShutdown");

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread freer([&] {
        while (!done) CoFreeUnusedLibrariesEx(kUnloadDelayMs, 0);
    });
    for (int block = 0; block < kBlocks && !HasFatalFailure(); ++block) {
        SCOPED_TRACE(block);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round)
                    if (!RunsRight(clsid, (t + round) % 3, round)) ++wrong;
            });
        }
        for (auto& t : threads) t.join();
        // Nothing of the module is held now: the freer lets it go. The bound
        // only keeps a broken build from hanging.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (KhSim_CallCount(KHSIM_API, "DaShutdown") - shutdownsBefore <
               KhSim_CallCount(KHSIM_API, "DaInitialize") - initsBefore) {
            ASSERT_LT(std::chrono::steady_clock::now(), giveUp);
            std::this_thread::yield();
        }
    }
    done = true;
    freer.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(KhSim_CallCount(KHSIM_API, "DaInitialize") - initsBefore, kBlocks);
    EXPECT_EQ(dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "still mapped";
    CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
    unsetenv("MORVA_DLL_PATH");
}

}  // namespace
