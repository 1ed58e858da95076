// COPCDAServer: the module's client of one OPC DA 2.0 server, the one that a
// data source of the data-source directory describes. It creates the server
// object on this computer or another node, adds one group "MORVACALC" and
// adds items to it on first use, then reads and writes them synchronously.
//
// No raw interface pointer is kept between calls: the server object and the
// group are registered in the OPC client's Global Interface Table (g_pGIT,
// guarded by g_csOpcGIT) and fetched again for every operation, so the thread
// that connected and the threads that read and write need not be the same.
// Reads and writes of one object are serialised by its lock; g_csOpcGIT is
// taken inside it, never the other way round.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sources/opc_da_interfaces.h"
#include "sys.h"

// An item already added to the group.
struct OpcItem {
    std::string ItemID;
    OPCHANDLE ServerHandle = 0;
    VARTYPE CanonicalType = VT_EMPTY;  // as the server reported it; kept, not used
};
// By item ID, compared exactly (case-sensitive).
using OpcItemMap = std::map<std::string, OpcItem>;

// The directory's service category of OPC DA 2.0 servers.
constexpr char kOpcDaServerCategory[] = "{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
// The one group the module adds on every server.
constexpr char kOpcGroupName[] = "MORVACALC";

class COPCDAServer {
public:
    // `localComputerName`: a host equal to it (ASCII case ignored) is this
    // computer.
    explicit COPCDAServer(const std::string& localComputerName);
    // Revokes the group's and then the server's table entries, which drops
    // the module's last references to them.
    ~COPCDAServer();
    COPCDAServer(const COPCDAServer&) = delete;
    COPCDAServer& operator=(const COPCDAServer&) = delete;

    // Reads the data source's "ProgID", "Host", "OPCCache" and
    // "OPCbadStatus", creates the server and adds the group. A failure code
    // comes with its message in errorText; the object is then of no use.
    HRESULT ConnectFromDataSource(const std::string& dataSource, std::string& errorText);
    // The server's CLSID: from this computer's registry for a local host,
    // else from the node's server browser (or, without one, from this
    // computer's registry).
    bool ResolveServerClsid(const std::string& host, const std::string& progId, CLSID* clsid,
                            std::string& errorText);
    // Creates the server object on the host and registers it; pauses one
    // second after every successful creation.
    HRESULT Connect(REFCLSID clsid, const std::string& host, std::string& errorText);
    HRESULT AddGroup(std::string& errorText);
    // The item's entry, added to the group first when new; false with
    // errorText when the server refused it. Called under the object's lock.
    bool AddItem(const std::string& itemId, OpcItem*& item, std::string& errorText);

    // Reads the items, in their order, into the three outputs (emptied
    // first). A failure leaves them empty and says why in errorText.
    HRESULT ReadOpcItems(const std::vector<std::string>& itemIds, std::vector<mv::Variant>& values,
                         std::vector<WORD>& qualities, std::vector<FILETIME>& timeStamps,
                         std::string& errorText);
    // Writes values[i] to itemIds[i]. A success code other than S_OK comes
    // back with a message in errorText.
    HRESULT WriteOpcItems(const std::vector<std::string>& itemIds, VARIANT* values,
                          std::string& errorText);

    const std::string& DataSourceName() const noexcept { return m_DataSourceName; }
    bool UseCache() const noexcept { return m_UseCache != 0; }
    bool BadStatusOnItemError() const noexcept { return m_BadStatusOnItemError != 0; }
    bool IsReady() const noexcept { return m_ServerCookie != 0 && m_GroupCookie != 0; }

private:
    // The Global Interface Table operations, each under g_csOpcGIT.
    static HRESULT SetOPCServerInterface(IUnknown* unknown, DWORD* cookie);
    static mv::ComPtr<IUnknown> GetOpcServerInterface(DWORD cookie);
    static void RemoveOpcInterface(DWORD* cookie);

    bool IsLocalHost(const std::string& host) const;
    // The server's text for an item's error, or the system's.
    std::string ItemErrorText(HRESULT error);
    // Group lookup and items of one read or write; E_FAIL with errorText.
    HRESULT PrepareItems(const std::vector<std::string>& itemIds, mv::ComPtr<IOPCSyncIO>& io,
                         std::vector<OPCHANDLE>& handles, std::string& errorText);
    HRESULT ReadLocked(const std::vector<std::string>& itemIds, std::vector<mv::Variant>& values,
                       std::vector<WORD>& qualities, std::vector<FILETIME>& timeStamps,
                       std::string& errorText);
    HRESULT WriteLocked(const std::vector<std::string>& itemIds, VARIANT* values,
                        std::string& errorText);

    std::string m_LocalComputerName;
    std::string m_DataSourceName;
    LONG m_UseCache = 0;
    LONG m_BadStatusOnItemError = 0;
    DWORD m_ServerCookie = 0;
    DWORD m_GroupCookie = 0;
    OpcItemMap m_Items;
    CRITICAL_SECTION m_Lock;
};

// The system's message for hr (as the system gives it), or "hr=<signed
// decimal>" when it has none.
std::string FormatHResultText(HRESULT hr);
