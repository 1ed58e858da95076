// The emulated single-threaded apartment: a thread that runs the tasks posted
// to it one at a time, in order, until it takes a quit request from its
// queue.
//
// Objects registered in the Global Interface Table by an apartment thread
// stay on it: other threads receive a proxy whose IUnknown and IDispatch
// calls run on the apartment thread while the caller waits. Once the
// apartment has stopped, such calls answer RPC_E_DISCONNECTED, and the
// references that the apartment's objects still had from other threads are
// released on the apartment thread just before it ends.
//
// A thread that waits for another apartment (RunSync, Join) while it is an
// apartment thread itself keeps running the tasks posted to it, so two
// apartments calling each other do not dead-lock.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "oleaut.h"

namespace mv {

class ApartmentCore;

class Apartment {
public:
    Apartment();
    // Quits and joins a thread still running (never from the thread itself).
    ~Apartment();
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    // Starts the thread: runs `init` on it, then the task loop; after the
    // loop ends, releases what other threads still held of its objects and
    // runs `exit` on it. Returns once `init` has returned; false when the
    // apartment was already started or the thread cannot be created.
    bool Start(std::function<void()> init = {}, std::function<void()> exit = {});
    // Queues a task; false when the apartment is not running (the task is
    // dropped).
    bool Post(std::function<void()> task);
    // Runs a task on the apartment thread and waits for it: S_OK, or
    // RPC_E_DISCONNECTED when the apartment is not running or stops before
    // the task ran. Called on the apartment thread itself, runs it at once.
    // An exception thrown by the task reaches the caller.
    HRESULT RunSync(std::function<void()> task);
    // Queues the quit request: the tasks queued before it still run.
    void Quit();
    // Waits until the thread has ended; false from the thread itself or when
    // it never started.
    bool Join();

    bool IsRunning() const;
    std::thread::id ThreadId() const;
    // The apartment whose thread calls this, or null.
    static Apartment* Current();

    std::shared_ptr<ApartmentCore> Core() const { return core_; }

private:
    std::shared_ptr<ApartmentCore> core_;
    std::thread thread_;
};

// Plumbing between the apartment, the Global Interface Table and activation.
namespace detail {

// One reference to an object, kept for the apartment whose thread took it
// and released on that thread when the last holder lets go (or when the
// apartment ends, whichever comes first).
struct ApartmentRef;

// On an apartment thread: AddRefs `obj` and keeps it for this apartment.
// Elsewhere: null.
std::shared_ptr<ApartmentRef> HoldOnCurrentApartment(IUnknown* obj);
// The held object when the caller runs on its apartment's thread, else null.
IUnknown* ObjectIfLocal(const ApartmentRef& ref);
// A proxy for `riid` (IID_IUnknown or IID_IDispatch; E_NOINTERFACE for
// others) whose calls run on the apartment's thread.
HRESULT CreateProxy(const std::shared_ptr<ApartmentRef>& ref, REFIID riid, void** ppv);
// The process's Global Interface Table (never destroyed).
IUnknown* GlobalInterfaceTable();

}  // namespace detail
}  // namespace mv
