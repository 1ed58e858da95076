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

#include <cstring>

#include "com.h"
#include "frame/trace.h"
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

// An IStream over another that reads it ahead in pieces, for a load that
// takes many small reads: each read is then a copy out of the piece. Before
// anything other than a read reaches the stream, and when the reader ends,
// the stream is moved back to just after the bytes taken, so that it stands
// where it would have without the reader. A stream that cannot tell its
// position is read as it is (get() gives the stream itself). Lives on the
// stack of the load: nothing may keep it after the load.
class MvReadAheadStream final : public IStream {
public:
    explicit MvReadAheadStream(IStream* stream);
    ~MvReadAheadStream();
    MvReadAheadStream(const MvReadAheadStream&) = delete;
    MvReadAheadStream& operator=(const MvReadAheadStream&) = delete;

    // The stream for the load to read.
    IStream* get() { return seekable_ ? this : stream_; }
    // Moves the stream back to just after the bytes taken; the move's
    // failure, when it fails.
    HRESULT GiveBack();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_; }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pv && cb <= end_ - at_) {  // the common case, inlined for the loader
            std::memcpy(pv, piece_ + at_, cb);
            at_ += cb;
            if (pcbRead) *pcbRead = cb;
            return S_OK;
        }
        return ReadMore(pv, cb, pcbRead);
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    HRESULT SetSize(ULARGE_INTEGER size) override;
    HRESULT CopyTo(IStream* to, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                   ULARGE_INTEGER* written) override;
    HRESULT Commit(DWORD flags) override;
    HRESULT Revert() override;
    HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override;
    HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override;
    HRESULT Stat(STATSTG* stat, DWORD flag) override;
    HRESULT Clone(IStream** clone) override;

private:
    HRESULT ReadMore(void* pv, ULONG cb, ULONG* pcbRead);

    static constexpr ULONG kPiece = 4096;
    IStream* stream_;
    bool seekable_ = false;
    ULONG refs_ = 1;
    ULONG at_ = 0, end_ = 0;  // the piece's bytes not taken yet: [at_, end_)
    BYTE piece_[kPiece];
};

// IPersistStream over a class's property map. T provides
//   static const PropertyMapEntry* GetPropertyMap();
//   static const CLSID& GetObjectCLSID();
// and GetUnknown() (from mv::ComObjectRoot), whose interface is the class's
// dual interface. The members take no lock and write no trace lines; what a
// load or save throws becomes its code (MvGuardedCall).
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
        return MvGuardedCall(
            [&] { return MvPersistStream_Load(pStm, static_cast<T*>(this)->GetUnknown()); });
    }
    HRESULT Save(IStream* pStm, BOOL /*fClearDirty*/) override {
        return MvGuardedCall([&] {
            return MvPersistStream_Save(pStm, T::GetPropertyMap(),
                                        static_cast<T*>(this)->GetUnknown());
        });
    }
    HRESULT GetSizeMax(ULARGE_INTEGER* /*pcbSize*/) override { return E_NOTIMPL; }
};
