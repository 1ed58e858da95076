#include "executors/calc_ole_arg.h"

#include "parameters/eng_unit.h"

namespace {

constexpr PropertyMapEntry kCalcOLEArgMap[] = {
    MvPropertyRow(u"OleMethodArgumentType", DISPID_MvCalcOLEArg_OleMethodArgumentType),
    MvPropertyRow(u"Name", DISPID_MvCalcOLEArg_Name),
    MvPropertyRow(u"ArgumentDataType", DISPID_MvCalcOLEArg_ArgumentDataType),
    MvPropertyRow(u"ParameterName", DISPID_MvCalcOLEArg_ParameterName),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvCalcOLEArg::GetPropertyMap() {
    return kCalcOLEArgMap;
}

HRESULT CMvCalcOLEArg::get_OleMethodArgumentType(LONG* pVal) {
    return MvGetNumberProperty("CMvCalcOLEArg::get_OleMethodArgumentType", m_OleMethodArgumentType,
                               pVal);
}

HRESULT CMvCalcOLEArg::put_OleMethodArgumentType(LONG newVal) {
    return MvPutNumberProperty("CMvCalcOLEArg::put_OleMethodArgumentType", m_OleMethodArgumentType,
                               newVal);
}

HRESULT CMvCalcOLEArg::get_Name(BSTR* pVal) {
    return MvGetTextProperty("CMvCalcOLEArg::get_Name", *this, m_Name, pVal);
}

HRESULT CMvCalcOLEArg::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvCalcOLEArg::put_Name", *this, m_Name, newVal);
}

HRESULT CMvCalcOLEArg::get_ArgumentDataType(LONG* pVal) {
    return MvGetNumberProperty("CMvCalcOLEArg::get_ArgumentDataType", m_ArgumentDataType, pVal);
}

HRESULT CMvCalcOLEArg::put_ArgumentDataType(LONG newVal) {
    return MvPutNumberProperty("CMvCalcOLEArg::put_ArgumentDataType", m_ArgumentDataType, newVal);
}

HRESULT CMvCalcOLEArg::get_ParameterName(BSTR* pVal) {
    return MvGetTextProperty("CMvCalcOLEArg::get_ParameterName", *this, m_ParameterName, pVal);
}

HRESULT CMvCalcOLEArg::put_ParameterName(BSTR newVal) {
    return MvPutTextProperty("CMvCalcOLEArg::put_ParameterName", *this, m_ParameterName, newVal);
}
