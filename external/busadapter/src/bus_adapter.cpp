// The message-bus adapter stand-in. The adapter answers its header and send
// interfaces, and IErrorInfo after a failed publication, as the settings of
// the moment say, so its QueryInterface is written out here.
#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>

#include "bus_adapter_sim.h"

namespace busadapter {

namespace {

constexpr std::size_t kSteps = 7;
constexpr std::size_t kCalls = 6;

struct State {
    std::mutex m;
    std::array<std::atomic<HRESULT>, kSteps> failures{};
    std::array<std::atomic<int>, kSteps> failuresLeft{};  // below 0: every call
    std::array<std::atomic<int>, kCalls> calls{};
    std::atomic<int> alive{0};
    std::atomic<int> receivers{0};
    std::atomic<int> busy{0};
    std::atomic<int> busyAtStop{0};
    std::atomic<int> callsAfterStop{0};
    // Guarded by m.
    ErrorInfo errorInfo = ErrorInfo::None;
    std::u16string description;
    std::u16string header = u"<BPDHeader/>";
    bool receiverAnswered = false;
    std::u16string propertiesFile;
    std::vector<Publication> publications;
    DWORD cookie = 0;
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

// The failure of one call of the step, counting down a limited failure.
HRESULT Failure(Step step) {
    const std::size_t i = static_cast<std::size_t>(step);
    int left = S().failuresLeft[i].load();
    while (left > 0 && !S().failuresLeft[i].compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) return S_OK;
    return S().failures[i].load();
}

void Count(Call call) {
    ++S().calls[static_cast<std::size_t>(call)];
}

std::u16string Text(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

// Counts a header or send call under way for the length of the call.
class Busy {
public:
    explicit Busy(const std::atomic<bool>& stopped) {
        ++S().busy;
        if (stopped) ++S().callsAfterStop;
        std::this_thread::yield();  // widens the window a concurrent Stop could hit
    }
    ~Busy() { --S().busy; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

class Adapter final : public IMvAdapterControl,
                      public IMvBPDHeader,
                      public IMvAdapterMsgSend,
                      public IErrorInfo {
public:
    Adapter() { ++S().alive; }
    ~Adapter() {
        ReleaseReceiver();
        --S().alive;
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IMvAdapterControl)) {
            *ppv = static_cast<IMvAdapterControl*>(this);
        } else if (IsEqualIID(riid, IID_IMvBPDHeader) && Failure(Step::HeaderInterface) == S_OK) {
            *ppv = static_cast<IMvBPDHeader*>(this);
        } else if (IsEqualIID(riid, IID_IMvAdapterMsgSend) &&
                   Failure(Step::SendInterface) == S_OK) {
            *ppv = static_cast<IMvAdapterMsgSend*>(this);
        } else if (IsEqualIID(riid, IID_IErrorInfo) && publishFailed_ &&
                   ErrorKind() != ErrorInfo::None) {
            *ppv = static_cast<IErrorInfo*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // IMvAdapterControl
    HRESULT Initialize(IUnknown* receiver, BSTR propertiesFile) override {
        Count(Call::Initialize);
        IUnknown* answered = nullptr;
        if (receiver && FAILED(receiver->QueryInterface(IID_IMvAppMsgReceive,
                                                        reinterpret_cast<void**>(&answered))))
            answered = nullptr;
        {
            std::lock_guard lock(S().m);
            S().receiverAnswered = answered != nullptr;
            S().propertiesFile = Text(propertiesFile);
        }
        if (const HRESULT hr = Failure(Step::Initialize); hr != S_OK) {
            if (answered) answered->Release();
            return hr;
        }
        if (!answered) return E_NOINTERFACE;
        ReleaseReceiver();
        receiver_ = answered;
        ++S().receivers;
        return S_OK;
    }
    HRESULT Start() override {
        Count(Call::Start);
        return Failure(Step::Start);
    }
    HRESULT Stop() override {
        Count(Call::Stop);
        const int busy = S().busy.load();
        int seen = S().busyAtStop.load();
        while (busy > seen && !S().busyAtStop.compare_exchange_weak(seen, busy)) {
        }
        stopped_ = true;
        ReleaseReceiver();
        return S_OK;
    }

    // IMvBPDHeader
    HRESULT PopulateHeader(BSTR* header) override {
        Busy busy(stopped_);
        Count(Call::PopulateHeader);
        if (!header) return E_POINTER;
        *header = nullptr;
        if (const HRESULT hr = Failure(Step::PopulateHeader); hr != S_OK) return hr;
        std::lock_guard lock(S().m);
        *header = SysAllocStringLen(S().header.data(), static_cast<UINT>(S().header.size()));
        return S_OK;
    }

    // IMvAdapterMsgSend
    HRESULT Publish(BSTR subject, BSTR recordName, BSTR* document) override {
        Busy busy(stopped_);
        Count(Call::Publish);
        if (const HRESULT hr = Failure(Step::Publish); hr != S_OK) {
            publishFailed_ = true;
            return hr;
        }
        publishFailed_ = false;
        std::lock_guard lock(S().m);
        S().publications.push_back(
            {Text(subject), Text(recordName), document ? Text(*document) : std::u16string()});
        return S_OK;
    }

    // IErrorInfo, answered only after a failed Publish.
    HRESULT GetGUID(GUID* guid) override {
        if (!guid) return E_POINTER;
        *guid = IID_IMvAdapterMsgSend;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) override {
        if (!source) return E_POINTER;
        *source = SysAllocString(u"Quenbus Adapter");
        return S_OK;
    }
    HRESULT GetDescription(BSTR* description) override {
        if (!description) return E_POINTER;
        std::lock_guard lock(S().m);
        const std::u16string text =
            S().errorInfo == ErrorInfo::Described ? S().description : std::u16string();
        *description = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return S_OK;
    }
    HRESULT GetHelpFile(BSTR* file) override {
        if (!file) return E_POINTER;
        *file = nullptr;
        return S_OK;
    }
    HRESULT GetHelpContext(DWORD* context) override {
        if (!context) return E_POINTER;
        *context = 0;
        return S_OK;
    }

private:
    static ErrorInfo ErrorKind() {
        std::lock_guard lock(S().m);
        return S().errorInfo;
    }
    void ReleaseReceiver() {
        if (IUnknown* receiver = receiver_.exchange(nullptr)) {
            receiver->Release();
            --S().receivers;
        }
    }

    std::atomic<ULONG> refs_{0};
    std::atomic<IUnknown*> receiver_{nullptr};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> publishFailed_{false};
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        Count(Call::Create);
        if (outer) return CLASS_E_NOAGGREGATION;
        if (const HRESULT hr = Failure(Step::Create); hr != S_OK) return hr;
        auto* adapter = new Adapter;
        adapter->AddRef();
        const HRESULT hr = adapter->QueryInterface(riid, ppv);
        adapter->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    std::atomic<ULONG> refs_{0};
};

}  // namespace

HRESULT Register() {
    std::lock_guard lock(S().m);
    if (S().cookie) return S_OK;
    mv::ComPtr<IClassFactory> factory(new Factory);
    return CoRegisterClassObject(CLSID_MvQuenbusAdapter, factory.get(), CLSCTX_INPROC_SERVER,
                                 REGCLS_MULTIPLEUSE, &S().cookie);
}

void Revoke() {
    DWORD cookie = 0;
    {
        std::lock_guard lock(S().m);
        std::swap(cookie, S().cookie);
    }
    if (cookie) CoRevokeClassObject(cookie);
}

void Reset() {
    for (auto& f : S().failures) f = S_OK;
    for (auto& f : S().failuresLeft) f = 0;
    for (auto& c : S().calls) c = 0;
    S().busyAtStop = 0;
    S().callsAfterStop = 0;
    std::lock_guard lock(S().m);
    S().errorInfo = ErrorInfo::None;
    S().description.clear();
    S().header = u"<BPDHeader/>";
    S().receiverAnswered = false;
    S().propertiesFile.clear();
    S().publications.clear();
}

void SetFailure(Step step, HRESULT hr, int times) {
    const std::size_t i = static_cast<std::size_t>(step);
    S().failures[i] = hr;
    S().failuresLeft[i] = hr == S_OK ? 0 : times;
}

void SetPublishErrorInfo(ErrorInfo kind, const std::u16string& description) {
    std::lock_guard lock(S().m);
    S().errorInfo = kind;
    S().description = description;
}

void SetHeader(const std::u16string& header) {
    std::lock_guard lock(S().m);
    S().header = header;
}

int Calls(Call call) {
    return S().calls[static_cast<std::size_t>(call)].load();
}

int AdaptersAlive() {
    return S().alive.load();
}

int ReceiversHeld() {
    return S().receivers.load();
}

bool LastReceiverAnswered() {
    std::lock_guard lock(S().m);
    return S().receiverAnswered;
}

std::u16string LastPropertiesFile() {
    std::lock_guard lock(S().m);
    return S().propertiesFile;
}

std::vector<Publication> Publications() {
    std::lock_guard lock(S().m);
    return S().publications;
}

int BusyAtStop() {
    return S().busyAtStop.load();
}

int CallsAfterStop() {
    return S().callsAfterStop.load();
}

}  // namespace busadapter
