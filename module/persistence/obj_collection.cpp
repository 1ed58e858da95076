#include "persistence/obj_collection.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

#include "frame/trace.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"
#include "storage.h"

namespace {

constexpr const char16_t* kProgId = u"Morva.Calc.ObjCollection.1";

HRESULT ReportError(std::u16string_view text) {
    return mv::ReportError(kProgId, IID_IMvObjCollection, text, E_FAIL);
}

// A call's result, or `missing` when it succeeded without handing out the
// object it was asked for. The object is read after the call has run.
template <class T>
HRESULT Got(HRESULT hr, const mv::ComPtr<T>& object, HRESULT missing) {
    return SUCCEEDED(hr) && !object ? missing : hr;
}

// The current ObjectName of a member; the failure of the query or the get
// when there is none.
HRESULT ReadObjectName(IUnknown* member, mv::Bstr* name) {
    mv::ComPtr<IMvCalcName> calcName;
    HRESULT hr = member->QueryInterface(IID_IMvCalcName, calcName.PutVoid());
    if (FAILED(hr)) return hr;
    if (!calcName) return E_NOINTERFACE;
    return calcName->get_ObjectName(name->Out());
}

}  // namespace

// ---------------------------------------------------------------------------
// The name index
// ---------------------------------------------------------------------------
std::size_t MvNameIndex::Locate(std::string_view key, std::size_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].item && (slots_[i].hash != hash || slots_[i].key != key)) i = (i + 1) & mask;
    return i;
}

IDispatch* MvNameIndex::Find(std::string_view key) const noexcept {
    if (used_ == 0) return nullptr;
    return slots_[Locate(key, std::hash<std::string_view>()(key))].item;
}

bool MvNameIndex::Insert(std::string key, IDispatch* item) {
    const std::size_t hash = std::hash<std::string_view>()(key);
    if (used_ != 0 && slots_[Locate(key, hash)].item) return false;
    if (2 * (used_ + 1) > slots_.size()) {
        // Twice the size (at least 16), every entry placed again.
        std::vector<Slot> grown(std::max<std::size_t>(16, 2 * slots_.size()));
        std::swap(slots_, grown);
        for (Slot& slot : grown) {
            if (!slot.item) continue;
            std::size_t i = slot.hash & (slots_.size() - 1);
            while (slots_[i].item) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = std::move(slot);
        }
    }
    Slot& slot = slots_[Locate(key, hash)];
    slot.hash = hash;
    slot.item = item;
    slot.key = std::move(key);
    ++used_;
    return true;
}

bool MvNameIndex::Erase(std::string_view key) noexcept {
    if (used_ == 0) return false;
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = Locate(key, std::hash<std::string_view>()(key));
    if (!slots_[hole].item) return false;
    // The entries after the hole, up to the next free slot, move back into
    // it when their home is not between the hole and where they are, so that
    // every run stays unbroken.
    for (std::size_t j = (hole + 1) & mask; slots_[j].item; j = (j + 1) & mask) {
        const std::size_t home = slots_[j].hash & mask;
        const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (stays) continue;
        slots_[hole] = std::move(slots_[j]);
        hole = j;
    }
    slots_[hole].item = nullptr;
    slots_[hole].key.clear();
    --used_;
    return true;
}

void MvNameIndex::Clear() noexcept {
    if (used_ == 0) return;
    for (Slot& slot : slots_) {
        slot.item = nullptr;
        slot.key.clear();
    }
    used_ = 0;
}

// ---------------------------------------------------------------------------
// The collection
// ---------------------------------------------------------------------------
std::string CMvObjCollection::MakeKey(BSTR name) {
    std::string key = mv::ToUtf8(name);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

uint64_t CMvObjCollection::NextGeneration() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

mv::ComPtr<IDispatch> CMvObjCollection::Lookup(BSTR name) {
    const std::string key = MakeKey(name);
    std::lock_guard<std::mutex> guard(m_mutex);
    return mv::ComPtr<IDispatch>(m_names.Find(key));
}

HRESULT CMvObjCollection::FinalConstruct() {
    m_items.reserve(16);
    return S_OK;
}

void CMvObjCollection::FinalRelease() {
    ReleaseAllItems();
}

HRESULT CMvObjCollection::Add(BSTR Name, IDispatch* pDisp) {
    return MvMethodFrameNoEnd("CMvObjCollection::Add", [&](bool& writeEnd) {
        if (!pDisp) return E_POINTER;
        std::string key = MakeKey(Name);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            // Room first, so a failed allocation leaves no name without its
            // member; doubling keeps a load of many members from copying the
            // list at every 16th. One look-up finds a duplicate and places a
            // new name.
            if (m_items.size() == m_items.capacity()) m_items.reserve(2 * m_items.capacity() + 16);
            if (m_names.Insert(std::move(key), pDisp)) {
                NameFilesChanged();
                m_items.push_back(pDisp);
                pDisp->AddRef();
                return S_OK;
            }
        }
        writeEnd = false;
        return ReportError(u"Add: Item is already in collection");
    });
}

HRESULT CMvObjCollection::AddObject(IDispatch* object) {
    return MvMethodFrameNoEnd("CMvObjCollection::AddObject", [&](bool&) {
        if (!object) return E_POINTER;
        mv::Bstr name;
        HRESULT hr = ReadObjectName(object, &name);
        if (FAILED(hr)) return hr;
        // A name already filed is the one refusal passed over: Add reports
        // it as E_FAIL. Any other failure (E_UNEXPECTED when the collection
        // cannot grow) goes back to the caller, so that a load never passes
        // for whole with members missing.
        hr = Add(name.get(), object);
        if (hr != E_FAIL) return hr;
        MvLogErrorA("CMvObjCollection::AddObject",
                    {"Add: Item is already in collection; object \"", name, "\" was not added"});
        return S_OK;
    });
}

HRESULT CMvObjCollection::get_Count(LONG* pCount) {
    return MvMethodFrameNoEnd("CMvObjCollection::get_Count", [&](bool&) {
        if (!pCount) return E_POINTER;
        std::lock_guard<std::mutex> guard(m_mutex);
        *pCount = static_cast<LONG>(m_items.size());
        return S_OK;
    });
}

HRESULT CMvObjCollection::Item(VARIANT Index, VARIANT* pItem) {
    return MvMethodFrameNoEnd("CMvObjCollection::Item", [&](bool& writeEnd) {
        if (!pItem) return E_POINTER;
        IDispatch* found = nullptr;
        HRESULT hr;
        switch (Index.vt) {
            case VT_I2:
                hr = ItemByIndex(Index.iVal, &found);
                break;
            case VT_I4:
                hr = ItemByIndex(Index.lVal, &found);
                break;
            case VT_BSTR:
                hr = ItemByName(Index.bstrVal, &found);
                break;
            case VT_I2 | VT_BYREF:
                hr = Index.piVal ? ItemByIndex(*Index.piVal, &found) : E_POINTER;
                break;
            case VT_I4 | VT_BYREF:
                hr = Index.plVal ? ItemByIndex(*Index.plVal, &found) : E_POINTER;
                break;
            case VT_BSTR | VT_BYREF:
                hr = Index.pbstrVal ? ItemByName(*Index.pbstrVal, &found) : E_POINTER;
                break;
            default:
                writeEnd = false;
                return ReportError(u"Item: Invalid data type for index parameter");
        }
        if (FAILED(hr)) return hr;
        VariantClear(pItem);
        pItem->vt = VT_DISPATCH;
        pItem->pdispVal = found;
        return S_OK;
    });
}

HRESULT CMvObjCollection::ItemByIndex(LONG Index, IDispatch** pItem) {
    return MvMethodFrameNoEnd("CMvObjCollection::ItemByIndex", [&](bool& writeEnd) {
        if (!pItem) return E_POINTER;
        *pItem = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            // Compared before any arithmetic, so that no index can overflow.
            if (Index >= 1 && static_cast<size_t>(Index) <= m_items.size()) {
                *pItem = m_items[static_cast<size_t>(Index) - 1];
                (*pItem)->AddRef();
                return S_OK;
            }
        }
        writeEnd = false;
        return ReportError(u"Item: Index out of range");
    });
}

HRESULT CMvObjCollection::ItemByName(BSTR Name, IDispatch** pItem) {
    return MvMethodFrameNoEnd("CMvObjCollection::ItemByName", [&](bool& writeEnd) {
        if (!pItem) return E_POINTER;
        *pItem = nullptr;
        std::string key = MakeKey(Name);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (IDispatch* found = m_names.Find(key)) {
                *pItem = found;
                (*pItem)->AddRef();
                return S_OK;
            }
        }
        writeEnd = false;
        return ReportError(u"Item: Named item not found");
    });
}

HRESULT CMvObjCollection::IndexFromName(BSTR Name, LONG* Index) {
    return MvMethodFrameNoEnd("CMvObjCollection::IndexFromName", [&](bool&) {
        if (!Index) return E_POINTER;
        *Index = 0;
        std::string key = MakeKey(Name);
        std::lock_guard<std::mutex> guard(m_mutex);
        IDispatch* found = m_names.Find(key);
        if (!found) return E_FAIL;
        auto slot = std::find(m_items.begin(), m_items.end(), found);
        if (slot == m_items.end()) return E_FAIL;
        *Index = static_cast<LONG>(slot - m_items.begin()) + 1;
        return S_OK;
    });
}

HRESULT CMvObjCollection::Snapshot(std::vector<mv::ComPtr<IDispatch>>* members) {
    if (!members) return E_POINTER;
    members->clear();
    std::vector<mv::ComPtr<IDispatch>> taken;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        taken.assign(m_items.begin(), m_items.end());
    }
    *members = std::move(taken);
    return S_OK;
}

HRESULT CMvObjCollection::ListNames(VARIANT* NameList) {
    return MvMethodFrameNoEnd("CMvObjCollection::ListNames", [&](bool&) {
        if (!NameList) return E_POINTER;
        VariantClear(NameList);
        std::vector<mv::ComPtr<IDispatch>> members;
        Snapshot(&members);
        if (members.empty()) return S_OK;
        SAFEARRAY* names = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(members.size()));
        if (!names) return S_OK;
        HRESULT hr = S_OK;
        for (size_t i = 0; i < members.size(); ++i) {
            mv::Bstr name;
            // A member without a name it can report leaves its element empty.
            if (!members[i] || FAILED(ReadObjectName(members[i].get(), &name))) continue;
            mv::Variant element;
            element.vt = VT_BSTR;
            element.bstrVal = name.Detach();
            LONG index = static_cast<LONG>(i);
            hr = SafeArrayPutElement(names, &index, &element);
        }
        NameList->vt = VT_ARRAY | VT_VARIANT;
        NameList->parray = names;
        return hr;
    });
}

HRESULT CMvObjCollection::Remove(BSTR Name) {
    return MvMethodFrameNoEnd("CMvObjCollection::Remove", [&](bool& writeEnd) {
        std::string key = MakeKey(Name);
        mv::ComPtr<IDispatch> released;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (IDispatch* member = m_names.Find(key)) {
                m_names.Erase(key);
                NameFilesChanged();
                auto slot = std::find(m_items.begin(), m_items.end(), member);
                if (slot != m_items.end()) {
                    released.Attach(*slot);  // the slot's reference, released below
                    m_items.erase(slot);
                }
                return S_OK;
            }
        }
        writeEnd = false;
        return ReportError(u"Remove: Named item not found");
    });
}

void CMvObjCollection::ReleaseAllItems() {
    std::vector<IDispatch*> items;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        items.swap(m_items);
        m_names.Clear();
        NameFilesChanged();
    }
    for (IDispatch* member : items)
        if (member) member->Release();
}

HRESULT CMvObjCollection::RemoveAll() {
    return MvMethodFrameNoEnd("CMvObjCollection::RemoveAll", [&](bool&) {
        ReleaseAllItems();
        return S_OK;
    });
}

HRESULT CMvObjCollection::Rename(BSTR OldName, BSTR NewName) {
    return MvMethodFrameNoEnd("CMvObjCollection::Rename", [&](bool& writeEnd) {
        const std::string newKey = MakeKey(NewName);
        const std::string oldKey = MakeKey(OldName);
        bool newUsed;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            newUsed = m_names.Find(newKey) != nullptr;
        }
        if (newUsed) {
            writeEnd = false;
            return ReportError(u"Rename: NewName already used");
        }
        mv::ComPtr<IDispatch> member;
        if (HRESULT hr = ItemByName(OldName, member.Put()); FAILED(hr)) {
            writeEnd = false;
            return hr;
        }
        mv::ComPtr<IMvCalcName> calcName;
        HRESULT hr = member->QueryInterface(IID_IMvCalcName, calcName.PutVoid());
        if (FAILED(hr)) return hr;
        if (!calcName) return E_NOINTERFACE;
        mv::Bstr previous;
        hr = calcName->get_ObjectName(previous.Out());
        if (FAILED(hr)) return hr;
        hr = calcName->put_ObjectName(NewName);
        if (hr != S_OK) return hr;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            // Another thread may have removed the member or taken the new name
            // while the member was being renamed.
            if (m_names.Find(oldKey) == member.get() && !m_names.Find(newKey)) {
                m_names.Erase(oldKey);
                m_names.Insert(newKey, member.get());
                NameFilesChanged();
                return S_OK;
            }
        }
        // The member goes back to the name it is filed under.
        (void)calcName->put_ObjectName(previous.get());
        writeEnd = false;
        return ReportError(u"Rename: NewName already used");
    });
}

HRESULT CMvObjCollection::get__NewEnum(IUnknown** ppEnum) {
    return MvMethodFrameNoEnd("CMvObjCollection::get__NewEnum", [&](bool&) {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        std::vector<mv::ComPtr<IDispatch>> members;
        Snapshot(&members);
        std::vector<VARIANT> items(members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            items[i].vt = VT_DISPATCH;
            items[i].pdispVal = members[i].get();  // borrowed from the snapshot
        }
        IEnumVARIANT* enumerator = nullptr;
        HRESULT hr =
            mv::CreateEnumVariant(items.data(), static_cast<ULONG>(items.size()), &enumerator);
        if (FAILED(hr)) return hr;
        *ppEnum = enumerator;
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// IPersistStream
// ---------------------------------------------------------------------------
HRESULT CMvObjCollection::GetClassID(CLSID* pClassID) {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_MvObjCollection;
    return S_OK;
}

HRESULT CMvObjCollection::IsDirty() {
    return S_OK;
}

HRESULT CMvObjCollection::GetSizeMax(ULARGE_INTEGER*) {
    return E_NOTIMPL;
}

namespace {

HRESULT WriteFlag(IStream* stream, BYTE flag) {
    ULONG written = 0;
    HRESULT hr = stream->Write(&flag, 1, &written);
    if (SUCCEEDED(hr) && written != 1) hr = STG_E_WRITEFAULT;
    return hr;
}

// One flag byte; a stream that ends where the byte should be fails with
// E_FAIL, so that no member is read from missing data.
HRESULT ReadFlag(IStream* stream, BYTE* flag) {
    ULONG read = 0;
    HRESULT hr = stream->Read(flag, 1, &read);
    if (FAILED(hr)) return hr;
    return read == 1 ? S_OK : E_FAIL;
}

}  // namespace

HRESULT CMvObjCollection::Save(IStream* pStm, BOOL) {
    static constexpr const char* kName = "CMvObjCollection::Save";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        if (!pStm) return E_POINTER;
        std::vector<mv::ComPtr<IDispatch>> members;
        Snapshot(&members);
        for (const auto& member : members) {
            if (!member) continue;
            mv::ComPtr<IPersistStream> persist;
            if (FAILED(member->QueryInterface(IID_IPersistStream, persist.PutVoid())) || !persist) {
                MvLogFailure(kName, E_FAIL,
                             "QueryInterface : Object does not implement IPersistStream "
                             "persistency");
                continue;
            }
            HRESULT hr = WriteFlag(pStm, 0x01);
            if (FAILED(hr)) {
                MvLogFailure(kName, E_FAIL,
                             "pStm->Write : Failed to write object_follows flag to stream!");
                writeEnd = false;
                return hr;
            }
            hr = OleSaveToStream(persist.get(), pStm);
            if (FAILED(hr)) {
                MvLogFailure(kName, E_FAIL, "OleSaveToStream : Failed to save object to stream!");
                writeEnd = false;
                return hr;
            }
        }
        HRESULT hr = WriteFlag(pStm, 0x00);
        if (FAILED(hr))
            MvLogFailure(kName, hr, "pStm->Write : Failed to write object_follows flag to stream!");
        return hr;
    });
}

HRESULT CMvObjCollection::Load(IStream* pStm) {
    static constexpr const char* kName = "CMvObjCollection::Load";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        if (!pStm) return E_POINTER;
        // A collection whose members are collections loads recursively:
        // damaged or crafted data must not run the stack out.
        MvLoadNestingScope nesting;
        if (nesting.TooDeep()) return E_FAIL;
        ReleaseAllItems();
        // The members' records are many small reads: read ahead, unless an
        // enclosing load already does.
        std::optional<MvReadAheadStream> ahead;
        if (!dynamic_cast<MvReadAheadStream*>(pStm)) pStm = ahead.emplace(pStm).get();
        BYTE flag = 0;
        HRESULT hr = ReadFlag(pStm, &flag);
        if (FAILED(hr)) {
            MvLogFailure(kName, hr,
                         "pStm->Read: Failed to read lead object_follows flag from stream!");
            writeEnd = false;
            return hr;
        }
        while (flag != 0) {
            mv::ComPtr<IDispatch> object;
            hr = Got(OleLoadFromStream(pStm, IID_IDispatch, object.PutVoid()), object,
                     E_NOINTERFACE);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr,
                             "OleLoadFromStream : Failed to load next collection object from "
                             "stream!");
                return hr;
            }
            hr = AddObject(object.get());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "AddObject : Unable to add object to collection!");
                return hr;
            }
            object.Reset();
            hr = ReadFlag(pStm, &flag);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr,
                             "pStm->Read : Failed to read next lead object_follows flag from "
                             "stream!");
                return hr;
            }
        }
        return ahead ? ahead->GiveBack() : S_OK;
    });
}

// ---------------------------------------------------------------------------
// IMvPersistXML
// ---------------------------------------------------------------------------
HRESULT CMvObjCollection::SaveXML(IXMLDOMNode* node) {
    static constexpr const char* kName = "CMvObjCollection::SaveXML";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        if (!node) return E_INVALIDARG;
        mv::ComPtr<IXMLDOMDocument> document;
        HRESULT hr = node->get_ownerDocument(document.Put());
        if (FAILED(hr) || !document) {
            // A document node has no owner document: it cannot make the
            // member elements, and nothing is written.
            if (SUCCEEDED(hr)) hr = E_INVALIDARG;
            MvLogFailure(kName, hr, "get_ownerDocument : Fialed to get IXMLDOMDocument interface.");
            writeEnd = false;
            return hr;
        }
        std::vector<mv::ComPtr<IDispatch>> members;
        Snapshot(&members);
        hr = S_OK;
        for (const auto& member : members) {
            if (!member) continue;
            mv::ComPtr<IMvPersistXML> persistXml;
            hr = Got(member->QueryInterface(IID_IMvPersistXML, persistXml.PutVoid()), persistXml,
                     E_NOINTERFACE);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr,
                             "QueryInterface : Object does not implement IMvPersistXML "
                             "persistency");
                continue;
            }
            mv::ComPtr<IPersistStream> persist;
            hr = Got(member->QueryInterface(IID_IPersistStream, persist.PutVoid()), persist,
                     E_NOINTERFACE);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "QueryInterface : Unable to get IPersistStream interface.");
                break;
            }
            CLSID clsid{};
            hr = persist->GetClassID(&clsid);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "GetCalssID : Unable to get calss id.");
                break;
            }
            mv::Bstr nodeName;
            hr = GetNodeName(clsid, nodeName.Out());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "GetNodeName : Failed to get node name from dispid.");
                break;
            }
            mv::Variant type(static_cast<LONG>(NODE_ELEMENT));
            mv::ComPtr<IXMLDOMNode> element;
            hr = Got(document->createNode(type, nodeName.get(), nullptr, element.Put()), element,
                     E_FAIL);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "createNode : Fialed to create element type node.");
                break;
            }
            mv::ComPtr<IXMLDOMNode> appended;
            hr = Got(node->appendChild(element.get(), appended.Put()), appended, E_FAIL);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "appendChild : Fialed to append entity node.");
                break;
            }
            hr = persistXml->SaveXML(appended.get());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "savexml : Failed to save to xml document modle.");
                break;
            }
        }
        return hr;
    });
}

HRESULT CMvObjCollection::LoadXML(IXMLDOMNode* node) {
    static constexpr const char* kName = "CMvObjCollection::LoadXML";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        if (!node) return E_INVALIDARG;
        ReleaseAllItems();
        mv::ComPtr<IXMLDOMNodeList> children;
        HRESULT hr = Got(node->get_childNodes(children.Put()), children, E_FAIL);
        if (FAILED(hr)) {
            MvLogFailure(kName, hr, "get_childNodes : Failed on get child Nodes list!");
            writeEnd = false;
            return hr;
        }
        LONG length = 0;
        hr = children->get_length(&length);
        if (FAILED(hr)) {
            MvLogFailure(kName, hr, " get_length : Failed on get list length!");
            writeEnd = false;
            return hr;
        }
        hr = S_OK;
        for (LONG i = 0; i < length; ++i) {
            mv::ComPtr<IXMLDOMNode> child;
            hr = Got(children->get_item(i, child.Put()), child, E_FAIL);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "item : Failed on get child node.");
                break;
            }
            DOMNodeType type = NODE_INVALID;
            hr = child->get_nodeType(&type);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "get_nodeType : Failed on get child node type.");
                break;
            }
            if (type != NODE_ELEMENT) continue;
            mv::Bstr name;
            hr = child->get_nodeName(name.Out());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "get_nodeName : Failed on get child node name.");
                break;
            }
            CLSID clsid{};
            hr = GetID(name.get() ? name.get() : u"", &clsid);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "GetID : Failed to get dispid from node name.");
                break;
            }
            mv::ComPtr<IDispatch> object;
            hr = Got(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      object.PutVoid()),
                     object, E_NOINTERFACE);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "CoCreateInstance : Failed to create instance.");
                break;
            }
            mv::ComPtr<IMvPersistXML> persistXml;
            hr = Got(object->QueryInterface(IID_IMvPersistXML, persistXml.PutVoid()), persistXml,
                     E_NOINTERFACE);
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "QueryInterface : Unable to get IMvPersistXML interface.");
                break;
            }
            hr = persistXml->LoadXML(child.get());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "pPersist->LoadXML : Unable to load XML.");
                break;
            }
            hr = AddObject(object.get());
            if (FAILED(hr)) {
                MvLogFailure(kName, hr, "AddObject : Unable to add object to collection!");
                break;
            }
        }
        return hr;
    });
}

HRESULT MvObjCollection_Snapshot(IMvObjCollection* collection,
                                 std::vector<mv::ComPtr<IDispatch>>* members) {
    if (!members) return E_POINTER;
    members->clear();
    if (!collection) return E_POINTER;
    if (auto* own = dynamic_cast<CMvObjCollection*>(collection)) return own->Snapshot(members);
    LONG count = 0;
    HRESULT hr = collection->get_Count(&count);
    if (FAILED(hr)) return hr;
    for (LONG i = 1; i <= count; ++i) {
        mv::ComPtr<IDispatch> member;
        hr = collection->ItemByIndex(i, member.Put());
        if (FAILED(hr)) return hr;
        members->push_back(std::move(member));
    }
    return S_OK;
}
