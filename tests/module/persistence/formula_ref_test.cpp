// The formula reference: its record stream (golden bytes, records in any
// order, unknown and cut-short streams), clearing by names, and the checks
// of its script call that come before any formula runs.
#include <gtest/gtest.h>

#include "calculation/calculation.h"
#include "environment/formula_ref.h"
#include "persist_test_class.h"

namespace {

using Ref = mv::ComPtr<mv::ComObject<CMvFormulaRef>>;

Ref NewRef(const char16_t* library, const char16_t* name) {
    Ref ref;
    EXPECT_EQ(S_OK, mv::MakeComObject(&ref));
    if (library) ref->put_LibraryName(mv::Bstr(library).get());
    if (name) ref->put_Name(mv::Bstr(name).get());
    return ref;
}

// A string record: identifier, VT_BSTR tag, byte count with terminator,
// UTF-16LE text and terminator.
Bytes Record(int32_t id, std::u16string_view text) {
    Bytes out = Le32(id);
    out.push_back(8);
    out.push_back(0);
    Bytes count = Le32(static_cast<int32_t>(text.size() * 2 + 2));
    out.insert(out.end(), count.begin(), count.end());
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::u16string Get(CMvFormulaRef* ref, HRESULT (CMvFormulaRef::*get)(BSTR*)) {
    mv::Bstr text;
    EXPECT_EQ(S_OK, (ref->*get)(text.Out()));
    return std::u16string(text.view());
}

TEST(FormulaRefStream, SavesNonEmptyNamesLibraryFirstThenTheEndMarker) {
    struct Row {
        const char16_t* library;
        const char16_t* name;
        Bytes expected;
    } rows[] = {
        {u"Lib1", u"F1", Cat({Record(245, u"Lib1"), Record(248, u"F1"), Le32(-2000)})},
        {u"", u"F1", Cat({Record(248, u"F1"), Le32(-2000)})},
        {nullptr, nullptr, Le32(-2000)},
    };
    for (const Row& row : rows) {
        Ref ref = NewRef(row.library, row.name);
        auto stream = NewStream();
        ASSERT_EQ(S_OK, ref->Save(stream.get(), TRUE));
        EXPECT_EQ(Hex(row.expected), Hex(StreamBytes(stream.get())));
    }
}

TEST(FormulaRefStream, LoadsRecordsInAnyOrderAndReportsWhatItCannotUse) {
    struct Row {
        Bytes stream;
        HRESULT result;
        std::u16string library, name;
        const char* report;  // a text the log must hold, or null
    } rows[] = {
        {Cat({Record(248, u"F1"), Record(245, u"Lib1"), Le32(-2000)}), S_OK, u"Lib1", u"F1",
         nullptr},
        {Cat({Record(300, u"x"), Record(248, u"F2"), Le32(-2000)}), S_OK, u"Old", u"F2",
         "Unanticipated property 300 for Formula Reference object."},
        {Bytes{}, E_FAIL, u"Old", u"Keep", "Failed to read value of property #0 from stream."},
        {Record(248, u"F3"), E_FAIL, u"Old", u"F3",
         "Failed to read value of property #248 from stream."},
        {Cat({Le32(2500), Le32(-2000)}), S_OK, u"Old", u"Keep",
         "Formula Reference object does not support collection. Collecction id is 2500."},
        // A collection record at the end of a stream once looped for ever.
        {Le32(2500), E_FAIL, u"Old", u"Keep",
         "Failed to read value of property #2500 from stream."},
    };
    for (const Row& row : rows) {
        LogWatch log;
        Ref ref = NewRef(u"Old", u"Keep");
        auto stream = NewStream(row.stream);
        EXPECT_EQ(row.result, ref->Load(stream.get())) << Hex(row.stream);
        EXPECT_EQ(row.library, Get(ref.get(), &CMvFormulaRef::get_LibraryName));
        EXPECT_EQ(row.name, Get(ref.get(), &CMvFormulaRef::get_Name));
        if (row.report) {
            EXPECT_NE(std::string::npos, log.Text().find(row.report)) << log.Text();
        }
    }
}

TEST(FormulaRef, ClearDropsTheHeldFormulaOnlyWhenBothNamesMatch) {
    mv::ComPtr<mv::ComObject<CMvCalculation>> made;
    ASSERT_EQ(S_OK, mv::MakeComObject(&made));
    mv::ComPtr<IMvCalculation> formula(made.get());
    struct Row {
        const char16_t* library;
        const char16_t* name;
        bool dropped;
    } rows[] = {{nullptr, nullptr, true},   {u"LIB1", nullptr, true}, {nullptr, u"f1", true},
                {nullptr, u"Other", false}, {u"Lib2", u"F1", false},  {u"", nullptr, false}};
    for (const Row& row : rows) {
        Ref ref = NewRef(u"Lib1", u"F1");
        ASSERT_EQ(S_OK, ref->put_Formula(formula.get()));
        EXPECT_EQ(S_OK, ref->ClearFormulaRef(row.library ? mv::Bstr(row.library).get() : nullptr,
                                             row.name ? mv::Bstr(row.name).get() : nullptr));
        mv::ComPtr<IMvCalculation> held;
        ASSERT_EQ(S_OK, ref->get_Formula(held.Put()));
        LONG inUse = 0;
        ref->get_InUse(&inUse);
        EXPECT_EQ(1, inUse);
        EXPECT_EQ(row.dropped ? nullptr : formula.get(), held.get());
    }
}

TEST(FormulaRef, DispatchAnswersOnlyFunctionAsAMethodWithPositionalArguments) {
    Ref ref = NewRef(u"NoSuchLibrary", u"F1");
    IDispatch* dispatch = ref.get();
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"FUNCTION"), const_cast<LPOLESTR>(u"other")};
    DISPID ids[2] = {5, 5};
    EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, ids));
    EXPECT_EQ(0, ids[0]);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);

    DISPID named = 0;
    VARIANT argument{};
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    DISPPARAMS withNamed{&argument, &named, 1, 1};
    DISPPARAMS noArray{nullptr, nullptr, 2, 0};
    struct Row {
        DISPID id;
        WORD flags;
        DISPPARAMS* params;
        HRESULT result;
    } rows[] = {
        {1, DISPATCH_METHOD, &none, DISP_E_MEMBERNOTFOUND},
        {0, DISPATCH_PROPERTYGET, &none, DISP_E_MEMBERNOTFOUND},
        {0, DISPATCH_METHOD, &withNamed, DISP_E_NONAMEDARGS},
        {0, DISPATCH_METHOD, nullptr, E_INVALIDARG},
        {0, DISPATCH_METHOD, &noArray, E_INVALIDARG},
        {0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, DISP_E_EXCEPTION},
    };
    for (const Row& row : rows) {
        EXCEPINFO info{};
        EXPECT_EQ(row.result, dispatch->Invoke(row.id, IID_NULL, 0, row.flags, row.params, nullptr,
                                               &info, nullptr));
        if (row.result == DISP_E_EXCEPTION) {
            EXPECT_EQ(u"VBScript: Formula not set", std::u16string_view(info.bstrDescription));
            EXPECT_EQ(u"Morva Calc Formula", std::u16string_view(info.bstrSource));
            EXPECT_EQ(2000, info.wCode);
        }
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrSource);
    }
}

}  // namespace

namespace {

TEST(FormulaRefXml, WritesUntypedNameElementsAndReadsThemIgnoringCase) {
    Ref saved = NewRef(u"Lib1", u"F1");
    auto doc = ParseXml(u"<CalcFormula/>");
    ASSERT_EQ(S_OK, saved->SaveXML(RootOf(doc.get()).get()));
    EXPECT_EQ(u"<CalcFormula><LibraryName>Lib1</LibraryName><Name>F1</Name></CalcFormula>",
              XmlOf(RootOf(doc.get()).get()));

    Ref loaded = NewRef(u"Old", u"Keep");
    auto in = ParseXml(u"<CalcFormula><!-- c --> <NAME>F2</NAME><Other>x</Other></CalcFormula>");
    ASSERT_EQ(S_OK, loaded->LoadXML(RootOf(in.get()).get()));
    EXPECT_EQ(u"Old", Get(loaded.get(), &CMvFormulaRef::get_LibraryName));
    EXPECT_EQ(u"F2", Get(loaded.get(), &CMvFormulaRef::get_Name));
}

// A name or library name holding a character XML cannot carry is refused,
// by the reference alone and inside its calculation: no element holds it,
// the save fails and says why.
TEST(FormulaRefXml, RefusesANameXmlCannotCarry) {
    std::u16string refused;
    for (char16_t c = 1; c < 0x20; ++c)
        if (c != u'\t' && c != u'\n' && c != u'\r') refused += c;
    refused += u"\uFFFE\uFFFF";
    for (const bool alone : {true, false}) {
        for (const char16_t* element : {u"Name", u"LibraryName"}) {
            const bool inName = element[0] == u'N';
            for (const char16_t c : refused) {
                SCOPED_TRACE(::testing::Message() << mv::ToUtf8(element) << " U+" << std::hex
                                                  << int(c) << (alone ? "" : " in calculation"));
                const std::u16string bad = u"F" + std::u16string(1, c);
                const mv::Bstr name(inName ? bad : u"F1"), library(inName ? u"Lib" : bad);
                mv::ComPtr<mv::ComObject<CMvCalculation>> calc;
                ASSERT_EQ(S_OK, mv::MakeComObject(&calc));
                mv::ComPtr<IDispatch> ref;
                ASSERT_EQ(S_OK, calc->AddFormulaRef(name.get(), library.get(), ref.Put()));
                mv::ComPtr<IMvPersistXML> saver;
                ASSERT_EQ(S_OK, (alone ? ref.get() : calc->GetUnknown())
                                    ->QueryInterface(IID_IMvPersistXML, saver.PutVoid()));
                LogWatch log;
                auto doc = ParseXml(u"<Root/>");
                auto root = RootOf(doc.get());
                EXPECT_EQ(E_FAIL, saver->SaveXML(root.get()));
                EXPECT_EQ(std::u16string::npos, XmlOf(root.get()).find(c));
                EXPECT_NE(
                    std::string::npos,
                    log.Text().find("CMvFormulaRef::SaveXML: Property " + mv::ToUtf8(element) +
                                    ": the text holds a character that XML cannot hold."))
                    << log.Text();
            }
        }
    }
}

}  // namespace

namespace {

TEST(CalculationFormulaRefs, AddRefusesADuplicateAndClearDropsHeldFormulas) {
    mv::ComPtr<mv::ComObject<CMvCalculation>> calc, formula;
    ASSERT_EQ(S_OK, mv::MakeComObject(&calc));
    ASSERT_EQ(S_OK, mv::MakeComObject(&formula));
    mv::ComPtr<IDispatch> first, second;
    ASSERT_EQ(S_OK,
              calc->AddFormulaRef(mv::Bstr(u"F1").get(), mv::Bstr(u"Lib1").get(), first.Put()));
    EXPECT_EQ(E_FAIL, calc->AddFormulaRef(mv::Bstr(u"f1").get(), nullptr, second.Put()));
    EXPECT_EQ(nullptr, second.get());
    mv::ComPtr<IMvFormulaRef> ref;
    ASSERT_EQ(S_OK, first.As(&ref));
    LONG inUse = 1;
    ref->get_InUse(&inUse);
    EXPECT_EQ(0, inUse);
    ASSERT_EQ(S_OK, ref->put_Formula(formula.get()));
    EXPECT_EQ(S_OK, calc->ClearFormulaRef(mv::Bstr(u"Lib2").get(), nullptr));
    mv::ComPtr<IMvCalculation> held;
    ref->get_Formula(held.Put());
    EXPECT_EQ(static_cast<IMvCalculation*>(formula.get()), held.get());
    held.Reset();
    ASSERT_EQ(S_OK, ref->put_Formula(formula.get()));
    EXPECT_EQ(S_OK, calc->ClearFormulaRef(mv::Bstr(u"LIB1").get(), mv::Bstr(u"F1").get()));
    mv::Bstr library;
    ref->get_LibraryName(library.Out());
    EXPECT_EQ(u"Lib1", library.view());
}

}  // namespace
