// C++ machinery for writing COM objects: a smart pointer, object roots with
// interface maps and aggregation, class factories, the per-library lock
// count, error reporting, table-driven IDispatch, dispatch drivers and two
// stock objects (a VARIANT enumerator and a memory stream).
//
// A dual interface declares its dispatch members once, in one table; the
// table is the only place where a DISPID or a member name is written, and it
// replaces the type library. Argument and result types come from the C++
// signatures:
//
//   struct IMvFoo : IDispatch {
//       virtual HRESULT get_Name(BSTR* p) = 0;
//       virtual HRESULT put_Name(BSTR v) = 0;
//       virtual HRESULT get_When(DATE* p) = 0;
//       virtual HRESULT Run(LONG count, VARIANT option, VARIANT* result) = 0;
//   };
//   MV_IID_OF(IMvFoo, IID_IMvFoo);
//   MV_DISPATCH_TABLE(IMvFoo,
//       mv::PropGet<&IMvFoo::get_Name>(1, u"Name"),
//       mv::PropPut<&IMvFoo::put_Name>(1, u"Name"),
//       mv::PropGet<&IMvFoo::get_When, VT_DATE>(2, u"When"),
//       mv::Method<&IMvFoo::Run>(3, u"Run").Optional(1).Names(u"Count,Option"))
//
// A class lists its interfaces (the first one is its identity) and derives
// from the helpers it wants:
//
//   class CMvFoo : public mv::ComObjectRoot<CMvFoo>,
//                  public mv::DispatchImpl<IMvFoo>,
//                  public mv::SupportErrorInfoImpl<IMvFoo> {
//   public:
//       using InterfaceMap =
//           mv::Interfaces<IMvFoo, mv::Via<IDispatch, IMvFoo>, ISupportErrorInfo>;
//       HRESULT FinalConstruct();   // optional
//       void FinalRelease();        // optional
//       HRESULT get_Name(BSTR* p) override;
//       ...
//   };
//
// The class itself stays abstract: mv::ComObject<CMvFoo> adds IUnknown.
// Instances come from mv::CreateComObject<CMvFoo>(outer, riid, ppv) (plain or
// aggregated) or mv::MakeComObject<CMvFoo>(&obj) (the concrete object with one
// reference); the class object from mv::CreateClassFactory<CMvFoo>(riid, ppv).
// Every object is free-threaded: the reference count is atomic and each
// object carries a recursive lock (Lock/Unlock, mv::ObjectLock).
#pragma once

#include <pthread.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "com.h"

// Marks what must stay private to each shared library that includes this
// header: every library gets its own copy (its own lock count, its own
// instantiations of the object templates) instead of sharing the first one
// the dynamic linker saw.
#define MV_MODULE_LOCAL [[gnu::visibility("hidden")]]

namespace mv {

// ---------------------------------------------------------------------------
// Interface identifiers by type
// ---------------------------------------------------------------------------
template <class I>
struct IidOf;  // specialise with MV_IID_OF(Interface, IID_Interface)

#define MV_IID_OF(Itf, iid)               \
    template <>                           \
    struct mv::IidOf<Itf> {               \
        static constexpr IID value = iid; \
    }

}  // namespace mv

MV_IID_OF(IUnknown, IID_IUnknown);
MV_IID_OF(IDispatch, IID_IDispatch);
MV_IID_OF(IClassFactory, IID_IClassFactory);
MV_IID_OF(ISequentialStream, IID_ISequentialStream);
MV_IID_OF(IStream, IID_IStream);
MV_IID_OF(IPersist, IID_IPersist);
MV_IID_OF(IPersistStream, IID_IPersistStream);
MV_IID_OF(IPersistStreamInit, IID_IPersistStreamInit);
MV_IID_OF(IEnumVARIANT, IID_IEnumVARIANT);
MV_IID_OF(IErrorInfo, IID_IErrorInfo);
MV_IID_OF(ICreateErrorInfo, IID_ICreateErrorInfo);
MV_IID_OF(ISupportErrorInfo, IID_ISupportErrorInfo);
MV_IID_OF(IGlobalInterfaceTable, IID_IGlobalInterfaceTable);
MV_IID_OF(IErrorLog, IID_IErrorLog);
MV_IID_OF(IPropertyBag, IID_IPropertyBag);

namespace mv {

// ---------------------------------------------------------------------------
// ComPtr: owns one reference
// ---------------------------------------------------------------------------
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : p_(p) {  // takes a new reference
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void Reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    void Attach(T* p) noexcept {  // adopts a reference the caller owned
        Reset();
        p_ = p;
    }
    T* Detach() noexcept { return std::exchange(p_, nullptr); }
    // For out parameters: releases the current pointer first.
    T** Put() noexcept {
        Reset();
        return &p_;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    HRESULT CopyTo(T** out) const noexcept {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }
    template <class U>
    HRESULT As(ComPtr<U>* out) const noexcept {
        if (!out) return E_POINTER;
        if (!p_) {
            out->Reset();
            return E_POINTER;
        }
        return p_->QueryInterface(IidOf<U>::value, out->PutVoid());
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const ComPtr& a, const T* b) noexcept { return a.p_ == b; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// The library's lock count: live objects plus IClassFactory::LockServer.
// Each shared library has its own; its DllCanUnloadNow answers
// ModuleCanUnloadNow().
// ---------------------------------------------------------------------------
namespace detail {
MV_MODULE_LOCAL inline std::atomic<LONG> g_moduleLockCount{0};
}
MV_MODULE_LOCAL inline void ModuleLock() noexcept {
    ++detail::g_moduleLockCount;
}
MV_MODULE_LOCAL inline void ModuleUnlock() noexcept {
    --detail::g_moduleLockCount;
}
MV_MODULE_LOCAL inline LONG ModuleLockCount() noexcept {
    return detail::g_moduleLockCount.load();
}
MV_MODULE_LOCAL inline HRESULT ModuleCanUnloadNow() noexcept {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------
// Interface maps
// ---------------------------------------------------------------------------
// An entry is an interface type, or Via<I, Path> for an interface reached
// through a more derived one (IDispatch through the class's dual interface).
template <class I, class Path>
struct Via {};
template <class... Entries>
struct Interfaces {};

namespace detail {
template <class E>
struct EntryOf {
    using Itf = E;
    using Path = E;
};
template <class I, class P>
struct EntryOf<Via<I, P>> {
    using Itf = I;
    using Path = P;
};
template <class T, class E>
IUnknown* EntryUnknown(T* self, void** out) noexcept {
    using Itf = typename EntryOf<E>::Itf;
    Itf* itf = static_cast<Itf*>(static_cast<typename EntryOf<E>::Path*>(self));
    *out = itf;
    return itf;
}
template <class T, class... Es>
IUnknown* FindEntry(T* self, REFIID riid, void** out, Interfaces<Es...>) noexcept {
    IUnknown* found = nullptr;
    (void)((IsEqualIID(riid, IidOf<typename EntryOf<Es>::Itf>::value) &&
            (found = EntryUnknown<T, Es>(self, out)) != nullptr) ||
           ...);
    return found;
}
template <class T, class First, class... Es>
IUnknown* FirstEntry(T* self, Interfaces<First, Es...>) noexcept {
    void* ignored;
    return EntryUnknown<T, First>(self, &ignored);
}
}  // namespace detail

// A recursive lock for objects that are mostly locked by one thread at a
// time: taking it again on the owning thread touches no shared word, and an
// uncontended take and release cost one atomic exchange each. Threads that
// find it taken sleep on the state word.
class RecursiveLock {
public:
    void lock() noexcept {
        if (try_lock()) return;
        WaitForIt();
        owner_.store(pthread_self(), std::memory_order_relaxed);
        depth_ = 1;
    }
    bool try_lock() noexcept {
        const pthread_t self = pthread_self();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return true;
        }
        int expected = kFree;
        if (!state_.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return false;
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
        return true;
    }
    void unlock() noexcept {
        if (--depth_ != 0) return;
        owner_.store(pthread_t{}, std::memory_order_relaxed);
        if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
    }

private:
    static constexpr int kFree = 0, kTaken = 1, kWaitedFor = 2;
    // Marks the lock as waited for before sleeping, so that the release
    // that frees it wakes a sleeper.
    [[gnu::noinline]] void WaitForIt() noexcept {
        while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
            state_.wait(kWaitedFor, std::memory_order_relaxed);
    }

    std::atomic<int> state_{kFree};
    // The owning thread, read without ordering: only the owner itself can
    // see its own identity here, every other thread sees someone else's or
    // none.
    std::atomic<pthread_t> owner_{};
    int depth_ = 0;
};

// ---------------------------------------------------------------------------
// Object roots
// ---------------------------------------------------------------------------
class ComObjectRootBase {
public:
    ComObjectRootBase(const ComObjectRootBase&) = delete;
    ComObjectRootBase& operator=(const ComObjectRootBase&) = delete;

    // Non-delegating reference count; the last release destroys the object.
    ULONG InternalAddRef() noexcept { return static_cast<ULONG>(++refs_); }
    ULONG InternalRelease() noexcept {
        LONG n = --refs_;
        if (n == 0) {
            refs_ = kDestroying;  // AddRef/Release pairs inside FinalRelease stay harmless
            OnFinalRelease();
            delete this;
        }
        return static_cast<ULONG>(n);
    }
    virtual HRESULT InternalQueryInterface(REFIID riid, void** ppv) noexcept = 0;

    // The outer unknown when aggregated, else null.
    IUnknown* OuterUnknown() const noexcept { return outer_; }
    // The unknown an outer object holds: it never delegates.
    IUnknown* NonDelegatingUnknown() noexcept { return &inner_; }

    // The object's own lock (recursive), for its state.
    void Lock() noexcept { lock_.lock(); }
    void Unlock() noexcept { lock_.unlock(); }

protected:
    ComObjectRootBase() noexcept : inner_(this) {}
    virtual ~ComObjectRootBase() = default;
    virtual void OnFinalRelease() noexcept = 0;

    HRESULT OuterQueryInterface(REFIID riid, void** ppv) noexcept {
        return outer_ ? outer_->QueryInterface(riid, ppv) : InternalQueryInterface(riid, ppv);
    }
    ULONG OuterAddRef() noexcept { return outer_ ? outer_->AddRef() : InternalAddRef(); }
    ULONG OuterRelease() noexcept { return outer_ ? outer_->Release() : InternalRelease(); }

    // The non-delegating unknown that an outer object holds.
    struct InnerUnknown final : IUnknown {
        explicit InnerUnknown(ComObjectRootBase* r) noexcept : root(r) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv) return E_POINTER;
            if (IsEqualIID(riid, IID_IUnknown)) {
                *ppv = static_cast<IUnknown*>(this);
                root->InternalAddRef();
                return S_OK;
            }
            return root->InternalQueryInterface(riid, ppv);
        }
        ULONG AddRef() override { return root->InternalAddRef(); }
        ULONG Release() override { return root->InternalRelease(); }
        ComObjectRootBase* root;
    };

    static constexpr LONG kDestroying = 1 << 30;
    InnerUnknown inner_;
    IUnknown* outer_ = nullptr;
    std::atomic<LONG> refs_{0};
    RecursiveLock lock_;

    template <class>
    friend class ComObject;
};

// Holds an object's lock for a scope.
class ObjectLock {
public:
    explicit ObjectLock(ComObjectRootBase* o) noexcept : o_(o) { o_->Lock(); }
    ~ObjectLock() { o_->Unlock(); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    ComObjectRootBase* o_;
};

template <class T>
class ComObjectRoot : public ComObjectRootBase {
public:
    // Hooks a class may hide: FinalConstruct runs once the object is fully
    // built (and knows its outer unknown); a failure discards the object.
    // FinalRelease runs before the destructor.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    HRESULT InternalQueryInterface(REFIID riid, void** ppv) noexcept final {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        T* self = static_cast<T*>(this);
        IUnknown* found = IsEqualIID(riid, IID_IUnknown)
                              ? (*ppv = GetUnknown(), GetUnknown())
                              : detail::FindEntry(self, riid, ppv, typename T::InterfaceMap{});
        if (!found) return E_NOINTERFACE;
        found->AddRef();
        return S_OK;
    }
    // The object's own identity (the first interface of its map).
    IUnknown* GetUnknown() noexcept {
        return detail::FirstEntry(static_cast<T*>(this), typename T::InterfaceMap{});
    }
    // What clients see as the object's identity: the outer unknown when
    // aggregated.
    IUnknown* GetControllingUnknown() noexcept { return outer_ ? outer_ : GetUnknown(); }

protected:
    void OnFinalRelease() noexcept override { static_cast<T*>(this)->FinalRelease(); }
};

namespace detail {
struct MV_MODULE_LOCAL ModuleLockHolder {
    ModuleLockHolder() noexcept { ModuleLock(); }
    ~ModuleLockHolder() { ModuleUnlock(); }
    ModuleLockHolder(const ModuleLockHolder&) = delete;
    ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};
}  // namespace detail

// The concrete object: T plus IUnknown, delegating to the outer unknown when
// aggregated. Alive objects hold the library's lock count.
template <class T>
class MV_MODULE_LOCAL ComObject final : private detail::ModuleLockHolder, public T {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return this->OuterQueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return this->OuterAddRef(); }
    ULONG Release() override { return this->OuterRelease(); }

    // Builds an object holding one non-delegating reference, FinalConstruct
    // done; null with the failure in *hr.
    static ComObject* Instantiate(IUnknown* outer, HRESULT* hr) noexcept {
        ComObject* obj = nullptr;
        try {
            obj = new ComObject();
        } catch (const std::bad_alloc&) {
            *hr = E_OUTOFMEMORY;
            return nullptr;
        } catch (...) {
            *hr = E_UNEXPECTED;
            return nullptr;
        }
        obj->outer_ = outer;
        obj->InternalAddRef();
        try {
            *hr = obj->FinalConstruct();
        } catch (const std::bad_alloc&) {
            *hr = E_OUTOFMEMORY;
        } catch (...) {
            *hr = E_UNEXPECTED;
        }
        if (FAILED(*hr)) {
            obj->InternalRelease();
            return nullptr;
        }
        return obj;
    }

private:
    ComObject() = default;
    ~ComObject() override = default;
};

// A plain or aggregated instance, as IClassFactory::CreateInstance makes
// it. An aggregated instance must be asked for IID_IUnknown.
template <class T>
MV_MODULE_LOCAL HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    ComObject<T>* obj = ComObject<T>::Instantiate(outer, &hr);
    if (!obj) return hr;
    hr = outer ? obj->NonDelegatingUnknown()->QueryInterface(riid, ppv)
               : obj->InternalQueryInterface(riid, ppv);
    obj->InternalRelease();
    return hr;
}

// The concrete object itself, not aggregated, with one reference that the
// caller owns.
template <class T>
MV_MODULE_LOCAL HRESULT MakeComObject(ComObject<T>** out) noexcept {
    if (!out) return E_POINTER;
    HRESULT hr = S_OK;
    *out = ComObject<T>::Instantiate(nullptr, &hr);
    return hr;
}
template <class T>
MV_MODULE_LOCAL HRESULT MakeComObject(ComPtr<ComObject<T>>* out) noexcept {
    if (!out) return E_POINTER;
    ComObject<T>* obj = nullptr;
    HRESULT hr = MakeComObject<T>(&obj);
    out->Attach(obj);
    return hr;
}

// ---------------------------------------------------------------------------
// Class factories
// ---------------------------------------------------------------------------
// A class object that makes T; it counts as a live object of the library
// while referenced, and LockServer adds to the library's lock count.
template <class T>
class MV_MODULE_LOCAL ClassFactory : public ComObjectRoot<ClassFactory<T>>, public IClassFactory {
public:
    using InterfaceMap = Interfaces<IClassFactory>;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return CreateComObject<T>(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }
};

template <class T>
MV_MODULE_LOCAL HRESULT CreateClassFactory(REFIID riid, void** ppv) noexcept {
    return CreateComObject<ClassFactory<T>>(nullptr, riid, ppv);
}

// Serves T from this process: puts a new class object for it into the
// process-local class table under clsid; *cookie receives the registration
// for CoRevokeClassObject.
template <class T>
MV_MODULE_LOCAL HRESULT RegisterClassObject(REFCLSID clsid, DWORD* cookie) noexcept {
    ComPtr<IUnknown> factory;
    HRESULT hr = CreateClassFactory<T>(IID_IUnknown, factory.PutVoid());
    if (FAILED(hr)) return hr;
    return CoRegisterClassObject(clsid, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                 cookie);
}

// The registration of a class that a stand-in serves from this process: at
// most one at a time, safe to change from several threads.
class MV_MODULE_LOCAL ServedClassRegistration {
public:
    // Registers T under clsid unless it is registered already.
    template <class T>
    HRESULT Register(REFCLSID clsid) noexcept {
        std::lock_guard lock(m_);
        if (cookie_) return S_OK;
        return RegisterClassObject<T>(clsid, &cookie_);
    }
    void Revoke() noexcept {
        DWORD cookie = 0;
        {
            std::lock_guard lock(m_);
            std::swap(cookie, cookie_);
        }
        if (cookie) CoRevokeClassObject(cookie);
    }

private:
    std::mutex m_;
    DWORD cookie_ = 0;
};

// ---------------------------------------------------------------------------
// Error information
// ---------------------------------------------------------------------------
template <class... Itfs>
class SupportErrorInfoImpl : public ISupportErrorInfo {
public:
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return (IsEqualIID(riid, IidOf<Itfs>::value) || ...) ? S_OK : S_FALSE;
    }
};

// Sets the thread's error information (text, interface, the class's ProgID
// as source) and returns hr, so that a method can `return ReportError(...)`.
HRESULT ReportError(const char16_t* progId, REFIID iid, std::u16string_view text, HRESULT hr);

// ---------------------------------------------------------------------------
// Table-driven IDispatch
// ---------------------------------------------------------------------------
enum class DispKind : uint8_t {
    Method = DISPATCH_METHOD,
    PropGet = DISPATCH_PROPERTYGET,
    PropPut = DISPATCH_PROPERTYPUT,
    PropPutRef = DISPATCH_PROPERTYPUTREF,
};
enum class DispMode : uint8_t { In, InOut, Retval };

struct DispParam {
    VARTYPE vt;  // VT_VARIANT for a VARIANT, VT_DISPATCH/VT_UNKNOWN for interfaces
    DispMode mode;
    const IID* iid;  // interfaces other than IUnknown and IDispatch: asked for by QueryInterface
};

// Calls the member with the prepared arguments, in signature order: a value
// of the declared type for [in]; VT_BYREF|type with the storage for [in,out];
// for the [out, retval] slot, byref points at the result's value (pvarVal at
// the result VARIANT for VARIANT and interface results).
using DispThunk = HRESULT (*)(IDispatch* self, VARIANT* args);

constexpr std::size_t kDispMaxParams = 16;

struct DispMember {
    DISPID id;
    const char16_t* name;
    DispKind kind;
    DispThunk thunk;
    const DispParam* params;  // count entries, the retval last
    uint8_t count;
    bool retval;
    uint8_t optional;       // trailing [in, optional] VARIANT parameters
    const char16_t* names;  // parameter names, comma-separated; null when not declared

    // The last n [in] parameters (VARIANTs) may be left out; they then read
    // VT_ERROR with DISP_E_PARAMNOTFOUND.
    constexpr DispMember Optional(unsigned n) const {
        unsigned in = count - (retval ? 1u : 0u);
        if (n > in) throw std::logic_error("more optional parameters than parameters");
        for (unsigned i = in - n; i < in; ++i)
            if (params[i].vt != VT_VARIANT || params[i].mode != DispMode::In)
                throw std::logic_error("an optional parameter must be an [in] VARIANT");
        DispMember m = *this;
        m.optional = static_cast<uint8_t>(n);
        return m;
    }
    // Parameter names for named arguments ("Index,Value"); their DISPIDs
    // are their positions, from 0.
    constexpr DispMember Names(const char16_t* list) const {
        unsigned n = 1;
        for (const char16_t* p = list; *p; ++p) n += *p == u',';
        if (n != count - (retval ? 1u : 0u))
            throw std::logic_error("one name per [in] or [in,out] parameter");
        DispMember m = *this;
        m.names = list;
        return m;
    }
};

namespace detail {
constexpr char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c + 32 : c;
}
constexpr bool SameName(const char16_t* a, const char16_t* b) {
    for (; *a && *b; ++a, ++b)
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
    return *a == *b;
}
// Orders names ignoring ASCII case: negative, zero or positive.
constexpr int CompareNames(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        const char16_t x = FoldAscii(*a), y = FoldAscii(*b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}
}  // namespace detail

// The positions of a table's rows in the order look-ups search them: by name
// ignoring case, and by DISPID; rows that tie stay in table order.
template <std::size_t N>
struct DispOrder {
    std::array<uint16_t, N> byName{};
    std::array<uint16_t, N> byId{};

    constexpr explicit DispOrder(const DispMember (&rows)[N]) {
        for (std::size_t i = 0; i < N; ++i) byName[i] = byId[i] = static_cast<uint16_t>(i);
        std::sort(byName.begin(), byName.end(), [&rows](uint16_t a, uint16_t b) {
            const int c = detail::CompareNames(rows[a].name, rows[b].name);
            return c < 0 || (c == 0 && a < b);
        });
        std::sort(byId.begin(), byId.end(), [&rows](uint16_t a, uint16_t b) {
            return rows[a].id < rows[b].id || (rows[a].id == rows[b].id && a < b);
        });
    }
};

// The members of one interface. Built at compile time; rejects two rows of
// the same DISPID and kind, and a DISPID or name given two spellings.
struct DispTable {
    const DispMember* members;
    std::size_t count;
    // Look-up orders of the rows (see DispOrder); null: search row by row.
    const uint16_t* byName = nullptr;
    const uint16_t* byId = nullptr;

    template <std::size_t N>
    constexpr DispTable(const DispMember (&rows)[N], const DispOrder<N>& order) : DispTable(rows) {
        byName = order.byName.data();
        byId = order.byId.data();
    }
    template <std::size_t N>
    constexpr DispTable(const DispMember (&rows)[N]) : members(rows), count(N) {
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = i + 1; j < N; ++j) {
                const DispMember& a = rows[i];
                const DispMember& b = rows[j];
                bool sameName = detail::SameName(a.name, b.name);
                if (a.id == b.id && a.kind == b.kind) throw std::logic_error("duplicate row");
                if ((a.id == b.id) != sameName)
                    throw std::logic_error("a DISPID has one name and a name one DISPID");
            }
    }
};

namespace detail {

template <class>
inline constexpr bool kAlwaysFalse = false;

// What a C++ parameter type means to dispatch: its VARTYPE, whether it is a
// pointer (then [in,out] or the retval), and how the thunk reads it.
template <class P>
struct DispArg {
    static_assert(kAlwaysFalse<P>, "parameter type not supported by the dispatch table");
};

#define MV_DISP_VALUE_ARG(Type, Vt, field)                                     \
    template <>                                                                \
    struct DispArg<Type> {                                                     \
        static constexpr VARTYPE kVt = Vt;                                     \
        static constexpr bool kPointer = false;                                \
        static constexpr const IID* kIid = nullptr;                            \
        struct Holder {                                                        \
            VARIANT& a;                                                        \
            Type get() const noexcept { return a.field; }                      \
        };                                                                     \
    };                                                                         \
    template <>                                                                \
    struct DispArg<Type*> {                                                    \
        static constexpr VARTYPE kVt = Vt;                                     \
        static constexpr bool kPointer = true;                                 \
        static constexpr const IID* kIid = nullptr;                            \
        struct Holder {                                                        \
            VARIANT& a;                                                        \
            Type* get() const noexcept { return static_cast<Type*>(a.byref); } \
        };                                                                     \
    }

MV_DISP_VALUE_ARG(LONG, VT_I4, lVal);
MV_DISP_VALUE_ARG(SHORT, VT_I2, iVal);
MV_DISP_VALUE_ARG(DOUBLE, VT_R8, dblVal);
MV_DISP_VALUE_ARG(FLOAT, VT_R4, fltVal);
MV_DISP_VALUE_ARG(BSTR, VT_BSTR, bstrVal);
MV_DISP_VALUE_ARG(IDispatch*, VT_DISPATCH, pdispVal);
MV_DISP_VALUE_ARG(IUnknown*, VT_UNKNOWN, punkVal);
#undef MV_DISP_VALUE_ARG

template <>
struct DispArg<VARIANT> {
    static constexpr VARTYPE kVt = VT_VARIANT;
    static constexpr bool kPointer = false;
    static constexpr const IID* kIid = nullptr;
    struct Holder {
        VARIANT& a;
        VARIANT get() const noexcept { return a; }  // the callee borrows it
    };
};
template <>
struct DispArg<VARIANT*> {
    static constexpr VARTYPE kVt = VT_VARIANT;
    static constexpr bool kPointer = true;
    static constexpr const IID* kIid = nullptr;
    struct Holder {
        VARIANT& a;
        VARIANT* get() const noexcept { return a.pvarVal; }
    };
};

template <class I>
concept CustomInterface =
    std::is_base_of_v<IUnknown, I> && !std::is_same_v<I, IUnknown> && !std::is_same_v<I, IDispatch>;

// [in] pointer to another interface: the argument is asked for it.
template <CustomInterface I>
struct DispArg<I*> {
    static constexpr VARTYPE kVt = std::is_base_of_v<IDispatch, I> ? VT_DISPATCH : VT_UNKNOWN;
    static constexpr bool kPointer = false;
    static constexpr const IID* kIid = &IidOf<I>::value;
    struct Holder {
        VARIANT& a;
        I* get() const noexcept { return static_cast<I*>(a.byref); }
    };
};
// [out, retval] pointer to another interface.
template <CustomInterface I>
struct DispArg<I**> {
    static constexpr VARTYPE kVt = std::is_base_of_v<IDispatch, I> ? VT_DISPATCH : VT_UNKNOWN;
    static constexpr bool kPointer = true;
    static constexpr bool kRetvalOnly = true;
    static constexpr const IID* kIid = &IidOf<I>::value;
    struct Holder {
        VARIANT& a;
        I* p = nullptr;
        I** get() noexcept { return &p; }
        ~Holder() {
            VARIANT* r = a.pvarVal;
            if constexpr (std::is_base_of_v<IDispatch, I>) {
                r->vt = VT_DISPATCH;
                r->pdispVal = p;
            } else {
                r->vt = VT_UNKNOWN;
                r->punkVal = p;
            }
        }
    };
};

template <class P>
constexpr bool RetvalOnly() {
    if constexpr (requires { DispArg<P>::kRetvalOnly; })
        return DispArg<P>::kRetvalOnly;
    else
        return false;
}

template <auto Fn, class Sig = decltype(Fn)>
struct DispSig;
template <auto Fn, class C, class... Ps>
struct DispSig<Fn, HRESULT (C::*)(Ps...)> {
    using Class = C;
    static constexpr std::size_t kCount = sizeof...(Ps);
    static_assert(kCount <= kDispMaxParams, "too many parameters");
    static constexpr std::array<VARTYPE, kCount> kVts{DispArg<Ps>::kVt...};
    static constexpr std::array<bool, kCount> kPointer{DispArg<Ps>::kPointer...};
    static constexpr std::array<bool, kCount> kRetvalOnly{RetvalOnly<Ps>()...};
    static constexpr std::array<const IID*, kCount> kIids{DispArg<Ps>::kIid...};

    static HRESULT Call(IDispatch* self, VARIANT* args) {
        return CallWith(self, args, std::index_sequence_for<Ps...>{});
    }
    template <std::size_t... I>
    static HRESULT CallWith(IDispatch* self, VARIANT* args, std::index_sequence<I...>) {
        (void)args;
        // Each holder lives to the end of the full expression, after the call.
        return (static_cast<C*>(self)->*Fn)(typename DispArg<Ps>::Holder{args[I]}.get()...);
    }
};

template <auto Fn, bool Retval, VARTYPE... Over>
constexpr std::array<DispParam, DispSig<Fn>::kCount> MakeParams() {
    using S = DispSig<Fn>;
    constexpr VARTYPE over[] = {Over..., VT_EMPTY};
    static_assert(sizeof...(Over) <= S::kCount, "more types than parameters");
    std::array<DispParam, S::kCount> out{};
    for (std::size_t i = 0; i < S::kCount; ++i) {
        VARTYPE vt = S::kVts[i];
        if (i < sizeof...(Over) && over[i] != VT_EMPTY && over[i] != vt) {
            // DATE is a DOUBLE and VARIANT_BOOL a SHORT to C++: the table says which.
            bool ok = (vt == VT_R8 && over[i] == VT_DATE) || (vt == VT_I2 && over[i] == VT_BOOL);
            if (!ok)
                throw std::logic_error("a type may only turn DOUBLE into DATE or SHORT into BOOL");
            vt = over[i];
        }
        DispMode mode = DispMode::In;
        if (S::kPointer[i])
            mode = Retval && i + 1 == S::kCount ? DispMode::Retval : DispMode::InOut;
        if (S::kRetvalOnly[i] && mode != DispMode::Retval)
            throw std::logic_error("an interface out pointer must be the [out, retval]");
        out[i] = DispParam{vt, mode, S::kIids[i]};
    }
    return out;
}

template <auto Fn, bool Retval, VARTYPE... Over>
inline constexpr std::array<DispParam, DispSig<Fn>::kCount> kParams =
    MakeParams<Fn, Retval, Over...>();

template <auto Fn, DispKind Kind, bool Retval, VARTYPE... Over>
constexpr DispMember MakeMember(DISPID id, const char16_t* name) {
    using S = DispSig<Fn>;
    static_assert(std::is_base_of_v<IDispatch, typename S::Class>,
                  "dispatch members belong to an interface derived from IDispatch");
    return DispMember{id,
                      name,
                      Kind,
                      &S::Call,
                      kParams<Fn, Retval, Over...>.data(),
                      static_cast<uint8_t>(S::kCount),
                      Retval,
                      0,
                      nullptr};
}

template <auto Fn>
constexpr bool LastIsPointer() {
    using S = DispSig<Fn>;
    if constexpr (S::kCount == 0)
        return false;
    else
        return S::kPointer[S::kCount - 1];
}
template <auto Fn>
constexpr bool AllIn() {
    using S = DispSig<Fn>;
    for (bool p : S::kPointer)
        if (p) return false;
    return true;
}

}  // namespace detail

// Row factories. The optional VARTYPEs after the member name the types of
// the first parameters where C++ cannot tell them: VT_DATE for a DOUBLE
// (or DOUBLE*), VT_BOOL for a SHORT (or SHORT*); VT_EMPTY keeps the deduced
// type.
//
// A property getter: index parameters [in], then the [out, retval].
template <auto Fn, VARTYPE... Over>
constexpr DispMember PropGet(DISPID id, const char16_t* name) {
    static_assert(detail::LastIsPointer<Fn>(), "a getter ends with its [out, retval] pointer");
    return detail::MakeMember<Fn, DispKind::PropGet, true, Over...>(id, name);
}
// A property setter: index parameters, then the value; all [in].
template <auto Fn, VARTYPE... Over>
constexpr DispMember PropPut(DISPID id, const char16_t* name) {
    static_assert(detail::DispSig<Fn>::kCount >= 1 && detail::AllIn<Fn>(),
                  "a setter takes [in] parameters, the value last");
    return detail::MakeMember<Fn, DispKind::PropPut, false, Over...>(id, name);
}
template <auto Fn, VARTYPE... Over>
constexpr DispMember PropPutRef(DISPID id, const char16_t* name) {
    static_assert(detail::DispSig<Fn>::kCount >= 1 && detail::AllIn<Fn>(),
                  "a setter takes [in] parameters, the value last");
    return detail::MakeMember<Fn, DispKind::PropPutRef, false, Over...>(id, name);
}
// A method; a final pointer parameter is its [out, retval], other pointers
// are [in,out].
template <auto Fn, VARTYPE... Over>
constexpr DispMember Method(DISPID id, const char16_t* name) {
    return detail::MakeMember<Fn, DispKind::Method, detail::LastIsPointer<Fn>(), Over...>(id, name);
}
// A method without a result, whose pointer parameters are all [in,out].
template <auto Fn, VARTYPE... Over>
constexpr DispMember MethodByRef(DISPID id, const char16_t* name) {
    return detail::MakeMember<Fn, DispKind::Method, false, Over...>(id, name);
}

// Declares the dispatch table of an interface (at namespace scope, where the
// interface lives).
#define MV_DISPATCH_TABLE(Itf, ...)                                   \
    inline const ::mv::DispTable& MvDispatchTable(Itf*) {             \
        static constexpr ::mv::DispMember kMembers[] = {__VA_ARGS__}; \
        static constexpr ::mv::DispOrder kOrder{kMembers};            \
        static constexpr ::mv::DispTable kTable{kMembers, kOrder};    \
        return kTable;                                                \
    }

// The generic IDispatch over a table; usable by hand-written dispatch
// implementations too. `self` is the interface the table's members belong
// to.
HRESULT TableGetIDsOfNames(const DispTable& table, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                           LCID lcid, DISPID* rgDispId);
HRESULT TableInvoke(IDispatch* self, const DispTable& table, DISPID dispIdMember, REFIID riid,
                    LCID lcid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                    EXCEPINFO* pExcepInfo, UINT* puArgErr);

// IDispatch of a dual interface from its table. No type information is
// offered: GetTypeInfoCount answers 0.
template <class Itf>
class DispatchImpl : public Itf {
public:
    static const DispTable& Table() { return MvDispatchTable(static_cast<Itf*>(nullptr)); }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (!pctinfo) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_POINTER;
        *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override {
        return TableGetIDsOfNames(Table(), riid, rgszNames, cNames, lcid, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override {
        return TableInvoke(static_cast<Itf*>(this), Table(), dispIdMember, riid, lcid, wFlags,
                           pDispParams, pVarResult, pExcepInfo, puArgErr);
    }
};

// ---------------------------------------------------------------------------
// Dispatch drivers: call any IDispatch by DISPID or by name. Arguments are
// given in their natural order; results are cleared first. No EXCEPINFO is
// passed, so a member's failure comes back as its own HRESULT with the
// thread's error information.
// ---------------------------------------------------------------------------
HRESULT DispGetIDOfName(IDispatch* disp, const OLECHAR* name, DISPID* id);
HRESULT DispGetProperty(IDispatch* disp, DISPID id, VARIANT* result);
// An object, array or by-reference value is first put by reference; a
// failure of that falls back to a plain put.
HRESULT DispPutProperty(IDispatch* disp, DISPID id, const VARIANT& value);
HRESULT DispInvokeMethod(IDispatch* disp, DISPID id, const VARIANT* args, UINT count,
                         VARIANT* result);
HRESULT DispGetPropertyByName(IDispatch* disp, const OLECHAR* name, VARIANT* result);
HRESULT DispPutPropertyByName(IDispatch* disp, const OLECHAR* name, const VARIANT& value);
HRESULT DispInvokeMethodByName(IDispatch* disp, const OLECHAR* name, const VARIANT* args,
                               UINT count, VARIANT* result);

// A failed dispatch call, for callers that expect an exception: the status
// code (the member's own for an exception it raised) and its texts.
class DispatchException : public std::runtime_error {
public:
    DispatchException(HRESULT code, std::u16string description, std::u16string source);
    HRESULT code() const noexcept { return code_; }
    const std::u16string& description() const noexcept { return description_; }
    const std::u16string& source() const noexcept { return source_; }

private:
    HRESULT code_;
    std::u16string description_;
    std::u16string source_;
};

// Invokes a fixed DISPID with wFlags (DISPATCH_METHOD, ...); throws
// DispatchException on failure. The result is converted to resultType
// (VT_VARIANT keeps it as it is, VT_EMPTY drops it).
Variant DispInvokeHelper(IDispatch* disp, DISPID id, WORD wFlags, const VARIANT* args, UINT count,
                         VARTYPE resultType = VT_VARIANT);

// ---------------------------------------------------------------------------
// Stock objects
// ---------------------------------------------------------------------------
// An enumerator over copies of the given VARIANTs.
HRESULT CreateEnumVariant(const VARIANT* items, ULONG count, IEnumVARIANT** out);

}  // namespace mv
