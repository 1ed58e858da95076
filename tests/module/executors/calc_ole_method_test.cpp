// Automation-method descriptions and their arguments: properties by name,
// the exact stored forms with the arguments nested, the argument list, and
// faults turned into E_UNEXPECTED by both classes.
#include <gtest/gtest.h>

#include "../bindings/child_objects_test_support.h"

namespace {

using namespace child_test;

TEST(CalcOLEMethod, PropertiesByNameStartAtTheirInitialValuesAndKeepWhatIsPut) {
    const mv::Variant text(u"Gr\u00FC\u00DFe \u6E29\u5EA6");
    ExpectProperties(New<CMvCalcOLEMethod>().get(),
                     {{u"OleObjectFieldType", "3:0", mv::Variant(LONG{5})},
                      {u"Name", "8:", text},
                      {u"FieldDataType", "3:0", mv::Variant(LONG{8})},
                      {u"ParameterName", "8:", text},
                      {u"DispId", "3:-1", mv::Variant(LONG{0x60020000})}});
    ExpectProperties(New<CMvCalcOLEArg>().get(),
                     {{u"OleMethodArgumentType", "3:0", mv::Variant(LONG{3})},
                      {u"Name", "8:", text},
                      {u"ArgumentDataType", "3:0", mv::Variant(LONG{-2})},
                      {u"ParameterName", "8:", text}});
}

// A method with an input and an output argument.
void FillMethod(IDispatch* object) {
    mv::ComPtr<IMvCalcOLEMethod> method = As<IMvCalcOLEMethod>(object);
    ASSERT_EQ(method->put_OleObjectFieldType(mvcMethod), S_OK);
    ASSERT_EQ(method->put_Name(mv::Bstr(u"Run").get()), S_OK);
    ASSERT_EQ(method->put_FieldDataType(VT_R8), S_OK);
    ASSERT_EQ(method->put_ParameterName(mv::Bstr(u"Out").get()), S_OK);
    ASSERT_EQ(method->put_DispId(12), S_OK);  // never stored
    for (auto [name, direction, type, parameter] :
         {std::tuple{u"A", 1, VT_I4, u"X"}, std::tuple{u"B", 2, VT_BSTR, u"Y"}}) {
        mv::ComPtr<IMvCalcOLEArg> arg;
        ASSERT_EQ(method->AddArgument(mv::Bstr(name).get(), arg.Put()), S_OK);
        ASSERT_EQ(arg->put_OleMethodArgumentType(direction), S_OK);
        ASSERT_EQ(arg->put_ArgumentDataType(type), S_OK);
        ASSERT_EQ(arg->put_ParameterName(mv::Bstr(parameter).get()), S_OK);
    }
}

// OleObjectFieldType 2, Name "Run", FieldDataType 5, ParameterName "Out",
// then Arguments: A (1, 3, "X") and B (2, 8, "Y"), each of class
// MvCalcOLEArg.
const Bytes kMethod =
    Hex("26010000 0300 02000000  F8000000 0800 08000000 520075006E000000  27010000 0300 05000000"
        "FF000000 0800 08000000 4F00750074000000  DA070000"
        "01 B310B945 D7F9 D211 B90600805F712C95  28010000 0300 01000000"
        "F8000000 0800 04000000 41000000  29010000 0300 03000000  FF000000 0800 04000000 58000000"
        "30F8FFFF  01 B310B945 D7F9 D211 B90600805F712C95  28010000 0300 02000000"
        "F8000000 0800 04000000 42000000  29010000 0300 08000000  FF000000 0800 04000000 59000000"
        "30F8FFFF 00 30F8FFFF");

TEST(CalcOLEMethod, StoredFormsAreTheGoldenOnesAndLoadBack) {
    ServedChildClasses served;
    auto none = [](IDispatch*) {};
    ExpectStoredForms({
        {"new method", &New<CMvCalcOLEMethod>, none, Hex("DA070000 00 30F8FFFF"), u"<Arguments/>"},
        {"method with two arguments", &New<CMvCalcOLEMethod>, &FillMethod, kMethod,
         u"<OleObjectFieldType>2</OleObjectFieldType><Name>Run</Name>"
         u"<FieldDataType>5</FieldDataType><ParameterName>Out</ParameterName><Arguments>"
         u"<CalcOLEArg><OleMethodArgumentType>1</OleMethodArgumentType><Name>A</Name>"
         u"<ArgumentDataType>3</ArgumentDataType><ParameterName>X</ParameterName></CalcOLEArg>"
         u"<CalcOLEArg><OleMethodArgumentType>2</OleMethodArgumentType><Name>B</Name>"
         u"<ArgumentDataType>8</ArgumentDataType><ParameterName>Y</ParameterName></CalcOLEArg>"
         u"</Arguments>"},
        {"new argument", &New<CMvCalcOLEArg>, none, Hex("30F8FFFF"), u""},
    });
    // A loaded method has its arguments and no DispId.
    mv::ComPtr<IDispatch> loaded = New<CMvCalcOLEMethod>();
    ASSERT_EQ(LoadBytes(loaded.get(), kMethod), S_OK);
    EXPECT_EQ(GetByName(loaded.get(), u"DispId"), "3:-1");
    mv::ComPtr<IMvCalcOLEArg> b;
    ASSERT_EQ(As<IMvCalcOLEMethod>(loaded.get())->GetArgument(mv::Bstr(u"b").get(), b.Put()), S_OK);
    EXPECT_EQ(GetByName(b.get(), u"ParameterName"), "8:Y");
    ExpectEveryCutFails<CMvCalcOLEMethod>(kMethod);
}

TEST(CalcOLEMethod, ArgumentsAreFiledOnceByNameAndFoundAgain) {
    mv::ComPtr<IMvCalcOLEMethod> method = As<IMvCalcOLEMethod>(New<CMvCalcOLEMethod>().get());
    mv::ComPtr<IMvCalcOLEArg> added, found;
    ASSERT_EQ(method->AddArgument(mv::Bstr(u"Rate").get(), added.Put()), S_OK);
    ASSERT_EQ(method->GetArgument(mv::Bstr(u"RATE").get(), found.Put()), S_OK);
    EXPECT_EQ(found, added);
    // A refused name or an unknown one hands out null, whatever the out
    // pointer held.
    IMvCalcOLEArg* again = added.get();
    IMvCalcOLEArg* missing = added.get();
    EXPECT_EQ(method->AddArgument(mv::Bstr(u"rate").get(), &again), E_FAIL);
    EXPECT_EQ(values_test::TakeErrorText(), u"Add: Item is already in collection");
    EXPECT_TRUE(FAILED(method->GetArgument(mv::Bstr(u"Other").get(), &missing)));
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(missing, nullptr);
    mv::ComPtr<IMvObjCollection> arguments;
    ASSERT_EQ(method->get_Arguments(arguments.Put()), S_OK);
    EXPECT_EQ(GetByName(arguments.get(), u"Count"), "3:1");
}

TEST(CalcOLEMethod, BothClassesTurnFaultsIntoUnexpectedWithTheirErrorLine) {
    mv::ComPtr<IMvCalcOLEMethod> method = As<IMvCalcOLEMethod>(New<CMvCalcOLEMethod>().get());
    mv::ComPtr<IMvCalcOLEArg> arg = As<IMvCalcOLEArg>(New<CMvCalcOLEArg>().get());
    values_test::ExpectFaults({
        {"CMvCalcOLEMethod::get_Name: E_UNEXPECTED\n", [&] { return method->get_Name(nullptr); }},
        {"CMvCalcOLEMethod::get_DispId: E_UNEXPECTED\n",
         [&] { return method->get_DispId(nullptr); }},
        {"CMvCalcOLEMethod::get_Arguments: E_UNEXPECTED\n",
         [&] { return method->get_Arguments(nullptr); }},
        {"CMvCalcOLEMethod::AddArgument: E_UNEXPECTED\n",
         [&] { return method->AddArgument(mv::Bstr(u"A").get(), nullptr); }},
        {"CMvCalcOLEMethod::GetArgument: E_UNEXPECTED\n",
         [&] { return method->GetArgument(mv::Bstr(u"A").get(), nullptr); }},
        {"CMvCalcOLEArg::get_ParameterName: E_UNEXPECTED\n",
         [&] { return arg->get_ParameterName(nullptr); }},
        {"CMvCalcOLEArg::get_OleMethodArgumentType: E_UNEXPECTED\n",
         [&] { return arg->get_OleMethodArgumentType(nullptr); }},
    });
}

}  // namespace
