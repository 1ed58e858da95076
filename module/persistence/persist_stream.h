// The binary record stream of the persistable classes and the VARIANT stream
// form it is made of.
//
// An object's record stream is a run of records, each a 32-bit DISPID (little
// endian) followed by its payload, closed by MV_DISPID_NULL (30 F8 FF FF).
// A DISPID up to 2000 carries one value in the VARIANT stream form; a DISPID
// above 2000 carries the child collection's own stream. Every value goes
// through the object's IDispatch; the writer follows the class's property
// map, the reader takes the records as they come.
#pragma once

#include "com.h"
#include "persistence/property_map.h"

// The largest text payload (byte count, terminator included) a reader
// accepts; a writer refuses longer texts so that no stream is written that
// can never be read again.
constexpr ULONG kMvMaxTextStreamBytes = 0x100000;
// How many record streams a load may have open inside one another on one
// thread (an object value holding an object, a member's child collection
// holding members, ...). Real documents nest a handful of levels; deeper
// nesting comes only from damaged or crafted data, which would otherwise
// recurse until the stack runs out. The load that goes deeper fails.
constexpr int kMvMaxLoadNesting = 64;

// Counts one load open on this thread for as long as it lives. Every reader
// that may load further objects from its stream (a record stream, a
// collection stream) holds one and fails when TooDeep().
class MvLoadNestingScope {
public:
    MvLoadNestingScope();
    ~MvLoadNestingScope();
    MvLoadNestingScope(const MvLoadNestingScope&) = delete;
    MvLoadNestingScope& operator=(const MvLoadNestingScope&) = delete;
    bool TooDeep() const;
};

// Writes one value: the 16-bit VARTYPE tag, then its payload. Numbers are
// written raw; objects as their class identifier and their own stream (16
// zero bytes for a null reference); every other type as counted UTF-16 text.
// VT_NULL and other values without a text form fail after the tag.
HRESULT MvVariant_WriteToStream(IStream* stream, const VARIANT& value);
// Reads one value written by MvVariant_WriteToStream into *value (cleared
// first). A stream that ends inside the value fails with E_FAIL; a nested
// object whose class is not registered fails with REGDB_E_CLASSNOTREG (the
// null class identifier gives a null reference).
HRESULT MvVariant_ReadFromStream(IStream* stream, VARIANT* value);

// Writes the object's record stream at the stream's position, rows in map
// order. Failures are logged and returned; records already written stay.
HRESULT MvPersistStream_Save(IStream* stream, const PropertyMapEntry* map, IUnknown* object);
// Reads records up to and including the end marker and applies each to the
// object. A property the object does not know is logged and skipped; a
// stream that ends before the end marker, or nests objects deeper than
// kMvMaxLoadNesting, fails with E_FAIL.
HRESULT MvPersistStream_Load(IStream* stream, IUnknown* object);

// IPersistStream over a class's property map. T provides
//   static const PropertyMapEntry* GetPropertyMap();
//   static const CLSID& GetObjectCLSID();
// and GetUnknown() (from mv::ComObjectRoot), whose interface is the class's
// dual interface. The members take no lock and write no trace lines.
template <class T>
class IMvPersistStreamImpl : public IPersistStream {
public:
    HRESULT GetClassID(CLSID* pClassID) override {
        if (!pClassID) return E_POINTER;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }
    HRESULT IsDirty() override { return S_OK; }
    HRESULT Load(IStream* pStm) override {
        return MvPersistStream_Load(pStm, static_cast<T*>(this)->GetUnknown());
    }
    HRESULT Save(IStream* pStm, BOOL /*fClearDirty*/) override {
        return MvPersistStream_Save(pStm, T::GetPropertyMap(), static_cast<T*>(this)->GetUnknown());
    }
    HRESULT GetSizeMax(ULARGE_INTEGER* /*pcbSize*/) override { return E_NOTIMPL; }
};
