#include "sources/data_set_column.h"

#include "parameters/eng_unit.h"
#include "parameters/enum_texts.h"

namespace {

constexpr PropertyMapEntry kDataSetColumnMap[] = {
    MvPropertyRow(u"Name", DISPID_MvDataSetColumn_Name),
    MvPropertyRow(u"Type", DISPID_MvDataSetColumn_Type),
    MvPropertyRow(u"AdoDataType", DISPID_MvDataSetColumn_AdoDataType),
    MvPropertyMapEnd(),
};

constexpr SHORT kTypeNameCount = 16;

}  // namespace

const PropertyMapEntry* CMvDataSetColumn::GetPropertyMap() {
    return kDataSetColumnMap;
}

HRESULT CMvDataSetColumn::get_Name(BSTR* pVal) {
    return MvGetTextProperty("CMvDataSetColumn::get_Name", *this, m_Name, pVal);
}

HRESULT CMvDataSetColumn::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvDataSetColumn::put_Name", *this, m_Name, newVal);
}

HRESULT CMvDataSetColumn::get_Type(LONG* pVal) {
    return MvGetNumberProperty("CMvDataSetColumn::get_Type", m_Type, pVal);
}

HRESULT CMvDataSetColumn::put_Type(LONG newVal) {
    return MvPutNumberProperty("CMvDataSetColumn::put_Type", m_Type, newVal);
}

HRESULT CMvDataSetColumn::get_AdoDataType(LONG* pVal) {
    return MvGetNumberProperty("CMvDataSetColumn::get_AdoDataType", m_AdoDataType, pVal);
}

HRESULT CMvDataSetColumn::put_AdoDataType(LONG newVal) {
    return MvPutNumberProperty("CMvDataSetColumn::put_AdoDataType", m_AdoDataType, newVal);
}

// Only the low 16 bits of Type pick the name: 65538 reads "Short".
HRESULT CMvDataSetColumn::get_TypeText(BSTR* pVal) {
    return MvMethodFrame("CMvDataSetColumn::get_TypeText", [&] {
        MvRequirePointer(pVal);
        EnumToText(pVal, static_cast<SHORT>(m_Type), kTypeNameCount, ColumnDataTypeNames);
    });
}

HRESULT CMvDataSetColumn::put_TypeText(BSTR newVal) {
    return MvMethodFrame("CMvDataSetColumn::put_TypeText", [&]() -> HRESULT {
        SHORT index = 0;
        if (TextToEnum(newVal, &index, kTypeNameCount, ColumnDataTypeNames) != 0)
            return mv::ReportError(kProgId, IID_IMvDataSetColumn,
                                   u"Invalid text value for TypeText", E_FAIL);
        m_Type = index;
        return S_OK;
    });
}
