// The Global Interface Table: interfaces registered under 32-bit cookies and
// handed to any thread.
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "apartment.h"
#include "com.h"

namespace mv::detail {
namespace {

struct Entry {
    IUnknown* obj = nullptr;             // held directly (registered outside an apartment)
    std::shared_ptr<ApartmentRef> home;  // held by the registering apartment
};

class Table final : public IGlobalInterfaceTable {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
            *ppv = static_cast<IGlobalInterfaceTable*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One table for the process's life.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override {
        if (!pdwCookie) return E_INVALIDARG;
        *pdwCookie = 0;
        if (!pUnk) return E_INVALIDARG;
        IUnknown* p = nullptr;
        HRESULT hr = pUnk->QueryInterface(riid, reinterpret_cast<void**>(&p));
        if (FAILED(hr)) return hr;
        Entry e;
        try {
            e.home = HoldOnCurrentApartment(p);
        } catch (const std::bad_alloc&) {
            p->Release();
            return E_OUTOFMEMORY;
        }
        if (e.home) {
            p->Release();
        } else {
            e.obj = p;
        }
        std::unique_lock lock(m_);
        do {
            ++next_;
        } while (next_ == 0 || entries_.count(next_));
        try {
            entries_.emplace(next_, std::move(e));  // e stays whole when it fails
        } catch (const std::bad_alloc&) {
            lock.unlock();
            if (e.obj) e.obj->Release();
            return E_OUTOFMEMORY;  // e.home lets go of its reference on its own thread
        }
        *pdwCookie = next_;
        return S_OK;
    }

    HRESULT RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        Entry e;
        {
            std::lock_guard lock(m_);
            auto it = entries_.find(dwCookie);
            if (it == entries_.end()) return E_INVALIDARG;
            e = std::move(it->second);
            entries_.erase(it);
        }
        if (e.obj) e.obj->Release();
        return S_OK;  // e.home lets go of its reference on its own thread
    }

    HRESULT GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        *ppv = nullptr;
        Entry e;
        {
            std::lock_guard lock(m_);
            auto it = entries_.find(dwCookie);
            if (it == entries_.end()) return E_INVALIDARG;
            e = it->second;
            if (e.obj) e.obj->AddRef();
        }
        if (e.obj) {
            HRESULT hr = e.obj->QueryInterface(riid, ppv);
            e.obj->Release();
            return hr;
        }
        if (IUnknown* local = ObjectIfLocal(*e.home)) return local->QueryInterface(riid, ppv);
        return mv::CallGuarded([&] { return CreateProxy(e.home, riid, ppv); });
    }

private:
    std::mutex m_;
    std::map<DWORD, Entry> entries_;
    DWORD next_ = 0;
};

}  // namespace

IUnknown* GlobalInterfaceTable() {
    static Table* table = new Table;  // never destroyed: exit handlers may still use it
    return table;
}

}  // namespace mv::detail
