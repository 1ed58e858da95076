#include "sources/dravik_connect.h"

#include <utility>

#include "frame/hosted_servers.h"
#include "frame/object_server.h"
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

CMvDravikConnect::~CMvDravikConnect() {
    if (m_Connection) m_Connection->Release();
}

HRESULT CMvDravikConnect::get_DravikDataConnection(IDispatch** pVal) {
    return MvMethodFrame("CMvDravikConnect::get_DravikDataConnection", [&] {
        if (!pVal) return E_POINTER;
        std::lock_guard lock(m_ConnectionLock);
        *pVal = m_Connection;
        if (*pVal) (*pVal)->AddRef();
        return S_OK;
    });
}

HRESULT CMvDravikConnect::put_DravikDataConnection(IDispatch* newVal) {
    return MvMethodFrame("CMvDravikConnect::put_DravikDataConnection", [&] {
        if (newVal) newVal->AddRef();
        IDispatch* old = nullptr;
        {
            std::lock_guard lock(m_ConnectionLock);
            old = std::exchange(m_Connection, newVal);
        }
        if (old) old->Release();
    });
}

HRESULT CMvDravikConnect::DravikOpenConnection(BSTR* ErrorText) {
    return MvMethodFrame("CMvDravikConnect::DravikOpenConnection", [&] {
        if (!ErrorText) return E_POINTER;
        *ErrorText = nullptr;
        {
            std::lock_guard lock(m_ConnectionLock);
            if (m_Connection) return S_OK;
        }
        mv::ComPtr<IDispatch> connection;
        {
            mv::ComPtr<IDispatch> server;
            server.Attach(ObjectServer_GetDataAccessServer());
            if (!server) return E_FAIL;
            mv::Bstr settings[5];
            get_DravikSQLServer(settings[0].Out());
            get_DravikSQLDriver(settings[1].Out());
            get_DravikDataBase(settings[2].Out());
            get_DravikUser(settings[3].Out());
            get_DravikPassword(settings[4].Out());
            // Neither answer is examined: the connection and the text tell.
            // The servers may replace the by-reference connection, so it is
            // a plain variable until both calls are over.
            IDispatch* raw = nullptr;
            DataAccessServer_Call60030000(server.get(), &raw, ErrorText);
            if (raw)
                DataAccessServer_Call60030002(server.get(), &raw, settings[0].get(),
                                              settings[1].get(), settings[2].get(),
                                              settings[3].get(), settings[4].get(), ErrorText);
            connection.Attach(raw);
        }
        if (!connection) return E_FAIL;
        if (*ErrorText && SysStringLen(*ErrorText) != 0) return E_FAIL;
        if (SetControlID(connection.get(), ErrorText) != S_OK) return E_FAIL;
        IDispatch* old = nullptr;
        {
            std::lock_guard lock(m_ConnectionLock);
            old = std::exchange(m_Connection, connection.Detach());
        }
        if (old) old->Release();
        return S_OK;
    });
}

HRESULT CMvDravikConnect::SetControlID(IDispatch* connection, BSTR* ErrorText) {
    return MvMethodFrame("CMvDravikConnect::SetControlID", [&] {
        mv::ComPtr<IDispatch> server;
        server.Attach(ObjectServer_GetControlRecipeServer());
        if (!server || !connection) return E_FAIL;
        SHORT controlId = 0;
        get_DravikControlID(&controlId);
        return ControlRecipeServer_Call60030002(server.get(), &connection, controlId, ErrorText)
                   ? S_OK
                   : E_FAIL;
    });
}
