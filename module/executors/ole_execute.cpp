// The automation-object formula: the per-thread object cache and the run of
// the three passes on the calling thread's object.
//
// The first thread that runs the formula keeps its object in
// FirstOleObject; every other thread gets an entry in the parallel arrays
// ThreadOleObjects / ThreadOleObjectThreadIds, which the first run of a
// thread other than the owner empties once their first entry is more than
// an hour old. OleLock serialises finding and creating; the object lock is
// taken inside it only to record a new object. A run holds its own
// reference on the object while the passes run, so a clear on another
// thread never frees an object in use.
#include <mutex>
#include <string>

#include "calculation/calculation.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "sys.h"

namespace {

// Milliseconds after which a non-owner's run empties the other threads'
// entries.
constexpr ULONGLONG kThreadObjectsMaxAge = 3600000;

}  // namespace

void CMvCalculation::OLE_Execute() {
    static constexpr const char* kName = "CMvCalculation::OLE_Execute";
    MvStepFrame step(kName);
    HRESULT last = S_OK;
    try {
        mv::ComPtr<IDispatch> object;  // the run's own reference
        {
            std::lock_guard ole(m_OleLock);
            const DWORD thread = GetCurrentThreadId();
            if (m_FirstOleObject) {
                if (thread == m_FirstOleObjectThread) {
                    object = m_FirstOleObject;
                } else {
                    if (m_ThreadOleObjectsCreated != 0 &&
                        GetTickCount64() - m_ThreadOleObjectsCreated > kThreadObjectsMaxAge)
                        ClearThreadDataArrays();
                    for (std::size_t i = 0; i < m_ThreadOleObjects.size(); ++i) {
                        if (m_ThreadOleObjectThreadIds[i] != thread) continue;
                        object = m_ThreadOleObjects[i];
                        break;
                    }
                }
            }
            if (!object) {
                IDispatch* created = nullptr;
                std::string message;
                last = CreateOleObject(&created, message);
                if (FAILED(last)) {
                    SetError(message);
                } else {
                    object = created;
                    mv::ObjectLock lock(this);
                    if (m_FirstOleObjectThread != 0) {
                        AddThreadOleObject(created, thread);
                    } else {
                        m_FirstOleObject = created;
                        m_FirstOleObjectThread = thread;
                    }
                }
            }
        }
        if (!object) return;
        last = SetOLEProps(object.get());
        if (SUCCEEDED(last)) last = CallOLEMethods(object.get());
        if (SUCCEEDED(last)) last = GetOLEProps(object.get());
    } catch (...) {
        // Also into the error text, so the run writes no outputs of a
        // formula that did not finish.
        const std::string text = MvExceptionText(std::current_exception());
        MvLogErrorHr(kName, last);
        MvLogErrorA(kName, {"An error exception was caught. ", text});
        AddError("\n" + text);
    }
}

// Only in-process classes can be created in this port; a class served only
// out of process is not found.
HRESULT CMvCalculation::CreateOleObject(IDispatch** object, std::string& message) {
    MvStepFrame step("CMvCalculation::CreateOleObject");
    *object = nullptr;
    mv::Bstr name;
    (void)get_OLEObjectName(name.Out());
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(name.get() ? name.get() : u"", &clsid);
    if (FAILED(hr)) {
        message = "Failed to find ProgID: " + name.Utf8();
        return hr;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch,
                          reinterpret_cast<void**>(object));
    if (SUCCEEDED(hr) && !*object) hr = E_NOINTERFACE;
    if (FAILED(hr)) message = "Failed to create object: " + name.Utf8();
    return hr;
}

void CMvCalculation::ResetOleDispIds() {
    for (const mv::ComPtr<IMvCalcOLEMethod>& method :
         MvMembersAs<IMvCalcOLEMethod>(Collection(m_OleMethods).get()))
        if (method) method->put_DispId(DISPID_UNKNOWN);
}
