// The object-server thread: one emulated single-threaded apartment of the
// module's own that creates the five hosted automation servers and publishes
// them in the Global Interface Table, so that any thread can drive them
// through proxies while their calls stay serialised on that thread.
//
// The facade functions may be called from any thread. The thread starts on
// the first call that needs it (never at module start-up) and again after a
// stop. Start-up and stop are serialised by one lock: concurrent first
// callers share one thread and all return after its start-up; a caller that
// asks for a server while another thread stops it gets null (or, after the
// stop, a restarted server), never a freed object.
//
// The original translated machine faults on this thread into
// accessviolation_exception and divisionbyzero_exception; machine faults
// cannot be caught on Linux, so no translator is installed.
#pragma once

#include <atomic>
#include <memory>

#include "apartment.h"
#include "com.h"
#include "frame/owned_string.h"
#include "sys.h"

// One hosted server: its table cookie (0 when not registered), why its
// creation or lookup failed, and the failure's status code (0 when all went
// well).
struct ObjectServerRecord {
    DWORD Cookie = 0;
    CharString ErrorText;
    HRESULT ErrorCode = 0;
};

class CVB_ObjectServer {
public:
    CVB_ObjectServer();
    ~CVB_ObjectServer();
    CVB_ObjectServer(const CVB_ObjectServer&) = delete;
    CVB_ObjectServer& operator=(const CVB_ObjectServer&) = delete;

    // Thread start-up and shut-down, run on the object-server thread.
    BOOL InitInstance();
    int ExitInstance();

    // Creates the server `progId` into `driver` and registers it in the
    // table under `cookie`; a failure fills `errorCode` and `errorText`.
    void CreateDispatchObject(mv::ComPtr<IDispatch>& driver, const char* progId, DWORD& cookie,
                              HRESULT& errorCode, CharString& errorText);

    // The server's dispatch interface from the table (the caller owns the
    // reference), or null.
    IDispatch* GetInterfaceFromGIT(DWORD cookie, HRESULT& errorCode, CharString& errorText);
    IDispatch* GetExcelServer();
    IDispatch* GetAdoServer();
    IDispatch* GetControlRecipeServer();
    IDispatch* GetDataAccessServer();

    // S_OK with an empty text, or the failure recorded at start-up with its
    // text.
    HRESULT CheckServer(CharString& text, const char* displayName, HRESULT errorCode,
                        const CharString& errorText);
    HRESULT CheckExcelServer(CharString& text);
    HRESULT CheckAdoServer(CharString& text);

    void RevokeFromGIT(DWORD cookie);
    void RevokeAll();

    // The thread: started by the facade, stopped by ObjectServer_Stop.
    mv::Apartment m_Thread;

    IGlobalInterfaceTable* m_pGIT = nullptr;
    CRITICAL_SECTION m_csGIT;
    BYTE m_bCOMStarted = 0;
    ObjectServerRecord m_ExcelServer;
    ObjectServerRecord m_AdoServer;
    ObjectServerRecord m_ConfigurationServer;
    ObjectServerRecord m_ControlRecipeServer;
    ObjectServerRecord m_DataAccessServer;
    CharString m_InitError;

    // Serialises the stop sequence of this thread (revoke, quit, wait); a
    // second stop finds it done.
    CRITICAL_SECTION m_csStop;
    bool m_bStopped = false;
};

// The running thread object, or null. Read and written under the facade's
// lock; module start-up sets it to null before any thread can call.
extern CVB_ObjectServer* g_pObjectServer;
// Auto-reset, unsignalled; created by module start-up and closed at unload.
// The thread signals it once its start-up has finished. May be null (then
// the start does not wait on it: the apartment's own start already waits
// for the start-up).
extern HANDLE g_hObjectServerStarted;

void ObjectServer_EnsureStarted();
IDispatch* ObjectServer_GetExcelServer();
IDispatch* ObjectServer_GetAdoServer();
IDispatch* ObjectServer_GetControlRecipeServer();
IDispatch* ObjectServer_GetDataAccessServer();
HRESULT ObjectServer_CheckExcelServer(CharString& text);
HRESULT ObjectServer_CheckAdoServer(CharString& text);
void ObjectServer_Stop();

// Waits for an apartment thread to end; a caller that is itself an apartment
// thread keeps running the tasks posted to it meanwhile. 1 when the thread
// has ended, 0 when the wait fails (never started, or called from the thread
// itself).
BOOL WaitForThreadPumpingMessages(mv::Apartment& thread);

// The error message of an HRESULT as the thread's start-up records it: the
// system's text without its trailing line end, else "IDispatch error #%d"
// for 0x80040201..0x8004FFFF, else "Unknown error 0x%0lX".
std::string ObjectServer_ErrorMessage(HRESULT hr);

// Test hook: the next thread start-ups fail to enter their apartment with
// `apartment` or to create the Global Interface Table with `table` (S_OK:
// no failure).
void ObjectServer_SetStartupFailuresForTesting(HRESULT apartment, HRESULT table);
