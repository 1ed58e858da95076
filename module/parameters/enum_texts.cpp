#include "parameters/enum_texts.h"

#include <cstdio>
#include <new>
#include <string>

const char* const DataTypeNames[16] = {
    "Empty",  "Null",   "Short", "Integer", "Single",  "Float",      "Currency", "TimeStamp",
    "String", "Object", "Error", "Boolean", "Variant", "DataObject", "Decimal",  "Byte",
};
const char* const ColumnDataTypeNames[16] = {
    "Empty",  "Null",   "Short", "Integer", "Single",  "Float",      "Currency", "TimeStamp",
    "String", "Object", "Error", "Boolean", "Variant", "DataObject", "Decimal",  "Byte",
};
const char* const ParameterTypeNames[9] = {
    "UnUsed", "Input", "Output", "Input/Output", "", "", "ReturnValue", "", "Command",
};
const char* const BindingTypeNames[12] = {
    "None",        "Keldrin", "ADO",  "Constant", "DataSet", "OLE_Object",
    "Calculation", "Dravik",  "File", "OPC_DA",   "Quenbus", "ProcessData",
};
const char* const FormulaTypeNames[7] = {
    "None",           "EXE_Formula",   "OLE_Formula", "VBS_Formula",
    "Script_Formula", "Excel_Formula", "DLL_Formula",
};

namespace {

bool EqualNoCase(const std::string& text, const char* row) noexcept {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    std::size_t i = 0;
    for (; i < text.size() && row[i]; ++i)
        if (fold(static_cast<unsigned char>(text[i])) != fold(static_cast<unsigned char>(row[i])))
            return false;
    return i == text.size() && row[i] == '\0';
}

}  // namespace

void EnumToText(BSTR* out, SHORT value, SHORT count, const char* const* table) {
    std::string text;
    if (value >= 0 && value < count) {
        text = table[value];
    } else {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
        text = digits;
    }
    const std::u16string wide = mv::ToUtf16(text);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) throw std::bad_alloc();
    *out = b;
}

int TextToEnum(BSTR text, SHORT* out, SHORT count, const char* const* table) {
    const std::string narrow = mv::ToUtf8(static_cast<const OLECHAR*>(text));
    for (SHORT row = 0; row < count; ++row) {
        if (table[row][0] == '\0') continue;
        if (EqualNoCase(narrow, table[row])) {
            *out = row;
            return 0;
        }
    }
    return 1;
}
