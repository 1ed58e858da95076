// CMvEngUnitType: a named kind of quantity with its standard unit's name and
// its units, filed by name in a collection of its own. A collection of unit
// types is the module's unit-conversion table ("bin/Conversions.mvc" on
// disk); a unit type's record stream carries its units.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvEngUnitType.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvEngUnitType : public mv::ComObjectRoot<CMvEngUnitType>,
                       public mv::DispatchImpl<IMvEngUnitType>,
                       public mv::SupportErrorInfoImpl<IMvEngUnitType>,
                       public IMvPersistStreamImpl<CMvEngUnitType>,
                       public IMvPersistXMLImpl<CMvEngUnitType>,
                       public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvEngUnitType, mv::Via<IDispatch, IMvEngUnitType>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvEngUnitType;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvEngUnitType; }

    // Creates the Units collection; its failure discards the new unit type.
    HRESULT FinalConstruct();

    // IMvEngUnitType
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_StandardUnit(BSTR* pVal) override;
    HRESULT put_StandardUnit(BSTR newVal) override;
    HRESULT get_Units(IMvObjCollection** pVal) override;
    HRESULT GetUnit(BSTR Name, IMvEngUnit** pUnit) override;
    HRESULT AddUnit(BSTR Name, IMvEngUnit** pUnit) override;

    // IMvCalcName: the unit type's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // No lock of its own: callers that share a unit type between threads
    // serialise their calls on it (the collection guards its own list).
    CharString m_Name;
    CharString m_Description;
    CharString m_StandardUnit;
    mv::ComPtr<IMvObjCollection> m_Units;  // set for the object's whole life
};
