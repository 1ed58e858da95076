// The formula library class: its empty values, its formulas filed by name
// ignoring case, the detail array, null out pointers, and its document file
// with the single stream "F".
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "calculation/calculation.h"
#include "environment/formula_library.h"
#include "frame/tls_slots.h"
#include "parameters/parameter.h"
#include "persist_test_class.h"
#include "persistence/obj_collection.h"

namespace {

namespace fs = std::filesystem;

mv::ComPtr<IMvFormulaLibrary> NewLibrary() {
    mv::ComPtr<mv::ComObject<CMvFormulaLibrary>> made;
    EXPECT_EQ(S_OK, mv::MakeComObject(&made));
    return mv::ComPtr<IMvFormulaLibrary>(made.get());
}

std::u16string Text(IMvFormulaLibrary* library, HRESULT (IMvFormulaLibrary::*get)(BSTR*)) {
    mv::Bstr value;
    EXPECT_EQ(S_OK, (library->*get)(value.Out()));
    EXPECT_NE(nullptr, value.get());
    return std::u16string(value.view());
}

TEST(FormulaLibrary, NewLibraryHoldsEmptyValuesAndNamesAreItsObjectName) {
    auto library = NewLibrary();
    for (auto get : {&IMvFormulaLibrary::get_Name, &IMvFormulaLibrary::get_Description,
                     &IMvFormulaLibrary::get_ID, &IMvFormulaLibrary::get_EditOwner})
        EXPECT_EQ(u"", Text(library.get(), get));
    DATE created = 1, modified = 1;
    LONG password = 1, count = 1;
    EXPECT_EQ(S_OK, library->get_CreationDate(&created));
    EXPECT_EQ(S_OK, library->get_ModifiedDate(&modified));
    EXPECT_EQ(S_OK, library->get_Password(&password));
    EXPECT_EQ(0.0, created);
    EXPECT_EQ(0.0, modified);
    EXPECT_EQ(0, password);
    mv::ComPtr<IMvObjCollection> formulas;
    ASSERT_EQ(S_OK, library->get_Formulas(formulas.Put()));
    ASSERT_EQ(S_OK, formulas->get_Count(&count));
    EXPECT_EQ(0, count);

    mv::ComPtr<IMvCalcName> name;
    ASSERT_EQ(S_OK, library.As(&name));
    ASSERT_EQ(S_OK, name->put_ObjectName(mv::Bstr(u"Lib1").get()));
    EXPECT_EQ(u"Lib1", Text(library.get(), &IMvFormulaLibrary::get_Name));
    ASSERT_EQ(S_OK, library->put_Description(nullptr));
    EXPECT_EQ(u"", Text(library.get(), &IMvFormulaLibrary::get_Description));
}

TEST(FormulaLibrary, NullOutPointersGiveEPointer) {
    auto library = NewLibrary();
    EXPECT_EQ(E_POINTER, library->get_Name(nullptr));
    EXPECT_EQ(E_POINTER, library->get_CreationDate(nullptr));
    EXPECT_EQ(E_POINTER, library->get_Password(nullptr));
    EXPECT_EQ(E_POINTER, library->get_Formulas(nullptr));
    EXPECT_EQ(E_POINTER, library->AddFormula(mv::Bstr(u"F").get(), nullptr));
    EXPECT_EQ(E_POINTER, library->GetFormula(mv::Bstr(u"F").get(), nullptr));
    EXPECT_EQ(E_POINTER, library->FormulaDetailArray(nullptr));
    mv::ComPtr<IMvCalculation> formula;
    // The refused AddFormula filed nothing.
    EXPECT_EQ(E_FAIL, library->GetFormula(mv::Bstr(u"F").get(), formula.Put()));
}

TEST(FormulaLibrary, FormulasAreFiledByNameIgnoringCase) {
    auto library = NewLibrary();
    mv::ComPtr<IMvCalculation> flow, again, refused, missing;
    ASSERT_EQ(S_OK, library->AddFormula(mv::Bstr(u"Flow").get(), flow.Put()));
    values_test::TakeErrorText();
    EXPECT_EQ(E_FAIL, library->AddFormula(mv::Bstr(u"FLOW").get(), refused.Put()));
    EXPECT_EQ(u"Add: Item is already in collection", values_test::TakeErrorText());
    EXPECT_EQ(nullptr, refused.get());

    ASSERT_EQ(S_OK, library->GetFormula(mv::Bstr(u"fLoW").get(), again.Put()));
    EXPECT_EQ(flow.get(), again.get());
    mv::Bstr name;
    ASSERT_EQ(S_OK, again->get_Name(name.Out()));
    EXPECT_EQ(u"Flow", name.view());

    EXPECT_EQ(E_FAIL, library->GetFormula(mv::Bstr(u"Other").get(), missing.Put()));
    EXPECT_EQ(u"Item: Named item not found", values_test::TakeErrorText());
    EXPECT_EQ(nullptr, missing.get());

    mv::ComPtr<IMvCalculation> empty1, empty2;
    EXPECT_EQ(S_OK, library->AddFormula(nullptr, empty1.Put()));
    EXPECT_EQ(E_FAIL, library->AddFormula(mv::Bstr(u"").get(), empty2.Put()));
    EXPECT_EQ(S_OK, library->ClearFormulaRef(nullptr, nullptr));
}

TEST(FormulaLibrary, DetailArrayCountsFromZeroAndEachFormulaFromOne) {
    auto library = NewLibrary();
    mv::Variant details;
    details.vt = VT_I4;
    ASSERT_EQ(S_OK, library->FormulaDetailArray(&details));
    EXPECT_EQ(VT_EMPTY, details.vt);

    mv::ComPtr<IMvCalculation> a, b;
    ASSERT_EQ(S_OK, library->AddFormula(mv::Bstr(u"A").get(), a.Put()));
    ASSERT_EQ(S_OK, library->AddFormula(mv::Bstr(u"B").get(), b.Put()));
    ASSERT_EQ(S_OK, library->FormulaDetailArray(&details));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, details.vt);
    LONG low = -1, high = -1;
    SafeArrayGetLBound(details.parray, 1, &low);
    SafeArrayGetUBound(details.parray, 1, &high);
    EXPECT_EQ(0, low);
    EXPECT_EQ(1, high);
    for (LONG i = 0; i <= 1; ++i) {
        mv::Variant inner;
        ASSERT_EQ(S_OK, SafeArrayGetElement(details.parray, &i, &inner));
        ASSERT_EQ(VT_ARRAY | VT_VARIANT, inner.vt);
        SafeArrayGetLBound(inner.parray, 1, &low);
        SafeArrayGetUBound(inner.parray, 1, &high);
        EXPECT_EQ(1, low);
        EXPECT_EQ(3, high);
        mv::Variant name;
        LONG first = 1;
        ASSERT_EQ(S_OK, SafeArrayGetElement(inner.parray, &first, &name));
        EXPECT_EQ(i == 0 ? u"A" : u"B", std::u16string_view(name.bstrVal));
    }
}

class FormulaLibraryDocument : public testing::Test {
protected:
    void SetUp() override {
        if (g_tlsReportFileErrors == TLS_OUT_OF_INDEXES) AllocateTlsSlots();
        folder_ = fs::path(getenv("MORVA_COMMON_APPDATA")) / "FormulaLibraryDocument";
        fs::create_directories(folder_);
    }
    std::string Path(const char* name) const { return (folder_ / name).string(); }

    values_test::ServedClass calculations_ =
        values_test::ServedClass::Of<CMvCalculation>(CLSID_MvCalculation);
    values_test::ServedClass parameters_ =
        values_test::ServedClass::Of<CMvParameter>(CLSID_MvParameter);
    values_test::ServedClass collections_ =
        values_test::ServedClass::Of<CMvObjCollection>(CLSID_MvObjCollection);
    fs::path folder_;
};

TEST_F(FormulaLibraryDocument, SavesOneStreamFAndLoadsItsFormulasBack) {
    auto library = NewLibrary();
    ASSERT_EQ(S_OK, library->put_Name(mv::Bstr(u"Lib1").get()));
    ASSERT_EQ(S_OK, library->put_Password(7));
    ASSERT_EQ(S_OK, library->put_CreationDate(40000.5));
    mv::ComPtr<IMvCalculation> flow;
    ASSERT_EQ(S_OK, library->AddFormula(mv::Bstr(u"Flow").get(), flow.Put()));
    mv::ComPtr<IMvPersistFile> file;
    ASSERT_EQ(S_OK, library.As(&file));
    const std::string path = Path("Lib1.mvc");
    ASSERT_EQ(S_OK, file->SaveToFile(mv::Bstr(path).get()));
    const std::string seen = ReadWithOlefile(path);
    EXPECT_EQ(0u, seen.rfind("F=", 0)) << seen;
    EXPECT_EQ(1, std::count(seen.begin(), seen.end(), '\n')) << seen;

    auto loaded = NewLibrary();
    mv::ComPtr<IMvPersistFile> loadedFile;
    ASSERT_EQ(S_OK, loaded.As(&loadedFile));
    ASSERT_EQ(S_OK, loadedFile->LoadFromFile(mv::Bstr(path).get()));
    EXPECT_EQ(u"Lib1", Text(loaded.get(), &IMvFormulaLibrary::get_Name));
    LONG password = 0;
    DATE created = 0;
    loaded->get_Password(&password);
    loaded->get_CreationDate(&created);
    EXPECT_EQ(7, password);
    EXPECT_EQ(40000.5, created);
    mv::ComPtr<IMvCalculation> found;
    EXPECT_EQ(S_OK, loaded->GetFormula(mv::Bstr(u"FLOW").get(), found.Put()));
}

TEST_F(FormulaLibraryDocument, CollectionDocumentIsRefusedAsWrongType) {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    ASSERT_EQ(S_OK, mv::MakeComObject(&collection));
    const std::string path = Path("Coll.mvc");
    ASSERT_EQ(S_OK, collection->SaveToFile(mv::Bstr(path).get()));
    LogWatch log;
    auto library = NewLibrary();
    mv::ComPtr<IMvPersistFile> file;
    ASSERT_EQ(S_OK, library.As(&file));
    EXPECT_TRUE(FAILED(file->LoadFromFile(mv::Bstr(path).get())));
    EXPECT_NE(std::string::npos,
              log.Text().find("IMvPersistFileImpl<class CMvFormulaLibrary,70>::LoadFromFile"))
        << log.Text();
    EXPECT_NE(std::string::npos, log.Text().find("Failed to open stream F in file \"" + path +
                                                 "\".  File is wrong type."));
}

}  // namespace
