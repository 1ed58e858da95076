// The parameter's properties: initial values, what each setter stores, the
// computed texts, the cell text, the sample-information pointer and the
// null out pointers.
#include <string>
#include <vector>

#include "interfaces/IMvCalcName.h"
#include "parameter_test_support.h"

namespace parameter_test {
namespace {

mv::Variant I4(double v) {
    return Typed(VT_I4, v);
}
mv::Variant Str(const char16_t* s) {
    return mv::Variant(s);
}
const mv::Variant kNone = Typed(VT_ERROR, 0);  // not checked, or not written

// Each property through dispatch: its value on a new parameter, then the
// value written is the value read, with no side effect on the others.
TEST(ParameterPropertiesTest, InitialValuesAndWhatEachPropertyReadsBack) {
    auto p = NewParameter();
    const struct {
        DISPID id;
        mv::Variant initial, written;
    } cases[] = {
        {DISPID_MvParameter_Type, I4(12), I4(-7)},
        {DISPID_MvParameter_TypeText, Str(u"Variant"), kNone},
        {DISPID_MvParameter_ParameterType, I4(0), I4(99)},
        {DISPID_MvParameter_ParameterTypeText, Str(u"UnUsed"), kNone},
        {DISPID_MvParameter_BindingType, I4(0), I4(77)},
        {DISPID_MvParameter_BindingTypeText, Str(u"None"), kNone},
        {DISPID_MvParameter_Level, Typed(VT_I2, 0), kNone},
        {DISPID_MvParameter_Status, Typed(VT_I2, 0), kNone},
        {DISPID_MvParameter_Extrapolate, Typed(VT_BOOL, VARIANT_FALSE), Typed(VT_BOOL, 5)},
        {DISPID_MvParameter_Interpolate, I4(0), I4(-2)},
        {DISPID_MvParameter_DefinitionRecord_ID, I4(0), kNone},
        {DISPID_MvParameter_TimeStamp, Typed(VT_DATE, 0), Typed(VT_DATE, 40000.25)},
        {DISPID_MvParameter_UnitConversionMultiplier, Typed(VT_R8, 0), Typed(VT_R8, 1.8)},
        {DISPID_VALUE, mv::Variant(), Str(u"text value")},
        {DISPID_MvParameter_Default, mv::Variant(), Typed(VT_R8, 2.5)},
        {DISPID_MvParameter_Name, Str(u""), Str(u"P1")},
        {DISPID_MvParameter_CellText, Str(u""), kNone},
        {DISPID_MvParameter_BoundUnits, Str(u""), Str(u"degC")},
        {DISPID_MvParameter_DataSource, Str(u""), Str(u"MDSA source")},
        {DISPID_MvParameter_Description, kNone, Str(u"flow into tank \u00e9")},
        {DISPID_MvParameter_Units, kNone, Str(u"degF")},
        {DISPID_MvParameter_UnitConversionOffset, kNone, Typed(VT_R8, 32.0)},
        {DISPID_MvParameter_Source, kNone, Str(u"src")},
        {DISPID_MvParameter_SpreadSheetName, kNone, Str(u"book.xls")},
        {DISPID_MvParameter_SpreadSheetRow, kNone, I4(-3)},
        {DISPID_MvParameter_SpreadSheetColumn, kNone, I4(4)},
        {DISPID_MvParameter_SpreadSheetMethod, kNone, Str(u"Macro1")},
        {DISPID_MvParameter_EXE_RuntimeArgument, kNone, Str(u"/x")},
        {DISPID_MvParameter_Record_ID, kNone, I4(11)},
        {DISPID_MvParameter_Field_ID, kNone, I4(12)},
        {DISPID_MvParameter_StatusField_ID, kNone, I4(13)},
        {DISPID_MvParameter_HistoryField_ID, kNone, I4(14)},
        {DISPID_MvParameter_NodeName, kNone, Str(u"node")},
        {DISPID_MvParameter_GroupNumber, kNone, I4(200)},
        {DISPID_MvParameter_RecordName, kNone, Str(u"rec")},
        {DISPID_MvParameter_FieldName, kNone, Str(u"fld")},
        {DISPID_MvParameter_FieldType, kNone, I4(5)},
        {DISPID_MvParameter_Use_QT_Format, kNone, I4(3)},
        {DISPID_MvParameter_HistoryFieldName, kNone, Str(u"hist")},
        {DISPID_MvParameter_CalculationName, kNone, Str(u"calc")},
        {DISPID_MvParameter_DataSetName, kNone, Str(u"ds")},
        {DISPID_MvParameter_ColumnName, kNone, Str(u"col")},
        {DISPID_MvParameter_RowNumber, kNone, I4(8)},
        {DISPID_MvParameter_ItemName, kNone, Str(u"item")},
        {DISPID_MvParameter_ItemID, kNone, I4(9)},
        {DISPID_MvParameter_ParameterName, kNone, Str(u"pname")},
        {DISPID_MvParameter_ParameterID, kNone, I4(10)},
        // After the value, which marks the parameter changed.
        {DISPID_MvParameter_Changed, I4(0), I4(42)},
    };
    for (const auto& c : cases)
        if (c.initial.vt != VT_ERROR) ExpectSame(DispGet(p.get(), c.id), c.initial);
    for (const auto& c : cases) {
        if (c.written.vt == VT_ERROR) continue;
        EXPECT_EQ(DispPut(p.get(), c.id, c.written), S_OK) << c.id;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        if (c.written.vt != VT_ERROR) ExpectSame(DispGet(p.get(), c.id), c.written);
    }
    mv::ComPtr<IUnknown> info;
    EXPECT_EQ(p->get_SampleInfo(info.Put()), S_OK);
    EXPECT_FALSE(info);
}

TEST(ParameterPropertiesTest, NullAndEmptyTextsBothEmptyTheProperty) {
    auto p = NewParameter();
    for (BSTR cleared : {static_cast<BSTR>(nullptr), mv::Bstr(u"").Detach()}) {
        ASSERT_EQ(p->put_NodeName(mv::Bstr(u"x").get()), S_OK);
        ASSERT_EQ(p->put_NodeName(cleared), S_OK);
        mv::Bstr read;
        ASSERT_EQ(p->get_NodeName(read.Out()), S_OK);
        ASSERT_NE(read.get(), nullptr);
        EXPECT_EQ(read.view(), u"");
        SysFreeString(cleared);
    }
}

// A text property keeps any text whole: short and long, plain and not, up to
// an embedded NUL, with an unpaired surrogate read back as U+FFFD.
TEST(ParameterPropertiesTest, TextsOfEveryLengthAndKindReadBackAsWritten) {
    const std::u16string plain255(255, u'a'), plain256(256, u'b'), plain300(300, u'c');
    struct Case {
        const char* what;
        std::u16string written;
        std::u16string read;
    };
    const Case cases[] = {
        {"one character", u"x", u"x"},
        {"plain, one short of the longest kept whole", plain255.substr(1), plain255.substr(1)},
        {"plain, 255 characters", plain255, plain255},
        {"plain, 256 characters", plain256, plain256},
        {"plain, 300 characters", plain300, plain300},
        {"accented", u"d\u00e9j\u00e0 vu", u"d\u00e9j\u00e0 vu"},
        {"accent as the 255th character", plain255.substr(1) + u"\u00e9",
         plain255.substr(1) + u"\u00e9"},
        {"accent as the 256th character", plain255 + u"\u00e9", plain255 + u"\u00e9"},
        {"accent after 300 plain characters", plain300 + u"\u20ac", plain300 + u"\u20ac"},
        {"surrogate pair", u"a\U0001F600b", u"a\U0001F600b"},
        {"unpaired surrogate", u"a\xD800" u"b", u"a\uFFFDb"},
        {"embedded NUL", std::u16string(u"ab\0cd", 5), u"ab"},
        {"DEL, the last plain character", u"\x7F", u"\x7F"},
    };
    auto p = NewParameter();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mv::Bstr written(c.written);
        ASSERT_EQ(p->put_Description(written.get()), S_OK);
        mv::Bstr read;
        ASSERT_EQ(p->get_Description(read.Out()), S_OK);
        EXPECT_EQ(read.view(), c.read);
    }
}

// The collection name is the parameter's Name, whichever side writes it.
TEST(ParameterPropertiesTest, ObjectNameIsTheName) {
    auto p = NewParameter();
    mv::ComPtr<IMvCalcName> calcName;
    ASSERT_EQ(p->QueryInterface(IID_IMvCalcName, calcName.PutVoid()), S_OK);
    ASSERT_EQ(calcName->put_ObjectName(mv::Bstr(u"Flow").get()), S_OK);
    mv::Bstr name, objectName;
    p->get_Name(name.Out());
    EXPECT_EQ(name.view(), u"Flow");
    ASSERT_EQ(p->put_Name(mv::Bstr(u"Level").get()), S_OK);
    calcName->get_ObjectName(objectName.Out());
    EXPECT_EQ(objectName.view(), u"Level");
}

TEST(ParameterPropertiesTest, EveryGetterAnswersANullOutPointerWithEPointer) {
    auto p = NewParameter();
    IMvParameter* q = p.get();
    using BstrGet = HRESULT (IMvParameter::*)(BSTR*);
    using LongGet = HRESULT (IMvParameter::*)(LONG*);
    using ShortGet = HRESULT (IMvParameter::*)(SHORT*);
    using DoubleGet = HRESULT (IMvParameter::*)(DOUBLE*);
    using VariantGet = HRESULT (IMvParameter::*)(VARIANT*);
    const BstrGet texts[] = {&IMvParameter::get_Description,
                             &IMvParameter::get_TypeText,
                             &IMvParameter::get_Units,
                             &IMvParameter::get_ParameterTypeText,
                             &IMvParameter::get_Source,
                             &IMvParameter::get_SpreadSheetName,
                             &IMvParameter::get_SpreadSheetMethod,
                             &IMvParameter::get_EXE_RuntimeArgument,
                             &IMvParameter::get_NodeName,
                             &IMvParameter::get_RecordName,
                             &IMvParameter::get_FieldName,
                             &IMvParameter::get_BoundUnits,
                             &IMvParameter::get_BindingTypeText,
                             &IMvParameter::get_HistoryFieldName,
                             &IMvParameter::get_CalculationName,
                             &IMvParameter::get_DataSetName,
                             &IMvParameter::get_ColumnName,
                             &IMvParameter::get_ItemName,
                             &IMvParameter::get_ParameterName,
                             &IMvParameter::get_Name,
                             &IMvParameter::get_CellText,
                             &IMvParameter::get_DataSource};
    const LongGet longs[] = {&IMvParameter::get_Type,
                             &IMvParameter::get_ParameterType,
                             &IMvParameter::get_SpreadSheetRow,
                             &IMvParameter::get_SpreadSheetColumn,
                             &IMvParameter::get_Record_ID,
                             &IMvParameter::get_Field_ID,
                             &IMvParameter::get_StatusField_ID,
                             &IMvParameter::get_HistoryField_ID,
                             &IMvParameter::get_GroupNumber,
                             &IMvParameter::get_BindingType,
                             &IMvParameter::get_FieldType,
                             &IMvParameter::get_Use_QT_Format,
                             &IMvParameter::get_DefinitionRecord_ID,
                             &IMvParameter::get_RowNumber,
                             &IMvParameter::get_ItemID,
                             &IMvParameter::get_ParameterID,
                             &IMvParameter::get_Changed,
                             &IMvParameter::get_Interpolate};
    const ShortGet shorts[] = {&IMvParameter::get_Level, &IMvParameter::get_Status,
                               &IMvParameter::get_Extrapolate};
    const DoubleGet doubles[] = {&IMvParameter::get_UnitConversionMultiplier,
                                 &IMvParameter::get_UnitConversionOffset,
                                 &IMvParameter::get_TimeStamp};
    const VariantGet variants[] = {&IMvParameter::get_Value, &IMvParameter::get_Default};
    for (auto g : texts) EXPECT_EQ((q->*g)(nullptr), E_POINTER);
    for (auto g : longs) EXPECT_EQ((q->*g)(nullptr), E_POINTER);
    for (auto g : shorts) EXPECT_EQ((q->*g)(nullptr), E_POINTER);
    for (auto g : doubles) EXPECT_EQ((q->*g)(nullptr), E_POINTER);
    for (auto g : variants) EXPECT_EQ((q->*g)(nullptr), E_POINTER);
    EXPECT_EQ(q->get_SampleInfo(nullptr), E_POINTER);
}

// Each text property reads its own field, through its own table.
TEST(ParameterPropertiesTest, EnumeratedFieldsReadAsTheirTableTextOrTheirNumber) {
    struct Case {
        DISPID number, text;
        LONG value;
        const char16_t* expected;
    } cases[] = {
        // The low 16 bits, signed, pick the row.
        {DISPID_MvParameter_BindingType, DISPID_MvParameter_BindingTypeText, 0x10009, u"OPC_DA"},
        {DISPID_MvParameter_Type, DISPID_MvParameter_TypeText, 0x1FFFF, u"-1"},
    };
    auto p = NewParameter();
    for (const Case& c : cases) {
        ASSERT_EQ(DispPut(p.get(), c.number, I4(c.value)), S_OK);
        ExpectSame(DispGet(p.get(), c.text), Str(c.expected));
    }
}

// A refused text keeps the field and sets the error information; of the
// three setters only the direction's closes its trace on a refusal.
TEST(ParameterPropertiesTest, EnumerationTextsSetTheirFieldOrFailLeavingItAlone) {
    using Put = HRESULT (IMvParameter::*)(BSTR);
    struct Case {
        const char* name;
        Put put;
        DISPID number;
        const char16_t* written;
        HRESULT hr;
        LONG stored;  // the field afterwards; it starts at 3
        const char16_t* error;
        const char* endLine;  // null: no closing trace line
    } cases[] = {
        {"put_ParameterTypeText", &IMvParameter::put_ParameterTypeText,
         DISPID_MvParameter_ParameterType, u"input/output", S_OK, 3, u"", "(S_OK)"},
        {"put_ParameterTypeText", &IMvParameter::put_ParameterTypeText,
         DISPID_MvParameter_ParameterType, u"4", E_FAIL, 3,
         u"Invalid text value for ParameterTypeText", "(E_FAIL)"},
        {"put_BindingTypeText", &IMvParameter::put_BindingTypeText, DISPID_MvParameter_BindingType,
         u"opc_da", S_OK, 9, u"", "(S_OK)"},
        {"put_BindingTypeText", &IMvParameter::put_BindingTypeText, DISPID_MvParameter_BindingType,
         u"OPC", E_FAIL, 3, u"Invalid text value for BindingTypeText", nullptr},
        {"put_TypeText", &IMvParameter::put_TypeText, DISPID_MvParameter_Type, u"BOOLEAN", S_OK, 11,
         u"", "(S_OK)"},
        {"put_TypeText", &IMvParameter::put_TypeText, DISPID_MvParameter_Type, u" Boolean", E_FAIL,
         3, u"Invalid text value for TypeText", nullptr},
    };
    auto p = NewParameter();
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.written));
        ASSERT_EQ(DispPut(p.get(), c.number, I4(3)), S_OK);
        SetErrorInfo(0, nullptr);
        mv::Bstr text(c.written);
        std::string log;
        {
            values_test::LogCapture capture(true);
            // Through the interface, so the error information stays for us to read.
            EXPECT_EQ((p.get()->*c.put)(text.get()), c.hr);
            log = capture.Lines();
        }
        const std::string frame = std::string("CMvParameter::") + c.name + ": Method - ";
        EXPECT_NE(log.find(frame + "Start"), std::string::npos) << log;
        if (c.endLine)
            EXPECT_NE(log.find(frame + "End " + c.endLine), std::string::npos) << log;
        else
            EXPECT_EQ(log.find(frame + "End"), std::string::npos) << log;
        const values_test::ErrorInfoText error = values_test::TakeErrorInfo();
        EXPECT_EQ(error.description, c.error);
        if (c.hr == E_FAIL) {
            EXPECT_EQ(error.source, u"Morva.Calc.Parameter.1");
            EXPECT_EQ(error.iid, IID_IMvParameter);
        }
        ExpectSame(DispGet(p.get(), c.number), I4(c.stored));
    }
}

TEST(ParameterPropertiesTest, CellTextNamesTheCellOrTheMacro) {
    struct Case {
        LONG parameterType;
        const char16_t* written;
        LONG column, row;
        const char16_t* method;
        const char16_t* read;
    } cases[] = {
        {mvcInput, u"2,3", 2, 3, u"", u"2,3"},
        {mvcInput, u" 12 , 7x", 12, 7, u"", u"12,7"},
        {mvcInput, u"2,0", 0, 0, u"2,0", u"2,0"},
        {mvcInput, u",23", 0, 0, u",23", u",23"},
        {mvcInput, u"-2,3", 0, 0, u"-2,3", u"-2,3"},
        {mvcInput, u"RunIt", 0, 0, u"RunIt", u"RunIt"},
        {mvcInput, u"99999999999,1", 2147483647, 1, u"", u"2147483647,1"},
        {mvcCommand, u"2,3", 0, 0, u"2,3", u"2,3"},
        {mvcInput, nullptr, 0, 0, u"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written ? mv::ToUtf8(c.written) : "null");
        auto p = NewParameter();
        ASSERT_EQ(p->put_ParameterType(c.parameterType), S_OK);
        ASSERT_EQ(p->put_SpreadSheetMethod(mv::Bstr(u"old").get()), S_OK);
        mv::Bstr written(c.written);
        ASSERT_EQ(p->put_CellText(written.get()), S_OK);
        LONG column = -1, row = -1;
        mv::Bstr method, read;
        p->get_SpreadSheetColumn(&column);
        p->get_SpreadSheetRow(&row);
        p->get_SpreadSheetMethod(method.Out());
        p->get_CellText(read.Out());
        EXPECT_EQ(column, c.column);
        EXPECT_EQ(row, c.row);
        EXPECT_EQ(method.view(), c.method);
        EXPECT_EQ(read.view(), c.read);
    }
}

TEST(ParameterPropertiesTest, SampleInfoIsHandedOutCountedButNotHeld) {
    mv::ComPtr<IMvParameter> other = NewParameter();
    IUnknown* info = other.get();
    const ULONG before = (info->AddRef(), info->Release());
    auto p = NewParameter();
    ASSERT_EQ(p->put_SampleInfo(info), S_OK);
    EXPECT_EQ((info->AddRef(), info->Release()), before);
    IUnknown* read = nullptr;
    ASSERT_EQ(p->get_SampleInfo(&read), S_OK);
    EXPECT_EQ(read, info);
    EXPECT_EQ((info->AddRef(), info->Release()), before + 1);
    read->Release();
    EXPECT_EQ((info->AddRef(), info->Release()), before);
    // Releasing the parameter releases nothing it does not hold.
    p.Reset();
    EXPECT_EQ((info->AddRef(), info->Release()), before);
}

// The binding set-ups return their error text through a fourth argument
// that dispatch callers pass by reference; it is not the call's result.
TEST(ParameterPropertiesTest, BindingSetUpsTakeTheirErrorTextAsAnArgument) {
    auto p = NewParameter();
    const struct {
        const char16_t* method;
        DISPID id;
    } cases[] = {{u"SetUsingMap", DISPID_MvParameter_SetUsingMap},
                 {u"SetUsingDataSourceAndMap", DISPID_MvParameter_SetUsingDataSourceAndMap}};
    for (const auto& c : cases) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(c.method), const_cast<LPOLESTR>(u"ErrorText")};
        DISPID ids[2] = {-1, -1};
        ASSERT_EQ(p->GetIDsOfNames(IID_NULL, names, 2, 0, ids), S_OK);
        EXPECT_EQ(ids[0], c.id);
        EXPECT_EQ(ids[1], 3);
    }
    // No data-source locator is registered here, so the look-up fails.
    mv::Bstr source(u"NOSUCH"), tag(u"TAG1"), map(u"");
    BSTR error = nullptr;
    VARIANT args[4];
    for (VARIANT& a : args) VariantInit(&a);
    args[0].vt = VT_BYREF | VT_BSTR;
    args[0].pbstrVal = &error;
    args[1].vt = args[2].vt = args[3].vt = VT_BSTR;
    args[1].bstrVal = map.get();
    args[2].bstrVal = tag.get();
    args[3].bstrVal = source.get();
    DISPPARAMS params{args, nullptr, 4, 0};
    mv::Variant result;
    EXPECT_EQ(p->Invoke(DISPID_MvParameter_SetUsingDataSourceAndMap, IID_NULL, 0, DISPATCH_METHOD,
                        &params, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(Text(error), u"Data source not found");
    SysFreeString(error);
}

// Error information is set for the parameter's own interface only.
TEST(ParameterPropertiesTest, ErrorInfoForItsOwnInterfaceAndPersistenceAnswers) {
    auto p = NewParameter();
    mv::ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(p->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMvParameter), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IPersistStream), S_FALSE);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IMvPersistXML), S_FALSE);

    mv::ComPtr<IPersistStream> persist;
    ASSERT_EQ(p->QueryInterface(IID_IPersistStream, persist.PutVoid()), S_OK);
    ULARGE_INTEGER size{};
    EXPECT_EQ(persist->GetSizeMax(&size), E_NOTIMPL);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    CLSID clsid{};
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_MvParameter);
}

}  // namespace
}  // namespace parameter_test
