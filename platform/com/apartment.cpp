// The emulated single-threaded apartment and the proxies that carry calls to
// it from other threads.
#include "apartment.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>

#include "com.h"

namespace mv {
namespace {

// A caller waiting for one task. It sleeps on the mutex and condition of its
// own apartment when it has one (so it keeps serving its queue), otherwise on
// its own pair.
struct Waiter {
    std::mutex ownMutex;
    std::condition_variable ownCv;
    std::mutex* m = &ownMutex;
    std::condition_variable* cv = &ownCv;
    bool done = false;
    HRESULT hr = S_OK;
    std::exception_ptr error;
};

void Signal(Waiter& w, HRESULT hr) {
    std::lock_guard lock(*w.m);
    w.hr = hr;
    w.done = true;
    w.cv->notify_all();
}

struct Item {
    std::function<void()> fn;
    Waiter* waiter = nullptr;
    bool quit = false;
};

}  // namespace

class ApartmentCore : public std::enable_shared_from_this<ApartmentCore> {
public:
    enum class Phase { kNew, kRunning, kStopped };

    Apartment* owner = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::deque<Item> queue;
    Phase phase = Phase::kNew;
    bool quitSeen = false;
    bool finished = false;
    Waiter* joinWaiter = nullptr;
    std::thread::id tid;
    uint64_t nextRef = 0;
    std::map<uint64_t, IUnknown*> held;

    void RunItem(Item& item) {
        if (!item.waiter) {
            try {
                item.fn();
            } catch (...) {
                // A posted task has nobody to report to.
            }
            return;
        }
        try {
            item.fn();
        } catch (...) {
            item.waiter->error = std::current_exception();
        }
        Signal(*item.waiter, S_OK);
    }

    // Takes the next item; with `lock` held on entry and on return.
    Item Pop(std::unique_lock<std::mutex>&) {
        Item item = std::move(queue.front());
        queue.pop_front();
        return item;
    }

    void Loop() {
        while (true) {
            std::unique_lock lock(m);
            if (quitSeen) return;
            cv.wait(lock, [&] { return !queue.empty(); });
            Item item = Pop(lock);
            if (item.quit) {
                quitSeen = true;
                continue;
            }
            lock.unlock();
            RunItem(item);
        }
    }

    // After the loop: refuse further work, fail what is still queued and let
    // go of the references other threads held.
    void Shut() {
        std::deque<Item> rest;
        std::map<uint64_t, IUnknown*> refs;
        {
            std::lock_guard lock(m);
            phase = Phase::kStopped;
            rest.swap(queue);
            refs.swap(held);
        }
        for (auto& item : rest)
            if (item.waiter) Signal(*item.waiter, RPC_E_DISCONNECTED);
        rest.clear();
        for (auto& [id, obj] : refs) obj->Release();
    }

    void Finish() {
        Waiter* w = nullptr;
        {
            std::lock_guard lock(m);
            finished = true;
            w = joinWaiter;
            joinWaiter = nullptr;
        }
        if (w) Signal(*w, S_OK);
    }

    void Release(uint64_t id) {
        IUnknown* obj = nullptr;
        {
            std::lock_guard lock(m);
            auto it = held.find(id);
            if (it == held.end()) return;
            obj = it->second;
            held.erase(it);
        }
        obj->Release();
    }
};

namespace {

thread_local ApartmentCore* t_core = nullptr;

// Waits until `w` is signalled; an apartment thread serves its own queue
// meanwhile. `w` must have been bound with Bind first.
void Wait(Waiter& w) {
    ApartmentCore* self = t_core;
    if (!self || self->phase == ApartmentCore::Phase::kStopped) {
        std::unique_lock lock(*w.m);
        w.cv->wait(lock, [&] { return w.done; });
        return;
    }
    while (true) {
        std::unique_lock lock(self->m);
        self->cv.wait(lock, [&] { return w.done || !self->queue.empty(); });
        if (w.done) return;
        Item item = self->Pop(lock);
        if (item.quit) {
            self->quitSeen = true;  // the outer loop ends once this wait is over
            continue;
        }
        lock.unlock();
        self->RunItem(item);
    }
}

// Points the waiter at the caller's apartment, if it runs on one.
void Bind(Waiter& w) {
    ApartmentCore* self = t_core;
    if (self && self->phase != ApartmentCore::Phase::kStopped) {
        w.m = &self->m;
        w.cv = &self->cv;
    }
}

}  // namespace

Apartment::Apartment() : core_(std::make_shared<ApartmentCore>()) {
    core_->owner = this;
}

Apartment::~Apartment() {
    if (!thread_.joinable()) return;
    if (std::this_thread::get_id() == thread_.get_id()) {
        thread_.detach();
        return;
    }
    Quit();
    Join();
}

bool Apartment::Start(std::function<void()> init, std::function<void()> exit) {
    {
        std::lock_guard lock(core_->m);
        if (core_->phase != ApartmentCore::Phase::kNew) return false;
        core_->phase = ApartmentCore::Phase::kRunning;
    }
    Waiter started;
    Bind(started);
    std::shared_ptr<ApartmentCore> core = core_;
    try {
        thread_ = std::thread([core, &started, init = std::move(init), exit = std::move(exit)] {
            t_core = core.get();
            {
                std::lock_guard lock(core->m);
                core->tid = std::this_thread::get_id();
            }
            if (init) {
                try {
                    init();
                } catch (...) {
                }
            }
            Signal(started, S_OK);
            core->Loop();
            core->Shut();
            if (exit) {
                try {
                    exit();
                } catch (...) {
                }
            }
            t_core = nullptr;
            core->Finish();
        });
    } catch (...) {
        std::lock_guard lock(core_->m);
        core_->phase = ApartmentCore::Phase::kStopped;
        return false;
    }
    Wait(started);
    return true;
}

bool Apartment::Post(std::function<void()> task) {
    std::unique_lock lock(core_->m);
    if (core_->phase != ApartmentCore::Phase::kRunning) return false;
    core_->queue.push_back(Item{std::move(task), nullptr, false});
    core_->cv.notify_all();
    return true;
}

HRESULT Apartment::RunSync(std::function<void()> task) {
    if (t_core == core_.get() && core_->phase == ApartmentCore::Phase::kRunning) {
        task();
        return S_OK;
    }
    Waiter w;
    Bind(w);
    {
        std::lock_guard lock(core_->m);
        if (core_->phase != ApartmentCore::Phase::kRunning) return RPC_E_DISCONNECTED;
        core_->queue.push_back(Item{std::move(task), &w, false});
        core_->cv.notify_all();
    }
    Wait(w);
    if (w.error) std::rethrow_exception(w.error);
    return w.hr;
}

void Apartment::Quit() {
    std::lock_guard lock(core_->m);
    if (core_->phase != ApartmentCore::Phase::kRunning) return;
    core_->queue.push_back(Item{{}, nullptr, true});
    core_->cv.notify_all();
}

bool Apartment::Join() {
    if (!thread_.joinable() || std::this_thread::get_id() == thread_.get_id()) return false;
    Waiter w;
    Bind(w);
    bool wait = false;
    {
        std::lock_guard lock(core_->m);
        if (!core_->finished) {
            core_->joinWaiter = &w;
            wait = true;
        }
    }
    if (wait) Wait(w);
    thread_.join();
    return true;
}

bool Apartment::IsRunning() const {
    std::lock_guard lock(core_->m);
    return core_->phase == ApartmentCore::Phase::kRunning && !core_->quitSeen;
}

std::thread::id Apartment::ThreadId() const {
    std::lock_guard lock(core_->m);
    return core_->tid;
}

Apartment* Apartment::Current() {
    return t_core ? t_core->owner : nullptr;
}

// ---------------------------------------------------------------------------
// Held references and proxies
// ---------------------------------------------------------------------------
namespace detail {

struct ApartmentRef {
    std::shared_ptr<ApartmentCore> core;
    uint64_t id = 0;
    IUnknown* obj = nullptr;  // to be used on the apartment's thread only

    ~ApartmentRef() {
        if (t_core == core.get()) {
            core->Release(id);
            return;
        }
        std::lock_guard lock(core->m);
        // A stopped apartment has released everything it held already.
        if (core->phase != ApartmentCore::Phase::kRunning) return;
        core->queue.push_back(Item{[c = core.get(), id = id] { c->Release(id); }, nullptr, false});
        core->cv.notify_all();
    }

    // Runs `fn` on the apartment's thread and waits.
    HRESULT Call(const std::function<HRESULT()>& fn) const {
        if (t_core == core.get()) return fn();
        HRESULT hr = RPC_E_DISCONNECTED;
        Waiter w;
        Bind(w);
        {
            std::lock_guard lock(core->m);
            if (core->phase != ApartmentCore::Phase::kRunning) return RPC_E_DISCONNECTED;
            core->queue.push_back(Item{[&] { hr = fn(); }, &w, false});
            core->cv.notify_all();
        }
        Wait(w);
        if (w.error) return RPC_E_SERVERFAULT;
        return w.hr == S_OK ? hr : w.hr;
    }
};

std::shared_ptr<ApartmentRef> HoldOnCurrentApartment(IUnknown* obj) {
    ApartmentCore* core = t_core;
    if (!core || !obj) return nullptr;
    auto ref = std::make_shared<ApartmentRef>();
    ref->core = core->shared_from_this();
    ref->obj = obj;
    {
        std::lock_guard lock(core->m);
        // While it shuts down (its exit step) the thread no longer serves
        // other threads: its objects count as ordinary ones.
        if (core->phase != ApartmentCore::Phase::kRunning) return nullptr;
        ref->id = ++core->nextRef;
        core->held[ref->id] = obj;
    }
    obj->AddRef();
    return ref;
}

IUnknown* ObjectIfLocal(const ApartmentRef& ref) {
    return t_core == ref.core.get() ? ref.obj : nullptr;
}

namespace {

// Forwards IUnknown and IDispatch to the apartment that holds the object.
class Proxy final : public IDispatch {
public:
    Proxy(std::shared_ptr<ApartmentRef> ref, bool dispatch)
        : ref_(std::move(ref)), dispatch_(dispatch) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || (riid == IID_IDispatch && dispatch_)) {
            AddRef();
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        return CreateProxy(ref_, riid, ppv);
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        return Forward([=](IDispatch* d) { return d->GetTypeInfoCount(pctinfo); });
    }
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return Forward([=](IDispatch* d) { return d->GetTypeInfo(iTInfo, lcid, ppTInfo); });
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                          DISPID* ids) override {
        return Forward(
            [&](IDispatch* d) { return d->GetIDsOfNames(riid, names, count, lcid, ids); });
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
        return Forward([&](IDispatch* d) {
            return d->Invoke(id, riid, lcid, flags, params, result, excep, argErr);
        });
    }

private:
    ~Proxy() = default;

    template <typename Fn>
    HRESULT Forward(Fn&& fn) {
        if (!dispatch_) return E_NOINTERFACE;
        // The cast happens on the apartment's thread, while the object is
        // known to be alive: a checked downcast reads the object.
        return ref_->Call([&] { return fn(static_cast<IDispatch*>(ref_->obj)); });
    }

    std::shared_ptr<ApartmentRef> ref_;
    bool dispatch_;
    std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT CreateProxy(const std::shared_ptr<ApartmentRef>& ref, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!ref) return E_INVALIDARG;
    if (riid != IID_IUnknown && riid != IID_IDispatch) return E_NOINTERFACE;
    std::shared_ptr<ApartmentRef> target;
    HRESULT hr = ref->Call([&] {
        IUnknown* p = nullptr;
        HRESULT qi = ref->obj->QueryInterface(riid, reinterpret_cast<void**>(&p));
        if (FAILED(qi)) return qi;
        target = HoldOnCurrentApartment(p);
        p->Release();
        return S_OK;
    });
    if (FAILED(hr)) {
        target.reset();
        return hr;
    }
    *ppv = static_cast<IDispatch*>(new Proxy(std::move(target), riid == IID_IDispatch));
    return S_OK;
}

}  // namespace detail
}  // namespace mv
