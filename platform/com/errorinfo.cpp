// Error information: one slot per thread holding the last error object that
// a failing call set; reading it hands it over and empties the slot.
#include <mutex>
#include <utility>

#include "com.h"
#include "sys/thread_exit.h"

namespace {

class ErrorInfo : public mv::ComObjectRoot<ErrorInfo>, public IErrorInfo, public ICreateErrorInfo {
public:
    using InterfaceMap = mv::Interfaces<IErrorInfo, ICreateErrorInfo>;

    HRESULT GetGUID(GUID* pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        std::lock_guard g(mutex_);
        *pGUID = guid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR* p) override { return Copy(source_, p); }
    HRESULT GetDescription(BSTR* p) override { return Copy(description_, p); }
    HRESULT GetHelpFile(BSTR* p) override { return Copy(helpFile_, p); }
    HRESULT GetHelpContext(DWORD* p) override {
        if (!p) return E_INVALIDARG;
        std::lock_guard g(mutex_);
        *p = helpContext_;
        return S_OK;
    }

    HRESULT SetGUID(REFGUID rguid) override {
        std::lock_guard g(mutex_);
        guid_ = rguid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR s) override { return Assign(&source_, s); }
    HRESULT SetDescription(LPOLESTR s) override { return Assign(&description_, s); }
    HRESULT SetHelpFile(LPOLESTR s) override { return Assign(&helpFile_, s); }
    HRESULT SetHelpContext(DWORD c) override {
        std::lock_guard g(mutex_);
        helpContext_ = c;
        return S_OK;
    }

private:
    HRESULT Copy(const std::u16string& from, BSTR* to) {
        if (!to) return E_INVALIDARG;
        std::lock_guard g(mutex_);
        *to =
            from.empty() ? nullptr : SysAllocStringLen(from.data(), static_cast<UINT>(from.size()));
        return from.empty() || *to ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Assign(std::u16string* to, const OLECHAR* from) {
        try {
            std::u16string text = from ? std::u16string(from) : std::u16string();
            std::lock_guard g(mutex_);
            to->swap(text);
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    std::mutex mutex_;
    GUID guid_ = GUID_NULL;
    std::u16string source_;
    std::u16string description_;
    std::u16string helpFile_;
    DWORD helpContext_ = 0;
};

// The slot is a plain pointer, so that reading it costs no set-up check:
// almost every object call clears it, and mostly finds it empty already. The
// reference it holds is let go at the thread's end through a key whose value
// a thread sets once it stores an error object.
thread_local IErrorInfo* t_errorInfo = nullptr;

void ReleaseAtThreadExit(void* slot) noexcept {
    if (IErrorInfo* info = std::exchange(*static_cast<IErrorInfo**>(slot), nullptr))
        info->Release();
}

mv::ThreadExitKey& ErrorInfoAtExit() noexcept {
    static mv::ThreadExitKey key(&ReleaseAtThreadExit);
    return key;
}

}  // namespace

extern "C" {

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    return mv::CreateComObject<ErrorInfo>(nullptr, IID_ICreateErrorInfo,
                                          reinterpret_cast<void**>(pperrinfo));
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    if (dwReserved != 0) return E_INVALIDARG;
    if (!perrinfo && !t_errorInfo) return S_OK;  // nothing to clear
    if (perrinfo) {
        // Kept only when it can be let go at the thread's end.
        if (!ErrorInfoAtExit().Set(&t_errorInfo)) return E_OUTOFMEMORY;
        perrinfo->AddRef();
    }
    // Released last: the old object's release may call back into this slot.
    IErrorInfo* old = std::exchange(t_errorInfo, perrinfo);
    if (old) old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = nullptr;
    if (dwReserved != 0) return E_INVALIDARG;
    *pperrinfo = std::exchange(t_errorInfo, nullptr);
    return *pperrinfo ? S_OK : S_FALSE;
}

}  // extern "C"

namespace mv {

HRESULT ReportError(const char16_t* progId, REFIID iid, std::u16string_view text, HRESULT hr) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Put()))) return hr;
    // An error object is kept whole or not at all.
    try {
        std::u16string description(text);
        if (FAILED(create->SetGUID(iid)) ||
            FAILED(create->SetSource(const_cast<LPOLESTR>(progId))) ||
            FAILED(create->SetDescription(description.data())))
            return hr;
    } catch (const std::bad_alloc&) {
        return hr;
    }
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.get());
    return hr;
}

}  // namespace mv
