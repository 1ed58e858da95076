// Stand-in of an OPC Data Access 2.0 server, in process, and its control
// surface for tests.
//
// The server is a COM class of our own (kProgId, ClassId()) that answers
// IOPCServer; its groups answer IOPCItemMgt and IOPCSyncIO. It serves the
// items of one node: Register makes it creatable on this computer (node
// kLocalNode) through the class table and the registry store, as any
// registered server; RegisterNode makes another node known to
// CoCreateInstanceEx, which then creates that node's server or its server
// browser (CLSID_OpcServerList) there.
//
// Every call a server receives is recorded with its arguments; failures can
// be injected per node. Arrays and strings handed back come from
// CoTaskMemAlloc. Everything here is process-wide and thread-safe.
#pragma once

#include <string>
#include <vector>

#include "sources/opc_da_interfaces.h"

namespace opcsim {

constexpr char kProgId[] = "MvOpcSim.DA2Server.1";
const CLSID& ClassId();
// The node of servers made on this computer.
constexpr char kLocalNode[] = "";

// Serves the server and the browser from this process on this computer and
// writes the ProgID into the registry store. Registering twice keeps one
// registration.
HRESULT Register();
// Revokes the class objects and removes the ProgID key.
void Revoke();
// Makes `node` (names compare ignoring ASCII case) a remote node, or forgets
// it again.
void RegisterNode(const std::string& node);
void UnregisterNode(const std::string& node);

// Forgets items, records, failures, error texts and counters; registrations
// and browser presence stay.
void Reset();

// An item of a node: its value, quality and time stamp. An item ID not set
// here is unknown to the node's servers (AddItems answers
// OPC_E_UNKNOWNITEMID for it). IDs compare exactly.
void SetItem(const std::string& node, const std::string& itemId, const VARIANT& value, WORD quality,
             FILETIME timeStamp);
// The item's value now (a write changes it); VT_EMPTY when unknown.
mv::Variant ItemValue(const std::string& node, const std::string& itemId);
// Reads of the item fail with `readError`, writes with `writeError` (S_OK:
// they succeed); such a call answers S_FALSE with the code in the item's
// error entry.
void SetItemErrors(const std::string& node, const std::string& itemId, HRESULT readError,
                   HRESULT writeError);
// The text IOPCServer::GetErrorString gives for `code`; without one it
// answers E_INVALIDARG and no text.
void SetErrorString(HRESULT code, const std::u16string& text);

// Calls that can be made to answer `hr` (any code but S_OK, S_FALSE too) as
// a whole, without arrays. Create fails the server's creation on the node.
enum class Call { Create, AddGroup, AddItems, Read, Write };
void SetFailure(const std::string& node, Call call, HRESULT hr);
// Read or Write throws a C++ exception out of the call.
void SetThrows(const std::string& node, Call call, bool throws);
// Every n-th Read on the node (counted from the last Reset) fails with `hr`;
// n = 0 switches it off.
void SetReadFailureEvery(const std::string& node, int n, HRESULT hr);
// Read hands out its arrays as usual but answers `hr` (S_OK: as the items
// say), as a server that breaks the rule of no arrays with a failure would.
void SetReadResult(const std::string& node, HRESULT hr);
// Without a browser, creating CLSID_OpcServerList on the node fails with
// REGDB_E_CLASSNOTREG.
void SetBrowserPresent(const std::string& node, bool present);

struct GroupCall {
    std::string node;
    std::string name;
    BOOL active;
    DWORD updateRate;
    OPCHANDLE clientHandle;
    bool timeBiasGiven;
    FLOAT deadBand;  // -1 when no dead band was given
    DWORD locale;
};
struct ItemCall {
    std::string node;
    std::string accessPath;
    std::string itemId;
    BOOL active;
    OPCHANDLE clientHandle;
    DWORD blobSize;
    VARTYPE requestedType;
    HRESULT error;  // the per-item result given
};
struct IoCall {
    std::string node;
    OPCDATASOURCE source;  // reads only
    std::vector<std::string> itemIds;
    std::vector<std::string> values;  // writes only: each value as text
};
std::vector<GroupCall> Groups();
std::vector<ItemCall> AddedItems();
std::vector<IoCall> Reads();
std::vector<IoCall> Writes();

struct Counters {
    int creations = 0;         // servers made on the node since the last Reset
    int liveServers = 0;       // server objects alive now
    int liveGroups = 0;        // group objects alive now
    int browserCreations = 0;  // browsers made on the node since the last Reset
    int reads = 0;
    int writes = 0;
};
Counters Count(const std::string& node);

}  // namespace opcsim
