// Support shared by the tests of the object runtime: hand-written objects
// whose reference count a test reads, and the calls most tests make.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "com.h"

// A hand-written object that answers IUnknown and I; its owner (a test)
// frees it, and Released() runs when the last reference goes.
template <class I>
class Stub : public I {
public:
    virtual ~Stub() = default;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == mv::IidOf<I>::value) {
            AddRef();
            *ppv = static_cast<I*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        ULONG left = --refs;
        if (left == 0) Released();
        return left;
    }
    virtual void Released() {}
    std::atomic<ULONG> refs{1};
};

inline IGlobalInterfaceTable* Git() {
    IGlobalInterfaceTable* git = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git)),
              S_OK);
    return git;
}

// Calls a method without arguments and gives its VT_I4 result.
inline LONG CallMethod(IDispatch* d, DISPID id, HRESULT expected = S_OK) {
    VARIANT v{};
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &v, nullptr, nullptr), expected);
    EXPECT_TRUE(FAILED(expected) || v.vt == VT_I4);
    return v.lVal;
}

// A change another program makes to the registry store file reaches class
// activation through the store's watcher thread, which wakes on the kernel's
// report: it is seen at the latest this long after the change (in practice
// within a scheduling delay).
constexpr auto kStoreChangeSeenWithin = std::chrono::seconds(1);

// Whether `seen` holds, asked again and again for at most
// kStoreChangeSeenWithin.
template <class Seen>
bool SeenInTime(Seen&& seen) {
    const auto deadline = std::chrono::steady_clock::now() + kStoreChangeSeenWithin;
    while (!seen()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}
