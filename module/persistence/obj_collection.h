// CMvObjCollection: the module's named collection of automation objects, the
// child list of every class that owns children. Members keep their insertion
// order and are also filed under a key (the name in UTF-8, ASCII letters
// upper-cased), so lookups by name ignore letter case. The collection holds
// one reference per slot.
//
// One collection may be shared by several threads. Its state is guarded by an
// internal mutex that is held only around its own bookkeeping: calls into a
// member (ObjectName get and put, persistence) and the release of member
// references happen outside it. Walks over the members (ListNames, _NewEnum,
// the stream and XML saves) work on a counted snapshot.
//
// Persistence: a binary stream (per member the byte 01, its class identifier
// and its own stream; the byte 00 ends the list), an XML form (one element
// per member, named after its class) and a document file holding that stream
// as "L".
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "comobj.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvPersistXML.h"
#include "persistence/persist_file.h"

// A collection's name index: key -> member, no reference. Open addressing
// with linear probing over a table of a power-of-two size kept at most half
// full; each slot holds its key and the key's hash beside the member, so that
// a look-up in a large collection reads about one slot and compares keys only
// when the hashes agree.
class MvNameIndex {
public:
    // The member filed under `key`, or null.
    IDispatch* Find(std::string_view key) const noexcept;
    // Files `item` (not null) under `key`; false, changing nothing, when the
    // key is taken. Throws std::bad_alloc when the table cannot grow.
    bool Insert(std::string key, IDispatch* item);
    // Takes the key out; false when it is not filed.
    bool Erase(std::string_view key) noexcept;
    void Clear() noexcept;
    std::size_t Size() const noexcept { return used_; }

private:
    struct Slot {
        std::size_t hash = 0;
        IDispatch* item = nullptr;  // null: the slot is free
        std::string key;
    };
    // The slot of `key`, or the free slot that ends its run.
    std::size_t Locate(std::string_view key, std::size_t hash) const noexcept;
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

class CMvObjCollection : public mv::ComObjectRoot<CMvObjCollection>,
                         public mv::DispatchImpl<IMvObjCollection>,
                         public mv::SupportErrorInfoImpl<IMvObjCollection>,
                         public IPersistStream,
                         public IMvPersistXML,
                         public IMvPersistFileImpl<CMvObjCollection, 'L'> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvObjCollection, mv::Via<IDispatch, IMvObjCollection>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvPersistFile>;
    static constexpr const char* kMvClassName = "CMvObjCollection";

    CMvObjCollection() = default;
    ~CMvObjCollection() override = default;

    HRESULT FinalConstruct();
    void FinalRelease();

    // IMvObjCollection
    HRESULT Add(BSTR Name, IDispatch* pDisp) override;
    HRESULT get_Count(LONG* pCount) override;
    HRESULT Item(VARIANT Index, VARIANT* pItem) override;
    HRESULT get__NewEnum(IUnknown** ppEnum) override;
    HRESULT Remove(BSTR Name) override;
    HRESULT RemoveAll() override;
    HRESULT ItemByIndex(LONG Index, IDispatch** pItem) override;
    HRESULT ItemByName(BSTR Name, IDispatch** pItem) override;
    HRESULT IndexFromName(BSTR Name, LONG* Index) override;
    HRESULT ListNames(VARIANT* NameList) override;
    HRESULT Rename(BSTR OldName, BSTR NewName) override;

    // IPersistStream
    HRESULT GetClassID(CLSID* pClassID) override;
    HRESULT IsDirty() override;
    HRESULT Load(IStream* pStm) override;
    HRESULT Save(IStream* pStm, BOOL fClearDirty) override;
    HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) override;

    // IMvPersistXML
    HRESULT LoadXML(IXMLDOMNode* node) override;
    HRESULT SaveXML(IXMLDOMNode* node) override;

    // Files `object` under the name it reports through IMvCalcName. An object
    // without IMvCalcName, or whose name cannot be read, is not added and the
    // failure is returned. An object whose name is already filed is left out
    // (and released by the caller) with S_OK; an "Errors" line names it. Any
    // other failure of Add is returned.
    HRESULT AddObject(IDispatch* object);

    // Empties the collection, releasing every member from the first to the
    // last.
    void ReleaseAllItems();

    // The members in position order, each with a reference of its own.
    HRESULT Snapshot(std::vector<mv::ComPtr<IDispatch>>* members);

    // The key under which a name is filed: UTF-8, ASCII letters upper-cased;
    // a null name gives the empty key.
    static std::string MakeKey(BSTR name);

    // A number that moves on whenever a name is filed, taken out or renamed,
    // and that no other collection of the process ever has: what a caller
    // found by name stays what ItemByName gives while the number stays the
    // same. Read it before the look-ups it is to cover.
    uint64_t Generation() const { return m_generation.load(std::memory_order_acquire); }

    // The member filed under `name` (null when there is none), found as
    // ItemByName finds it but without error information or trace lines.
    mv::ComPtr<IDispatch> Lookup(BSTR name);

private:
    static uint64_t NextGeneration();
    void NameFilesChanged() { m_generation.store(NextGeneration(), std::memory_order_release); }

    std::atomic<uint64_t> m_generation{NextGeneration()};
    std::mutex m_mutex;
    std::vector<IDispatch*> m_items;  // one reference each
    MvNameIndex m_names;              // key -> member
};

// The members of any collection in position order, each with a reference of
// its own: a snapshot taken under the collection's own mutex for this class,
// else gathered through Count and ItemByIndex. The walk for code that goes
// over a collection that another thread may change.
HRESULT MvObjCollection_Snapshot(IMvObjCollection* collection,
                                 std::vector<mv::ComPtr<IDispatch>>* members);

// Creates a new T inside the module, sets its Name and files it in
// `collection` under that name. On success *out (which must not be null)
// receives the new member's Itf with a reference of its own beside the
// collection's. A failed creation, or a name the collection refuses (its
// failure and error information come back unchanged), leaves *out null and
// the collection as it was.
template <class T, class Itf>
HRESULT MvObjCollection_AddNew(IMvObjCollection* collection, BSTR name, Itf** out) {
    *out = nullptr;
    mv::ComPtr<mv::ComObject<T>> child;
    if (HRESULT hr = mv::MakeComObject(&child); FAILED(hr)) return hr;
    Itf* created = child.get();
    (void)created->put_Name(name);
    if (HRESULT hr = collection->Add(name, created); FAILED(hr)) return hr;
    created->AddRef();
    *out = created;
    return S_OK;
}

// The member filed under `name`, asked for Itf into *out (which must not be
// null). An unknown name gives the collection's failure and a null *out.
template <class Itf>
HRESULT MvObjCollection_GetAs(IMvObjCollection* collection, BSTR name, Itf** out) {
    *out = nullptr;
    mv::ComPtr<IDispatch> member;
    if (HRESULT hr = collection->ItemByName(name, member.Put()); FAILED(hr)) return hr;
    if (!member) return E_NOINTERFACE;
    return member->QueryInterface(mv::IidOf<Itf>::value, reinterpret_cast<void**>(out));
}

// A new, empty collection made inside the module, for an owner's child list.
inline HRESULT MvObjCollection_Create(mv::ComPtr<IMvObjCollection>* out) {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    if (HRESULT hr = mv::MakeComObject(&collection); FAILED(hr)) return hr;
    *out = static_cast<IMvObjCollection*>(collection.get());
    return S_OK;
}
