// The environment tests' world: the module started as a client's process
// starts it (entry point, base folder from MORVA_CALC_BASE in a temporary
// folder), its classes served through their class objects from the
// process's class table, documents written by SaveToFile, and a small
// formula library under the library class that serves the test's formulas.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../../support/bounded_run.h"
#include "../bindings/binding_test_support.h"
#include "environment/calc_environment.h"
#include "frame/app_globals.h"
#include "frame/dll_exports.h"
#include "frame/tagged_lock.h"
#include "interfaces/IMvPersistFile.h"
#include "keldrin_sim.h"
#include "library_file_test_support.h"

namespace envtest {

using bindtest::B;
namespace fs = std::filesystem;

// A gate for one GetFormula of the stand-in library: once armed, the next
// GetFormula looks its formula up, tells that it has arrived and answers
// with what it found only when the gate opens. So a look-up can be held
// while the test changes the world under it.
class Gate {
public:
    void Arm() {
        std::lock_guard guard(lock_);
        armed_ = true;
        arrived_ = open_ = false;
    }
    void AwaitArrival() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return arrived_; });
    }
    void Open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    // Called by GetFormula after its look-up.
    void Pass() {
        std::unique_lock guard(lock_);
        if (!armed_) return;
        armed_ = false;
        arrived_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool armed_ = false, arrived_ = false, open_ = false;
};

// The formulas the stand-in library hands out, by formula name, and what it
// was asked.
struct LibraryWorld {
    std::mutex lock;
    std::map<std::string, mv::ComPtr<IMvCalculation>> formulas;
    std::atomic<int> created{0};
    std::atomic<int> getFormula{0};
    std::atomic<int> clearFormulaRef{0};
    Gate gate;
};
inline LibraryWorld& Libraries() {
    static LibraryWorld world;
    return world;
}

// LoadFromFile succeeds when the file exists; GetFormula serves the world's
// formulas.
class StandInLibrary : public mv::ComObjectRoot<StandInLibrary>,
                       public mv::DispatchImpl<IMvFormulaLibrary>,
                       public IMvPersistFile {
public:
    using InterfaceMap =
        mv::Interfaces<IMvFormulaLibrary, mv::Via<IDispatch, IMvFormulaLibrary>, IMvPersistFile>;
    StandInLibrary() { ++Libraries().created; }

    HRESULT LoadFromFile(BSTR FileName) override {
        return access(mv::ToUtf8(FileName).c_str(), R_OK) == 0 ? S_OK : STG_E_FILENOTFOUND;
    }
    HRESULT SaveToFile(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Name(BSTR* pVal) override {
        *pVal = SysAllocString(name_.c_str());
        return S_OK;
    }
    HRESULT put_Name(BSTR newVal) override {
        name_ = newVal ? newVal : u"";
        return S_OK;
    }
    HRESULT GetFormula(BSTR Name, IMvCalculation** pFormula) override {
        ++Libraries().getFormula;
        mv::ComPtr<IMvCalculation> found;
        {
            std::lock_guard guard(Libraries().lock);
            auto it = Libraries().formulas.find(mv::ToUtf8(Name));
            if (it != Libraries().formulas.end()) found = it->second;
        }
        Libraries().gate.Pass();
        *pFormula = found.Detach();
        return *pFormula ? S_OK : E_FAIL;
    }
    HRESULT ClearFormulaRef(BSTR, BSTR) override {
        ++Libraries().clearFormulaRef;
        return S_OK;
    }
#define MV_STAND_IN_NOT_SERVED(Method, Args) \
    HRESULT Method Args override {           \
        return E_NOTIMPL;                    \
    }
#define MV_STAND_IN_NOT_SERVED_PROP(Name, Type) \
    MV_STAND_IN_NOT_SERVED(get_##Name, (Type*)) MV_STAND_IN_NOT_SERVED(put_##Name, (Type))
    MV_STAND_IN_NOT_SERVED_PROP(Description, BSTR)
    MV_STAND_IN_NOT_SERVED_PROP(CreationDate, DATE)
    MV_STAND_IN_NOT_SERVED_PROP(ModifiedDate, DATE)
    MV_STAND_IN_NOT_SERVED_PROP(ID, BSTR)
    MV_STAND_IN_NOT_SERVED_PROP(Password, LONG)
    MV_STAND_IN_NOT_SERVED_PROP(EditOwner, BSTR)
    MV_STAND_IN_NOT_SERVED(get_Formulas, (IMvObjCollection**))
    MV_STAND_IN_NOT_SERVED(AddFormula, (BSTR, IMvCalculation**))
    MV_STAND_IN_NOT_SERVED(FormulaDetailArray, (VARIANT*))
#undef MV_STAND_IN_NOT_SERVED_PROP
#undef MV_STAND_IN_NOT_SERVED

private:
    std::u16string name_;
};

using mv::test::WithinLimit;

class EnvironmentTest : public ::testing::Test {
protected:
    // With realLibrary the module's own formula-library and formula-reference
    // classes are served instead of the stand-in library.
    explicit EnvironmentTest(bool realLibrary = false) : realLibrary_(realLibrary) {}

    void SetUp() override {
        std::string pattern = std::string(MV_TEST_BINARY_DIR) + "/envbase-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        fs::create_directories(base_ / "Calc");
        fs::create_directories(base_ / "Lib");
        setenv("MORVA_CALC_BASE", base_.c_str(), 1);
        setenv("TZ", "UTC", 1);  // runs read local time on many threads
        tzset();
        KhSim_Reset();
        ASSERT_TRUE(DllMain(reinterpret_cast<HINSTANCE>(0x2468), DLL_PROCESS_ATTACH, nullptr));
        for (const CLSID* clsid : {&CLSID_MvCalculation, &CLSID_MvParameter, &CLSID_MvObjCollection,
                                   &CLSID_MvCalcEnvironment, &CLSID_MvPDCalcEnv})
            Serve(*clsid);
        if (realLibrary_) {
            Serve(CLSID_MvFormulaLibrary);
            Serve(CLSID_MvFormulaRef);
            return;
        }
        DWORD cookie = 0;
        ASSERT_EQ(mv::RegisterClassObject<StandInLibrary>(CLSID_MvFormulaLibrary, &cookie), S_OK);
        cookies_.push_back(cookie);
    }
    void TearDown() override {
        {
            std::lock_guard guard(Libraries().lock);
            Libraries().formulas.clear();
        }
        for (DWORD cookie : cookies_) CoRevokeClassObject(cookie);
        DllMain(reinterpret_cast<HINSTANCE>(0x2468), DLL_PROCESS_DETACH, nullptr);
        // The module is linked in and its statics outlive the detach: release
        // what the process end would, so that no cached library (nor its
        // formulas' function addresses in the libraries the detach freed)
        // reaches the next test.
        MvReleaseProcessObjects();
        MvSetModuleInstance(nullptr);
        unsetenv("MORVA_CALC_BASE");
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    void Serve(REFCLSID clsid) {
        mv::ComPtr<IUnknown> factory;
        ASSERT_EQ(DllGetClassObject(clsid, IID_IUnknown, factory.PutVoid()), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(CoRegisterClassObject(clsid, factory.get(), CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
        cookies_.push_back(cookie);
    }

    template <class I>
    static mv::ComPtr<I> Create(REFCLSID clsid) {
        mv::ComPtr<I> out;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, mv::IidOf<I>::value,
                                   out.PutVoid()),
                  S_OK);
        return out;
    }
    static mv::ComPtr<IMvCalcEnvironment> NewEnvironment() {
        return Create<IMvCalcEnvironment>(CLSID_MvCalcEnvironment);
    }
    static mv::ComPtr<IMvCalculation> NewCalculation(const char* name = "") {
        auto calc = Create<IMvCalculation>(CLSID_MvCalculation);
        calc->put_Name(B(name).get());
        return calc;
    }

    // Saves a calculation document Calc/<file>.mvc; `change` edits it first.
    template <class Change>
    void WriteCalc(const std::string& file, Change change) {
        auto calc = NewCalculation(file.c_str());
        change(calc.get());
        mv::ComPtr<IMvPersistFile> persist;
        ASSERT_EQ(calc.As(&persist), S_OK);
        ASSERT_EQ(persist->SaveToFile(B((base_ / "Calc" / (file + ".mvc")).string()).get()), S_OK);
    }
    void WriteCalc(const std::string& file) {
        WriteCalc(file, [](IMvCalculation*) {});
    }
    // A library file (the stand-in only checks that it exists).
    void WriteLibrary(const std::string& file) { std::ofstream(base_ / "Lib" / file) << "library"; }
    // Sets a library file's last-write time to `seconds` after the epoch.
    void SetLibraryTime(const std::string& file, time_t seconds) {
        SetLastWriteTime(base_ / "Lib" / file, seconds);
    }
    static void AddFormula(const std::string& name) {
        auto formula = NewCalculation(name.c_str());
        std::lock_guard guard(Libraries().lock);
        Libraries().formulas[name] = formula;
    }

    static mv::ComPtr<IMvCalculation> Get(IMvCalcEnvironment* env, const char* name,
                                          HRESULT expected = S_OK) {
        mv::ComPtr<IMvCalculation> calc;
        EXPECT_EQ(env->GetCalcObject(B(name).get(), nullptr, calc.Put()), expected) << name;
        return calc;
    }
    static mv::ComPtr<IMvFormulaLibrary> Library(IMvCalcEnvironment* env, const char* name) {
        mv::ComPtr<IMvFormulaLibrary> library;
        EXPECT_EQ(env->GetLibraryObject(B(name).get(), library.Put()), S_OK) << name;
        return library;
    }

    const bool realLibrary_;
    fs::path base_;
    std::vector<DWORD> cookies_;
};

}  // namespace envtest
