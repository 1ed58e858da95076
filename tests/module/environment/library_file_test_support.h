// Formula-library files of DLL formulas from the test formula library,
// written by the library class's SaveToFile. Needs the module's interfaces
// alone: tests that serve the module's classes in-process and tests that
// reach the registered module through activation share it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "../executors/formula_artefacts.h"
#include "com.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaLibrary.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"

namespace envtest {

// One formula of a library file: a DLL formula of the test formula library
// and its parameters after "ReturnValue" (name, direction).
struct DllFormula {
    const char* name;
    const char* function;
    std::vector<std::pair<const char*, LONG>> parameters;
};

inline void UseDllFunction(IMvCalculation* calc, const char* function) {
    calc->put_FormulaType(mvcDLL_Execute_Method);
    calc->put_DllName(mv::Bstr(formula_test::kTestFormulas).get());
    calc->put_FunctionName(mv::Bstr(function).get());
}

// Sets a file's last-write time to `seconds` after the epoch.
inline void SetLastWriteTime(const std::filesystem::path& file, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

// Saves the library file holding the formulas through a new object of the
// library class, its last-write time set to `seconds` after the epoch.
inline void SaveLibraryFile(const std::filesystem::path& file,
                            const std::vector<DllFormula>& formulas, time_t seconds) {
    mv::ComPtr<IMvFormulaLibrary> made;
    ASSERT_EQ(CoCreateInstance(CLSID_MvFormulaLibrary, nullptr, CLSCTX_INPROC_SERVER,
                               mv::IidOf<IMvFormulaLibrary>::value, made.PutVoid()),
              S_OK);
    for (const DllFormula& f : formulas) {
        mv::ComPtr<IMvCalculation> formula;
        ASSERT_EQ(made->AddFormula(mv::Bstr(f.name).get(), formula.Put()), S_OK);
        UseDllFunction(formula.get(), f.function);
        for (const auto& [name, direction] : f.parameters) {
            mv::ComPtr<IMvParameter> parameter;
            ASSERT_EQ(formula->AddParameter(mv::Bstr(name).get(), parameter.Put()), S_OK);
            parameter->put_ParameterType(direction);
        }
    }
    mv::ComPtr<IMvPersistFile> persist;
    ASSERT_EQ(made.As(&persist), S_OK);
    ASSERT_EQ(persist->SaveToFile(mv::Bstr(file.string()).get()), S_OK);
    SetLastWriteTime(file, seconds);
}

}  // namespace envtest
