// CMvEngUnit: a named engineering unit and its two factors to the standard
// unit of its unit type. A plain persistable value object: its property map
// drives the record stream and the XML form, and IMvCalcName files it in its
// unit type's collection under its Name.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "frame/trace.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvEngUnit.h"
#include "persistence/calc_value_list.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

// The text properties of the unit classes, each run in the method frame
// under `method`. The getter hands out a new BSTR (empty, never null, for an
// empty field) and faults on a null out pointer; the setter stores the narrow
// form of the text, which ends at its first zero character (null and ""
// empty the field).
HRESULT MvGetTextProperty(const char* method, const CharString& field, BSTR* pVal);
HRESULT MvPutTextProperty(const char* method, CharString& field, BSTR newVal);
// The same under `owner`'s object lock, for classes whose texts one thread
// may replace while another reads them: the getter copies the text and the
// setter replaces it while holding the lock (the text is converted before).
HRESULT MvGetTextProperty(const char* method, mv::ComObjectRootBase& owner, const CharString& field,
                          BSTR* pVal);
HRESULT MvPutTextProperty(const char* method, mv::ComObjectRootBase& owner, CharString& field,
                          BSTR newVal);
// A number property, run in the method frame under `method`: stored and
// handed out as it stands; the getter faults on a null out pointer.
template <class T>
HRESULT MvGetNumberProperty(const char* method, const T& field, T* pVal) {
    return MvMethodFrame(method, [&] {
        MvRequirePointer(pVal);
        *pVal = field;
    });
}
template <class T>
HRESULT MvPutNumberProperty(const char* method, T& field, T newVal) {
    return MvMethodFrame(method, [&] { field = newVal; });
}

class CMvEngUnit : public mv::ComObjectRoot<CMvEngUnit>,
                   public mv::DispatchImpl<IMvEngUnit>,
                   public mv::SupportErrorInfoImpl<IMvEngUnit>,
                   public IMvPersistStreamImpl<CMvEngUnit>,
                   public IMvPersistXMLImpl<CMvEngUnit>,
                   public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvEngUnit, mv::Via<IDispatch, IMvEngUnit>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvEngUnit;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvEngUnit; }

    // IMvEngUnit
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_Multiplier(DOUBLE* pVal) override;
    HRESULT put_Multiplier(DOUBLE newVal) override;
    HRESULT get_Offset(DOUBLE* pVal) override;
    HRESULT put_Offset(DOUBLE newVal) override;

    // IMvCalcName: the unit's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // No lock: callers that share a unit between threads serialise their
    // calls on it.
    CharString m_Name;
    CharString m_Description;
    DOUBLE m_Multiplier = 0.0;
    DOUBLE m_Offset = 0.0;
};
