// Calculations that call a library formula, across saves of the library's
// file with stale-library reload on. Needs the module's interfaces alone:
// the calculation tests run it on the classes served in-process, the load
// tests through the registered module.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../environment/library_file_test_support.h"
#include "com.h"
#include "interfaces/IMvCalcEnvironment.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaRef.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"

namespace envtest {

// The calculation's formula references as "name@library ", in collection
// order.
inline std::string ReferencesOf(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> references;
    LONG count = 0;
    if (FAILED(calc->get_FormulaRefs(references.Put())) || !references ||
        FAILED(references->get_Count(&count)))
        return "none";
    std::string shown;
    for (LONG i = 1; i <= count; ++i) {
        mv::ComPtr<IDispatch> item;
        mv::ComPtr<IMvFormulaRef> reference;
        mv::Bstr name, library;
        if (SUCCEEDED(references->ItemByIndex(i, item.Put())) && item &&
            SUCCEEDED(item.As(&reference))) {
            reference->get_Name(name.Out());
            reference->get_LibraryName(library.Out());
        }
        shown += name.Utf8() + "@" + library.Utf8() + " ";
    }
    return shown;
}

// With reload on, a Corvex and a VBScript calculation, made by
// `newCalculation`, call the formula "Forty" of base/Lib/Lib1.mvc. Saves of
// the same formulas at a later time change no result, whichever calculation
// is the first to look; saved documents keep the reference; a save without
// the formula makes the call fail with the reference's own text, and the
// reference stays.
inline void ExpectCallsKeepTheirReferenceAcrossLibrarySaves(
    IMvCalcEnvironment* env, const std::filesystem::path& base,
    const std::function<mv::ComPtr<IMvCalculation>()>& newCalculation) {
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    const std::filesystem::path library = base / "Lib" / "Lib1.mvc";
    const std::vector<DllFormula> formulas = {{"Forty", "ReturnFortyTwo", {}}};
    SaveLibraryFile(library, formulas, 1000000);

    auto corvex = newCalculation();
    ASSERT_TRUE(corvex);
    corvex->put_Name(mv::Bstr(u"Corvex").get());
    corvex->put_FormulaType(mvcSimpleScript_Method);
    corvex->put_ScriptText(mv::Bstr(u"Y = Forty() + 1").get());
    mv::ComPtr<IMvCalculation3> discovery;
    ASSERT_EQ(corvex.As(&discovery), S_OK);
    mv::Variant unused, unbound;
    ASSERT_EQ(discovery->CreateCorvexParams(nullptr, &unused, &unbound), S_OK);
    auto script = newCalculation();
    ASSERT_TRUE(script);
    script->put_Name(mv::Bstr(u"VBScript").get());
    script->put_FormulaType(mvcVBS_Script_Method);
    script->put_ScriptText(mv::Bstr(u"Y = Forty() + 1").get());
    mv::ComPtr<IMvParameter> output;
    ASSERT_EQ(script->AddParameter(mv::Bstr(u"Y").get(), output.Put()), S_OK);
    output->put_ParameterType(mvcOutput);
    mv::ComPtr<IDispatch> added;
    ASSERT_EQ(script->AddFormulaRef(mv::Bstr(u"Forty").get(), mv::Bstr(u"Lib1").get(), added.Put()),
              S_OK);
    added.Reset();

    // A run's error text and Y as its type number and text: "|5:43".
    auto run = [](IMvCalculation* calc) {
        calc->Calculate();
        mv::Bstr error;
        calc->get_ErrorText(error.Out());
        mv::ComPtr<IMvParameter> y;
        mv::Variant value, text;
        if (SUCCEEDED(calc->GetParameter(mv::Bstr(u"Y").get(), y.Put())) && y) y->get_Value(&value);
        const bool shown = SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR));
        return error.Utf8() + "|" + std::to_string(value.vt) + ":" +
               (shown ? mv::ToUtf8(text.bstrVal) : "?");
    };
    const struct {
        const char* calc;
        IMvCalculation* object;
        const char* result;
        const char* missing;  // after a save without the formula
    } rows[] = {
        {"Corvex", corvex.get(), "|5:43",
         "Formula \"Forty\" failed: VBScript: Formula not set (line 1)|5:43"},
        {"VBScript", script.get(), "|3:43", "VBScript: Formula not set line 1|0:"},
    };
    for (const auto& row : rows) EXPECT_EQ(run(row.object), row.result) << row.calc;

    // Two saves of the same formulas, each later than the last: the Corvex
    // calculation looks first after the first, the VBScript one after the
    // second.
    for (const time_t later : {2000000, 3000000}) {
        SaveLibraryFile(library, formulas, later);
        for (int i = 0; i < 3; ++i) {
            for (int r = 0; r < 2; ++r) {
                const auto& row = rows[later == 2000000 ? r : 1 - r];
                EXPECT_EQ(run(row.object), row.result) << row.calc << " " << later << " " << i;
            }
        }
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.calc);
        EXPECT_EQ(ReferencesOf(row.object), "Forty@Lib1 ");
        // The saved document keeps the reference.
        const mv::Bstr file((base / "Calc" / (std::string(row.calc) + ".mvc")).string());
        mv::ComPtr<IMvPersistFile> persist;
        ASSERT_EQ(mv::ComPtr<IMvCalculation>(row.object).As(&persist), S_OK);
        ASSERT_EQ(persist->SaveToFile(file.get()), S_OK);
        mv::ComPtr<IMvCalculation> loaded;
        ASSERT_EQ(env->LoadCalculation(file.get(), mv::Bstr(row.calc).get(), loaded.Put()), S_OK);
        EXPECT_EQ(ReferencesOf(loaded.get()), "Forty@Lib1 ");
    }

    SaveLibraryFile(library, {{"Other", "ReturnText", {}}}, 4000000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.calc);
        EXPECT_EQ(run(row.object), row.missing);
        EXPECT_EQ(ReferencesOf(row.object), "Forty@Lib1 ");
    }
}

}  // namespace envtest
