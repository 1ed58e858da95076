// Automation-method descriptions and their arguments: properties by name,
// the exact stored forms with arguments nested, the argument list, and
// faults turned into E_UNEXPECTED by both classes.
#include <gtest/gtest.h>

#include "../bindings/child_objects_test_support.h"

namespace {

using namespace child_test;

TEST(CalcOLEMethod, PropertiesByNameStartAtTheirInitialValuesAndKeepWhatIsPut) {
    const mv::Variant text(u"Gr\u00FC\u00DFe \u6E29\u5EA6");
    ExpectProperties(New<CMvCalcOLEMethod>().get(),
                     {
                         {u"OleObjectFieldType", "3:0", mv::Variant(LONG{5})},
                         {u"Name", "8:", text},
                         {u"FieldDataType", "3:0", mv::Variant(LONG{8})},
                         {u"ParameterName", "8:", text},
                         {u"DispId", "3:-1", mv::Variant(LONG{0x60020000})},
                     });
    ExpectProperties(New<CMvCalcOLEArg>().get(),
                     {
                         {u"OleMethodArgumentType", "3:0", mv::Variant(LONG{3})},
                         {u"Name", "8:", text},
                         {u"ArgumentDataType", "3:0", mv::Variant(LONG{-2})},
                         {u"ParameterName", "8:", text},
                     });
}

// A method with two arguments, one in and one out.
void FillMethod(IDispatch* object) {
    mv::ComPtr<IMvCalcOLEMethod> method = As<IMvCalcOLEMethod>(object);
    ASSERT_EQ(method->put_OleObjectFieldType(mvcMethod), S_OK);
    ASSERT_EQ(method->put_Name(mv::Bstr(u"Run").get()), S_OK);
    ASSERT_EQ(method->put_FieldDataType(VT_R8), S_OK);
    ASSERT_EQ(method->put_ParameterName(mv::Bstr(u"Out").get()), S_OK);
    ASSERT_EQ(method->put_DispId(12), S_OK);  // never stored
    const struct {
        const char16_t* name;
        LONG direction;
        LONG type;
        const char16_t* parameter;
    } args[] = {{u"A", 1, VT_I4, u"X"}, {u"B", 2, VT_BSTR, u"Y"}};
    for (const auto& a : args) {
        mv::ComPtr<IMvCalcOLEArg> arg;
        ASSERT_EQ(method->AddArgument(mv::Bstr(a.name).get(), arg.Put()), S_OK);
        ASSERT_EQ(arg->put_OleMethodArgumentType(a.direction), S_OK);
        ASSERT_EQ(arg->put_ArgumentDataType(a.type), S_OK);
        ASSERT_EQ(arg->put_ParameterName(mv::Bstr(a.parameter).get()), S_OK);
    }
}

TEST(CalcOLEMethod, StoredFormsAreTheGoldenOnesAndLoadBack) {
    ServedChildClasses served;
    const Bytes kArgumentClass = {0xB3, 0x10, 0xB9, 0x45, 0xD7, 0xF9, 0xD2, 0x11,
                                  0xB9, 0x06, 0x00, 0x80, 0x5F, 0x71, 0x2C, 0x95};
    const Bytes kMethodBytes = Cat({
        {0x26, 0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00},  // OleObjectFieldType
        {0xF8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x52, 0x00, 0x75, 0x00, 0x6E,
         0x00, 0x00, 0x00},                                            // Name
        {0x27, 0x01, 0x00, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00},  // FieldDataType
        {0xFF, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4F, 0x00, 0x75, 0x00, 0x74,
         0x00, 0x00, 0x00},        // ParameterName
        {0xDA, 0x07, 0x00, 0x00},  // Arguments
        {0x01},
        kArgumentClass,
        {0x28, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,  // direction
         0xF8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x41, 0x00,
         0x00, 0x00, 0x29, 0x01, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00,  // type
         0xFF, 0x00, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x58, 0x00,
         0x00, 0x00, 0x30, 0xF8, 0xFF, 0xFF},
        {0x01},
        kArgumentClass,
        {0x28, 0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00,
         0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x29, 0x01,
         0x00, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x08,
         0x00, 0x04, 0x00, 0x00, 0x00, 0x59, 0x00, 0x00, 0x00, 0x30, 0xF8, 0xFF, 0xFF},
        {0x00},  // no further argument
        {0x30, 0xF8, 0xFF, 0xFF},
    });
    ExpectStoredForms({
        {"new method: an empty argument list",
         &New<CMvCalcOLEMethod>,
         [](IDispatch*) {},
         {0xDA, 0x07, 0x00, 0x00, 0x00, 0x30, 0xF8, 0xFF, 0xFF},
         u"<Arguments/>"},
        {"method with two arguments", &New<CMvCalcOLEMethod>, &FillMethod, kMethodBytes,
         u"<OleObjectFieldType>2</OleObjectFieldType><Name>Run</Name>"
         u"<FieldDataType>5</FieldDataType><ParameterName>Out</ParameterName><Arguments>"
         u"<CalcOLEArg><OleMethodArgumentType>1</OleMethodArgumentType><Name>A</Name>"
         u"<ArgumentDataType>3</ArgumentDataType><ParameterName>X</ParameterName></CalcOLEArg>"
         u"<CalcOLEArg><OleMethodArgumentType>2</OleMethodArgumentType><Name>B</Name>"
         u"<ArgumentDataType>8</ArgumentDataType><ParameterName>Y</ParameterName></CalcOLEArg>"
         u"</Arguments>"},
        {"new argument", &New<CMvCalcOLEArg>, [](IDispatch*) {}, {0x30, 0xF8, 0xFF, 0xFF}, u""},
    });

    // A loaded method comes back with its arguments and without a DispId.
    mv::ComPtr<IDispatch> loaded = New<CMvCalcOLEMethod>();
    ASSERT_EQ(LoadBytes(loaded.get(), kMethodBytes), S_OK);
    EXPECT_EQ(GetByName(loaded.get(), u"DispId"), "3:-1");
    mv::ComPtr<IMvCalcOLEArg> b;
    ASSERT_EQ(As<IMvCalcOLEMethod>(loaded.get())->GetArgument(mv::Bstr(u"b").get(), b.Put()), S_OK);
    EXPECT_EQ(GetByName(b.get(), u"ParameterName"), "8:Y");

    // Every cut of the stream fails the load and leaks nothing.
    for (std::size_t cut = 0; cut < kMethodBytes.size(); ++cut) {
        Bytes part(kMethodBytes.begin(), kMethodBytes.begin() + cut);
        EXPECT_TRUE(FAILED(LoadBytes(New<CMvCalcOLEMethod>().get(), part))) << cut;
    }
}

TEST(CalcOLEMethod, ArgumentsAreFiledOnceByNameAndFoundAgain) {
    mv::ComPtr<IMvCalcOLEMethod> method = As<IMvCalcOLEMethod>(New<CMvCalcOLEMethod>().get());
    mv::ComPtr<IMvCalcOLEArg> added, found;
    ASSERT_EQ(method->AddArgument(mv::Bstr(u"Rate").get(), added.Put()), S_OK);
    ASSERT_EQ(method->GetArgument(mv::Bstr(u"RATE").get(), found.Put()), S_OK);
    EXPECT_EQ(found, added);

    mv::ComPtr<IMvCalcOLEArg> again = added;
    EXPECT_EQ(method->AddArgument(mv::Bstr(u"rate").get(), again.Put()), E_FAIL);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(values_test::TakeErrorText(), u"Add: Item is already in collection");
    mv::ComPtr<IMvCalcOLEArg> missing = added;
    EXPECT_TRUE(FAILED(method->GetArgument(mv::Bstr(u"Other").get(), missing.Put())));
    EXPECT_EQ(missing, nullptr);

    mv::ComPtr<IMvObjCollection> arguments;
    ASSERT_EQ(method->get_Arguments(arguments.Put()), S_OK);
    LONG count = 0;
    EXPECT_EQ(arguments->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
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
    EXPECT_EQ(As<ISupportErrorInfo>(arg.get())->InterfaceSupportsErrorInfo(IID_IMvCalcOLEArg),
              S_OK);
    EXPECT_EQ(As<ISupportErrorInfo>(arg.get())->InterfaceSupportsErrorInfo(IID_IMvCalcOLEMethod),
              S_FALSE);
}

}  // namespace
