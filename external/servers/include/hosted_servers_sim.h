// Stand-ins of the five hosted automation servers and their control surface
// for tests.
//
// The servers are COM classes with a table-driven IDispatch. A test makes
// them creatable with RegisterServers: their class objects go into the
// process-local class table and their ProgIDs into the registry store
// (HKEY_CLASSES_ROOT\<ProgID>\CLSID), so CLSIDFromProgID and
// CoCreateInstance find them as they find any registered server.
//
// The spreadsheet and ADO stand-ins answer the fourteen fixed DISPIDs of the
// module's wrappers (every parameter by reference, a VARIANT result) and
// record each call; the three recipe stand-ins are creatable and answer one
// property, ProgID (DISPID 1). Everything here is process-wide and
// thread-safe.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "com.h"

namespace hosted {

enum class Server : int {
    Excel = 0,          // "MvFunctions.clsExcelServer"
    Ado = 1,            // "MvFunctions.clsAdoServer"
    Configuration = 2,  // "MvDRVSVR.IConfiguration"
    ControlRecipe = 3,  // "MvDRVSVR.IControlRecipe"
    DataAccess = 4,     // "MvDRVSVR.IDataAccess"
};
constexpr int kServerCount = 5;

constexpr unsigned Bit(Server s) {
    return 1u << static_cast<int>(s);
}
constexpr unsigned kAllServers = (1u << kServerCount) - 1;
constexpr unsigned kFunctionServers = Bit(Server::Excel) | Bit(Server::Ado);

const char* ProgId(Server s);
const CLSID& ClassId(Server s);

// Registers the servers of `mask` (class objects and ProgIDs). S_OK, or the
// first failure (the others are still tried). Registering one twice keeps
// one registration.
HRESULT RegisterServers(unsigned mask = kAllServers);
// Revokes every class object registered here and removes the five ProgID
// keys, so that no ProgID of a stand-in resolves afterwards.
void RevokeServers();

// One call a stand-in received: its DISPID, its arguments as text (a BSTR's
// text, "(null)" for a null BSTR; a number in decimal; a VARIANT_BOOL as -1
// or 0; a VARIANT as its text, or "vt=<n>" when it has none; an IDispatch
// as "object" or "(null)") and the thread it ran on.
struct Call {
    Server server;
    DISPID id;
    std::vector<std::string> args;
    std::thread::id thread;
};
std::vector<Call> Calls();

// Creation of `s` fails with `hr` (S_OK: succeeds).
void SetCreateFailure(Server s, HRESULT hr);
// Method `id` of `s` returns `result` (copied; an object is held until
// Reset). By default a method returns VT_EMPTY; 0x60030000 of the ADO server
// returns a null VT_DISPATCH (no record set).
void SetResult(Server s, DISPID id, const VARIANT& result);
// Method `id` of `s` raises an exception with `code` and `description`.
void SetFailure(Server s, DISPID id, HRESULT code, std::u16string description);
// When on, every method writes back its by-reference arguments: each BSTR
// becomes "changed", each 16- or 32-bit integer grows by one, each
// VARIANT_BOOL flips, and each VARIANT becomes the text "changed".
void SetRewriteArguments(bool on);

// Objects of `s` alive now, and created since the last Reset.
int LiveObjects(Server s);
int Creations(Server s);

// Forgets calls, results, failures, the rewrite switch and the creation
// counts (live objects keep being counted).
void Reset();

}  // namespace hosted
