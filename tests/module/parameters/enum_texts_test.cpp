// The enumeration text tables and the two functions over them.
#include <gtest/gtest.h>

#include "parameters/enum_texts.h"

namespace {

TEST(EnumTextsTest, ValuesReadAsTheirRowOrTheirNumber) {
    struct Case {
        const char* const* table;
        SHORT count, value;
        const char16_t* expected;
    } cases[] = {
        {ParameterTypeNames, 9, 6, u"ReturnValue"},
        {ParameterTypeNames, 9, 4, u""},
        {ParameterTypeNames, 9, 9, u"9"},
        {ParameterTypeNames, 9, -1, u"-1"},
        {FormulaTypeNames, 7, 7, u"7"},
        {FormulaTypeNames, 7, 6, u"DLL_Formula"},
        {DataTypeNames, 16, 12, u"Variant"},
        {ColumnDataTypeNames, 16, 7, u"TimeStamp"},
        {BindingTypeNames, 12, 0, u"None"},
        {BindingTypeNames, 12, -32768, u"-32768"},
    };
    for (const Case& c : cases) {
        BSTR text = nullptr;
        EnumToText(&text, c.value, c.count, c.table);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::u16string(text, SysStringLen(text)), c.expected) << c.value;
        SysFreeString(text);
    }
}

TEST(EnumTextsTest, OnlyAWholeNonEmptyRowMatchesCaseAside) {
    struct Case {
        const char* const* table;
        SHORT count;
        const char16_t* text;
        int result;
        SHORT index;  // -5 when untouched
    } cases[] = {
        {ParameterTypeNames, 9, u"", 1, -5},       {ParameterTypeNames, 9, nullptr, 1, -5},
        {ParameterTypeNames, 9, u"Input ", 1, -5}, {ParameterTypeNames, 9, u"Inpu", 1, -5},
        {FormulaTypeNames, 7, u"7", 1, -5},        {FormulaTypeNames, 7, u"none", 0, 0},
        {DataTypeNames, 16, u"BYTE", 0, 15},       {DataTypeNames, 16, u"B\u00dfte", 1, -5},
    };
    for (const Case& c : cases) {
        BSTR text = c.text ? SysAllocString(c.text) : nullptr;
        SHORT index = -5;
        EXPECT_EQ(TextToEnum(text, &index, c.count, c.table), c.result);
        EXPECT_EQ(index, c.index);
        SysFreeString(text);
    }
}

}  // namespace
