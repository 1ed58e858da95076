// CMvDravikConnect: a calculation's settings for the recipe database, held
// by the calculation with one reference and saved inside its stream as an
// object value. The five texts and the control identifier are persisted; the
// data connection and the enabled flag are not, so a loaded object is
// disabled and unconnected.
#pragma once

#include <mutex>

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvDravikConnect.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvDravikConnect : public mv::ComObjectRoot<CMvDravikConnect>,
                         public mv::DispatchImpl<IMvDravikConnect>,
                         public IMvPersistXMLImpl<CMvDravikConnect>,
                         public IMvPersistStreamImpl<CMvDravikConnect> {
public:
    using InterfaceMap = mv::Interfaces<IMvDravikConnect, mv::Via<IDispatch, IMvDravikConnect>,
                                        IMvPersistXML, IPersistStream>;
    static constexpr const CLSID& kClsid = CLSID_MvDravikConnect;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvDravikConnect; }

    // IMvDravikConnect
    HRESULT get_DravikSQLServer(BSTR* pVal) override;
    HRESULT put_DravikSQLServer(BSTR newVal) override;
    HRESULT get_DravikSQLDriver(BSTR* pVal) override;
    HRESULT put_DravikSQLDriver(BSTR newVal) override;
    HRESULT get_DravikDataBase(BSTR* pVal) override;
    HRESULT put_DravikDataBase(BSTR newVal) override;
    HRESULT get_DravikUser(BSTR* pVal) override;
    HRESULT put_DravikUser(BSTR newVal) override;
    HRESULT get_DravikPassword(BSTR* pVal) override;
    HRESULT put_DravikPassword(BSTR newVal) override;
    HRESULT get_DravikControlID(SHORT* pVal) override;
    HRESULT put_DravikControlID(SHORT newVal) override;
    HRESULT EnableDravikConnect() override;
    HRESULT DisableDravikConnect() override;
    HRESULT TryDravikConnect() override;
    // The getter hands out a reference of the caller's own, so a put or a
    // client's release never frees a connection another thread still uses.
    HRESULT get_DravikDataConnection(IDispatch** pVal) override;
    HRESULT put_DravikDataConnection(IDispatch* newVal) override;
    // Opens the connection through the recipe servers unless one is held.
    // *ErrorText is an out argument: null on entry, then whatever text the
    // servers give. A connection is kept only once its control ID has been
    // accepted; otherwise it is released and E_FAIL returned, so the next
    // call tries again.
    HRESULT DravikOpenConnection(BSTR* ErrorText) override;

    // Selects the control ID on `connection` through the control-recipe
    // server: S_OK when the server accepts it, else E_FAIL.
    HRESULT SetControlID(IDispatch* connection, BSTR* ErrorText);

    ~CMvDravikConnect();

private:
    // Texts are copied and replaced under the object lock; the control
    // identifier and the flag are plain, the owning calculation serialises
    // their use.
    CharString m_SQLServer;
    CharString m_SQLDriver;
    CharString m_DataBase;
    CharString m_User;
    CharString m_Password;
    SHORT m_ControlID = 0;
    LONG m_Enabled = 0;
    // The open connection (one reference, or null), guarded by its own lock
    // under which nothing else is locked or called.
    std::mutex m_ConnectionLock;
    IDispatch* m_Connection = nullptr;
};
