#include "parameters/parameter.h"

#include <cstdio>
#include <new>

#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "parameters/enum_texts.h"

namespace {

// The cell text's numbers, read as atoi reads them (leading blanks, an
// optional sign, digits up to the first other character, 0 without digits),
// held to the 32-bit range instead of overflowing.
LONG ReadLeadingInteger(const char* text) noexcept {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<LONG>(value);
}

// The method frame of the data-type and binding-type text setters: a text
// they refuse (E_FAIL) leaves the call without its closing trace line.
template <class Work>
HRESULT RefusingTextFrame(const char* name, Work&& work) noexcept {
    const bool methods = g_DiagnosticLog.IsOn(LogMethods);
    if (methods) MvTraceMethodStart(name);
    HRESULT hr = E_UNEXPECTED;
    try {
        hr = work();
    } catch (...) {
        MvTraceMethodException(name);
    }
    if (methods && hr != E_FAIL) MvTraceMethodEnd(name, hr);
    return hr;
}

}  // namespace

const PropertyMapEntry* CMvParameter::GetPropertyMap() {
    static constexpr PropertyMapEntry kMap[] = {
        MvPropertyRow(u"BindingType", DISPID_MvParameter_BindingType),
        MvPropertyRow(u"CalculationName", DISPID_MvParameter_CalculationName),
        MvPropertyRow(u"ColumnName", DISPID_MvParameter_ColumnName),
        MvPropertyRow(u"DataSetName", DISPID_MvParameter_DataSetName),
        MvPropertyRow(u"*Default", DISPID_MvParameter_Default),
        MvPropertyRow(u"Description", DISPID_MvParameter_Description),
        MvPropertyRow(u"EXE_RuntimeArgument", DISPID_MvParameter_EXE_RuntimeArgument),
        MvPropertyRow(u"Field_ID", DISPID_MvParameter_Field_ID),
        MvPropertyRow(u"FieldName", DISPID_MvParameter_FieldName),
        MvPropertyRow(u"FieldType", DISPID_MvParameter_FieldType),
        MvPropertyRow(u"GroupNumber", DISPID_MvParameter_GroupNumber),
        MvPropertyRow(u"HistoryField_ID", DISPID_MvParameter_HistoryField_ID),
        MvPropertyRow(u"HistoryFieldName", DISPID_MvParameter_HistoryFieldName),
        MvPropertyRow(u"ItemID", DISPID_MvParameter_ItemID),
        MvPropertyRow(u"ItemName", DISPID_MvParameter_ItemName),
        MvPropertyRow(u"Level", DISPID_MvParameter_Level),
        MvPropertyRow(u"Name", DISPID_MvParameter_Name),
        MvPropertyRow(u"NodeName", DISPID_MvParameter_NodeName),
        MvPropertyRow(u"ParameterID", DISPID_MvParameter_ParameterID),
        MvPropertyRow(u"ParameterName", DISPID_MvParameter_ParameterName),
        MvPropertyRow(u"ParameterType", DISPID_MvParameter_ParameterType),
        MvPropertyRow(u"Record_ID", DISPID_MvParameter_Record_ID),
        MvPropertyRow(u"RecordName", DISPID_MvParameter_RecordName),
        MvPropertyRow(u"RowNumber", DISPID_MvParameter_RowNumber),
        MvPropertyRow(u"Source", DISPID_MvParameter_Source),
        MvPropertyRow(u"SpreadSheetColumn", DISPID_MvParameter_SpreadSheetColumn),
        MvPropertyRow(u"SpreadSheetMethod", DISPID_MvParameter_SpreadSheetMethod),
        MvPropertyRow(u"SpreadSheetName", DISPID_MvParameter_SpreadSheetName),
        MvPropertyRow(u"SpreadSheetRow", DISPID_MvParameter_SpreadSheetRow),
        MvPropertyRow(u"Status", DISPID_MvParameter_Status),
        MvPropertyRow(u"StatusField_ID", DISPID_MvParameter_StatusField_ID),
        MvPropertyRow(u"TimeStamp", DISPID_MvParameter_TimeStamp),
        MvPropertyRow(u"*Type", DISPID_MvParameter_Type),
        MvPropertyRow(u"UnitConversionMultiplier", DISPID_MvParameter_UnitConversionMultiplier),
        MvPropertyRow(u"UnitConversionOffset", DISPID_MvParameter_UnitConversionOffset),
        MvPropertyRow(u"Use_QT_Format", DISPID_MvParameter_Use_QT_Format),
        MvPropertyRow(u"*Value", DISPID_VALUE),
        MvPropertyRow(u"BoundUnits", DISPID_MvParameter_BoundUnits),
        MvPropertyRow(u"Units", DISPID_MvParameter_Units),
        MvPropertyRow(u"Extrapolate", DISPID_MvParameter_Extrapolate),
        MvPropertyRow(u"Interpolate", DISPID_MvParameter_Interpolate),
        MvPropertyRow(u"DataSource", DISPID_MvParameter_DataSource),
        MvPropertyMapEnd(),
    };
    return kMap;
}

CMvParameter::CMvParameter() noexcept {
    VariantInit(&m_Value);
    VariantInit(&m_Default);
}

// The text fields go with the members, in reverse order of declaration. The
// sample-information object is not ours to release.
CMvParameter::~CMvParameter() {
    VariantClear(&m_Default);
    VariantClear(&m_Value);
}

// ---------------------------------------------------------------------------
// Field access
// ---------------------------------------------------------------------------
std::string CMvParameter::TextOf(const CharString& field) {
    mv::ObjectLock lock(this);
    return field.CStr();
}

void CMvParameter::AssignText(CharString& field, BSTR text) {
    // Converted before the lock is taken; null and "" both empty the field.
    // A short ASCII text, as most are, is copied on the stack in one pass
    // that also finds its end; any other goes through the UTF-8 conversion.
    char ascii[256];
    size_t length = 0;
    const OLECHAR* wide = text ? text : u"";
    while (length + 1 < sizeof ascii && wide[length] != 0 && wide[length] < 0x80) {
        ascii[length] = static_cast<char>(wide[length]);
        ++length;
    }
    ascii[length] = '\0';
    std::string converted;
    if (wide[length] != 0) converted = mv::ToUtf8(wide);
    mv::ObjectLock lock(this);
    field.Assign(wide[length] != 0 ? converted.c_str() : ascii);
}

HRESULT CMvParameter::GetText(const CharString& field, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    mv::ObjectLock lock(this);
    // Running out of memory is no empty text: a save would pass for whole
    // without it.
    *pVal = nullptr;
    return MvGuardedCall([&] { *pVal = field.ToBSTR(); });
}

HRESULT CMvParameter::PutText(CharString& field, BSTR newVal) {
    AssignText(field, newVal);
    return S_OK;
}

// The low 16 bits of the field, taken as a signed number, pick the row.
HRESULT CMvParameter::EnumTextGet(const LONG& field, const char* const* table, SHORT count,
                                  BSTR* pVal) {
    if (!pVal) return E_POINTER;
    LONG value = 0;
    (void)GetNumber(field, &value);
    *pVal = nullptr;  // as the plain text getters
    return MvGuardedCall([&] { EnumToText(pVal, static_cast<SHORT>(value), count, table); });
}

HRESULT CMvParameter::EnumTextPut(LONG& field, BSTR text, const char* const* table, SHORT count,
                                  const char16_t* error) {
    SHORT index = 0;
    if (TextToEnum(text, &index, count, table) != 0)
        return mv::ReportError(kProgId, IID_IMvParameter, error, E_FAIL);
    return PutNumber(field, static_cast<LONG>(index));
}

// ---------------------------------------------------------------------------
// Plain properties
// ---------------------------------------------------------------------------
#define MV_PARAMETER_TEXT(Prop)                                                                    \
    HRESULT CMvParameter::get_##Prop(BSTR* pVal) {                                                 \
        return MvMethodFrame("CMvParameter::get_" #Prop, [&] { return GetText(m_##Prop, pVal); }); \
    }                                                                                              \
    HRESULT CMvParameter::put_##Prop(BSTR newVal) {                                                \
        return MvMethodFrame("CMvParameter::put_" #Prop,                                           \
                             [&] { return PutText(m_##Prop, newVal); });                           \
    }

#define MV_PARAMETER_NUMBER(Prop, Type)                                          \
    HRESULT CMvParameter::get_##Prop(Type* pVal) {                               \
        return MvMethodFrame("CMvParameter::get_" #Prop,                         \
                             [&] { return GetNumber<Type>(m_##Prop, pVal); });   \
    }                                                                            \
    HRESULT CMvParameter::put_##Prop(Type newVal) {                              \
        return MvMethodFrame("CMvParameter::put_" #Prop,                         \
                             [&] { return PutNumber<Type>(m_##Prop, newVal); }); \
    }

MV_PARAMETER_TEXT(Description)
MV_PARAMETER_TEXT(Units)
MV_PARAMETER_TEXT(Source)
MV_PARAMETER_TEXT(SpreadSheetName)
MV_PARAMETER_TEXT(SpreadSheetMethod)
MV_PARAMETER_TEXT(EXE_RuntimeArgument)
MV_PARAMETER_TEXT(NodeName)
MV_PARAMETER_TEXT(RecordName)
MV_PARAMETER_TEXT(FieldName)
MV_PARAMETER_TEXT(BoundUnits)
MV_PARAMETER_TEXT(HistoryFieldName)
MV_PARAMETER_TEXT(CalculationName)
MV_PARAMETER_TEXT(DataSetName)
MV_PARAMETER_TEXT(ColumnName)
MV_PARAMETER_TEXT(ItemName)
MV_PARAMETER_TEXT(ParameterName)
MV_PARAMETER_TEXT(Name)
MV_PARAMETER_TEXT(DataSource)

MV_PARAMETER_NUMBER(Type, LONG)
MV_PARAMETER_NUMBER(UnitConversionMultiplier, DOUBLE)
MV_PARAMETER_NUMBER(UnitConversionOffset, DOUBLE)
MV_PARAMETER_NUMBER(ParameterType, LONG)
MV_PARAMETER_NUMBER(SpreadSheetRow, LONG)
MV_PARAMETER_NUMBER(SpreadSheetColumn, LONG)
MV_PARAMETER_NUMBER(TimeStamp, DATE)
MV_PARAMETER_NUMBER(Record_ID, LONG)
MV_PARAMETER_NUMBER(Field_ID, LONG)
MV_PARAMETER_NUMBER(StatusField_ID, LONG)
MV_PARAMETER_NUMBER(HistoryField_ID, LONG)
MV_PARAMETER_NUMBER(GroupNumber, LONG)
MV_PARAMETER_NUMBER(BindingType, LONG)
MV_PARAMETER_NUMBER(FieldType, LONG)
MV_PARAMETER_NUMBER(Use_QT_Format, LONG)
MV_PARAMETER_NUMBER(RowNumber, LONG)
MV_PARAMETER_NUMBER(ItemID, LONG)
MV_PARAMETER_NUMBER(ParameterID, LONG)
MV_PARAMETER_NUMBER(Changed, LONG)
MV_PARAMETER_NUMBER(Extrapolate, VARIANT_BOOL)
MV_PARAMETER_NUMBER(Interpolate, LONG)

#undef MV_PARAMETER_TEXT
#undef MV_PARAMETER_NUMBER

// ---------------------------------------------------------------------------
// Computed and special properties
// ---------------------------------------------------------------------------
HRESULT CMvParameter::get_Default(VARIANT* pVal) {
    return MvMethodFrame("CMvParameter::get_Default", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(VariantCopy(pVal, &m_Default));
    });
}

// References are resolved, so the default never points into the caller's
// storage; VT_NULL is kept as it is.
HRESULT CMvParameter::put_Default(VARIANT newVal) {
    return MvMethodFrame("CMvParameter::put_Default", [&] {
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(VariantCopyInd(&m_Default, &newVal));
    });
}

HRESULT CMvParameter::get_TypeText(BSTR* pVal) {
    return MvMethodFrame("CMvParameter::get_TypeText",
                         [&] { return EnumTextGet(m_Type, DataTypeNames, 16, pVal); });
}

HRESULT CMvParameter::put_TypeText(BSTR newVal) {
    return RefusingTextFrame("CMvParameter::put_TypeText", [&] {
        return EnumTextPut(m_Type, newVal, DataTypeNames, 16, u"Invalid text value for TypeText");
    });
}

HRESULT CMvParameter::get_ParameterTypeText(BSTR* pVal) {
    return MvMethodFrame("CMvParameter::get_ParameterTypeText",
                         [&] { return EnumTextGet(m_ParameterType, ParameterTypeNames, 9, pVal); });
}

HRESULT CMvParameter::put_ParameterTypeText(BSTR newVal) {
    return MvMethodFrame("CMvParameter::put_ParameterTypeText", [&] {
        return EnumTextPut(m_ParameterType, newVal, ParameterTypeNames, 9,
                           u"Invalid text value for ParameterTypeText");
    });
}

HRESULT CMvParameter::get_BindingTypeText(BSTR* pVal) {
    return MvMethodFrame("CMvParameter::get_BindingTypeText",
                         [&] { return EnumTextGet(m_BindingType, BindingTypeNames, 12, pVal); });
}

HRESULT CMvParameter::put_BindingTypeText(BSTR newVal) {
    return RefusingTextFrame("CMvParameter::put_BindingTypeText", [&] {
        return EnumTextPut(m_BindingType, newVal, BindingTypeNames, 12,
                           u"Invalid text value for BindingTypeText");
    });
}

// The parameter adds a reference for the caller but keeps none of its own.
HRESULT CMvParameter::get_SampleInfo(IUnknown** pVal) {
    return MvMethodFrame("CMvParameter::get_SampleInfo", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        if (m_SampleInfo) m_SampleInfo->AddRef();
        *pVal = m_SampleInfo;
        return S_OK;
    });
}

HRESULT CMvParameter::put_SampleInfo(IUnknown* newVal) {
    return MvMethodFrame("CMvParameter::put_SampleInfo",
                         [&] { return PutNumber(m_SampleInfo, newVal); });
}

HRESULT CMvParameter::get_DefinitionRecord_ID(LONG* pVal) {
    return MvMethodFrame("CMvParameter::get_DefinitionRecord_ID", [&] {
        if (!pVal) return E_POINTER;
        *pVal = 0;
        return S_OK;
    });
}

HRESULT CMvParameter::put_DefinitionRecord_ID(LONG) {
    return MvMethodFrame("CMvParameter::put_DefinitionRecord_ID", [] {});
}

// "column,row" for a cell of a parameter that is not a command, else the
// macro name.
HRESULT CMvParameter::get_CellText(BSTR* pVal) {
    return MvMethodFrame("CMvParameter::get_CellText", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        if (m_ParameterType != mvcCommand && m_SpreadSheetRow > 0 && m_SpreadSheetColumn > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%d,%d", static_cast<int>(m_SpreadSheetColumn),
                          static_cast<int>(m_SpreadSheetRow));
            CharString cell;
            cell.Assign(text);
            return GetText(cell, pVal);
        }
        return GetText(m_SpreadSheetMethod, pVal);
    });
}

HRESULT CMvParameter::put_CellText(BSTR newVal) {
    return MvMethodFrame("CMvParameter::put_CellText", [&] {
        const std::string text = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
        mv::ObjectLock lock(this);
        LONG column = 0;
        LONG row = 0;
        if (m_ParameterType != mvcCommand) {
            const std::size_t comma = text.find(',');
            if (comma != std::string::npos && comma > 0 && text.size() >= 3) {
                column = ReadLeadingInteger(text.c_str());
                row = ReadLeadingInteger(text.c_str() + comma + 1);
            }
        }
        if (column > 0 && row > 0) {
            m_SpreadSheetRow = row;
            m_SpreadSheetColumn = column;
            m_SpreadSheetMethod.Free();
        } else {
            m_SpreadSheetRow = 0;
            m_SpreadSheetColumn = 0;
            m_SpreadSheetMethod.Assign(text.c_str());
        }
    });
}

// ---------------------------------------------------------------------------
// IMvCalcName
// ---------------------------------------------------------------------------
HRESULT CMvParameter::get_ObjectName(BSTR* pName) {
    return static_cast<IMvParameter*>(this)->get_Name(pName);
}

HRESULT CMvParameter::put_ObjectName(BSTR name) {
    return static_cast<IMvParameter*>(this)->put_Name(name);
}
