#include "bindings/dravik_connect.h"

#include "parameters/eng_unit.h"

namespace {

constexpr PropertyMapEntry kDravikConnectMap[] = {
    MvPropertyRow(u"DravikSQLServer", DISPID_MvDravikConnect_DravikSQLServer),
    MvPropertyRow(u"DravikSQLDriver", DISPID_MvDravikConnect_DravikSQLDriver),
    MvPropertyRow(u"DravikDataBase", DISPID_MvDravikConnect_DravikDataBase),
    MvPropertyRow(u"DravikUser", DISPID_MvDravikConnect_DravikUser),
    MvPropertyRow(u"DravikPassword", DISPID_MvDravikConnect_DravikPassword),
    MvPropertyRow(u"DravikControlID", DISPID_MvDravikConnect_DravikControlID),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvDravikConnect::GetPropertyMap() {
    return kDravikConnectMap;
}

#define MV_DRAVIK_TEXT(Prop, Field)                                                           \
    HRESULT CMvDravikConnect::get_Dravik##Prop(BSTR* pVal) {                                  \
        return MvGetTextProperty("CMvDravikConnect::get_Dravik" #Prop, *this, Field, pVal);   \
    }                                                                                         \
    HRESULT CMvDravikConnect::put_Dravik##Prop(BSTR newVal) {                                 \
        return MvPutTextProperty("CMvDravikConnect::put_Dravik" #Prop, *this, Field, newVal); \
    }

MV_DRAVIK_TEXT(SQLServer, m_SQLServer)
MV_DRAVIK_TEXT(SQLDriver, m_SQLDriver)
MV_DRAVIK_TEXT(DataBase, m_DataBase)
MV_DRAVIK_TEXT(User, m_User)
MV_DRAVIK_TEXT(Password, m_Password)

#undef MV_DRAVIK_TEXT

HRESULT CMvDravikConnect::get_DravikControlID(SHORT* pVal) {
    return MvGetNumberProperty("CMvDravikConnect::get_DravikControlID", m_ControlID, pVal);
}

HRESULT CMvDravikConnect::put_DravikControlID(SHORT newVal) {
    return MvPutNumberProperty("CMvDravikConnect::put_DravikControlID", m_ControlID, newVal);
}

HRESULT CMvDravikConnect::EnableDravikConnect() {
    return MvMethodFrame("CMvDravikConnect::EnableDravikConnect", [&] { m_Enabled = 1; });
}

HRESULT CMvDravikConnect::DisableDravikConnect() {
    return MvMethodFrame("CMvDravikConnect::DisableDravikConnect", [&] { m_Enabled = 0; });
}

HRESULT CMvDravikConnect::TryDravikConnect() {
    return MvMethodFrame("CMvDravikConnect::TryDravikConnect",
                         [&] { return m_Enabled != 0 ? S_OK : S_FALSE; });
}

HRESULT CMvDravikConnect::get_DravikDataConnection(IDispatch** /*pVal*/) {
    return E_NOTIMPL;
}

HRESULT CMvDravikConnect::put_DravikDataConnection(IDispatch* /*newVal*/) {
    return E_NOTIMPL;
}

HRESULT CMvDravikConnect::DravikOpenConnection(BSTR* /*ErrorText*/) {
    return E_NOTIMPL;
}
