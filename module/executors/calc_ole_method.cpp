#include "executors/calc_ole_method.h"

#include "executors/calc_ole_arg.h"
#include "parameters/eng_unit.h"
#include "persistence/obj_collection.h"

namespace {

constexpr PropertyMapEntry kCalcOLEMethodMap[] = {
    MvPropertyRow(u"OleObjectFieldType", DISPID_MvCalcOLEMethod_OleObjectFieldType),
    MvPropertyRow(u"Name", DISPID_MvCalcOLEMethod_Name),
    MvPropertyRow(u"FieldDataType", DISPID_MvCalcOLEMethod_FieldDataType),
    MvPropertyRow(u"ParameterName", DISPID_MvCalcOLEMethod_ParameterName),
    MvPropertyRow(u"Arguments", DISPID_MvCalcOLEMethod_Arguments),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvCalcOLEMethod::GetPropertyMap() {
    return kCalcOLEMethodMap;
}

HRESULT CMvCalcOLEMethod::FinalConstruct() {
    return MvObjCollection_Create(&m_Arguments);
}

HRESULT CMvCalcOLEMethod::get_OleObjectFieldType(LONG* pVal) {
    return MvGetNumberProperty("CMvCalcOLEMethod::get_OleObjectFieldType", m_OleObjectFieldType,
                               pVal);
}

HRESULT CMvCalcOLEMethod::put_OleObjectFieldType(LONG newVal) {
    return MvPutNumberProperty("CMvCalcOLEMethod::put_OleObjectFieldType", m_OleObjectFieldType,
                               newVal);
}

HRESULT CMvCalcOLEMethod::get_Name(BSTR* pVal) {
    return MvGetTextProperty("CMvCalcOLEMethod::get_Name", *this, m_Name, pVal);
}

HRESULT CMvCalcOLEMethod::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvCalcOLEMethod::put_Name", *this, m_Name, newVal);
}

HRESULT CMvCalcOLEMethod::get_FieldDataType(LONG* pVal) {
    return MvGetNumberProperty("CMvCalcOLEMethod::get_FieldDataType", m_FieldDataType, pVal);
}

HRESULT CMvCalcOLEMethod::put_FieldDataType(LONG newVal) {
    return MvPutNumberProperty("CMvCalcOLEMethod::put_FieldDataType", m_FieldDataType, newVal);
}

HRESULT CMvCalcOLEMethod::get_ParameterName(BSTR* pVal) {
    return MvGetTextProperty("CMvCalcOLEMethod::get_ParameterName", *this, m_ParameterName, pVal);
}

HRESULT CMvCalcOLEMethod::put_ParameterName(BSTR newVal) {
    return MvPutTextProperty("CMvCalcOLEMethod::put_ParameterName", *this, m_ParameterName, newVal);
}

HRESULT CMvCalcOLEMethod::get_Arguments(IMvObjCollection** pVal) {
    return MvMethodFrame("CMvCalcOLEMethod::get_Arguments", [&] {
        MvRequirePointer(pVal);
        (void)m_Arguments.CopyTo(pVal);
    });
}

HRESULT CMvCalcOLEMethod::AddArgument(BSTR Name, IMvCalcOLEArg** pArg) {
    return MvMethodFrame("CMvCalcOLEMethod::AddArgument", [&]() -> HRESULT {
        // Checked before anything is filed, so a call that cannot hand the
        // argument out leaves the collection as it was.
        MvRequirePointer(pArg);
        return MvObjCollection_AddNew<CMvCalcOLEArg>(m_Arguments.get(), Name, pArg);
    });
}

HRESULT CMvCalcOLEMethod::GetArgument(BSTR Name, IMvCalcOLEArg** pArg) {
    return MvMethodFrame("CMvCalcOLEMethod::GetArgument", [&]() -> HRESULT {
        MvRequirePointer(pArg);
        return MvObjCollection_GetAs(m_Arguments.get(), Name, pArg);
    });
}

HRESULT CMvCalcOLEMethod::get_DispId(LONG* pVal) {
    return MvMethodFrame("CMvCalcOLEMethod::get_DispId", [&] {
        MvRequirePointer(pVal);
        *pVal = m_DispId.load();
    });
}

HRESULT CMvCalcOLEMethod::put_DispId(LONG newVal) {
    return MvMethodFrame("CMvCalcOLEMethod::put_DispId", [&] { m_DispId.store(newVal); });
}
