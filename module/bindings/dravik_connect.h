// CMvDravikConnect: a calculation's settings for the recipe database, held
// by the calculation with one reference and saved inside its stream as an
// object value. The five texts and the control identifier are persisted; the
// data connection and the enabled flag are not, so a loaded object is
// disabled and unconnected.
#pragma once

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
    // The connection and its recipe servers come with the recipe bindings:
    // E_NOTIMPL.
    HRESULT get_DravikDataConnection(IDispatch** pVal) override;
    HRESULT put_DravikDataConnection(IDispatch* newVal) override;
    HRESULT DravikOpenConnection(BSTR* ErrorText) override;

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
};
