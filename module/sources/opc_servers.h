// OPCServers: the process-wide registry of the module's OPC server
// connections, one COPCDAServer per data-source name. All calculations share
// them: the registry connects a server on its first use and drops it after a
// read or write through it has failed, so that the next use connects again.
//
// A server is shared: every caller holds its own share for the time it reads
// or writes, and a server removed from the registry lives on until the last
// share goes. Lock order: the registry's lock, a server's lock, the OPC
// client's table lock.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sys.h"

class COPCDAServer;

class OPCServers {
public:
    // Reads the local computer's name; empty when it cannot be read.
    OPCServers();
    // Drops every server; runs at unload, when no calculation runs.
    ~OPCServers();
    OPCServers(const OPCServers&) = delete;
    OPCServers& operator=(const OPCServers&) = delete;

    // The server kept under the data-source name (compared exactly), or a
    // new one connected from the data source and kept. Null with errorText
    // when it cannot be created or connected; a failed connection keeps
    // nothing. Connecting a new server holds the registry's lock.
    std::shared_ptr<COPCDAServer> GetOrCreateOpcServer(const std::string& dataSource,
                                                       std::string& errorText);
    // Drops the entry of the data source while it still holds `failed`: a
    // server that another thread has connected since then stays.
    void RemoveServer(const std::string& dataSource, const std::shared_ptr<COPCDAServer>& failed);

    const std::string& ComputerName() const noexcept { return m_ComputerName; }
    // The server kept under the name now, or null.
    std::shared_ptr<COPCDAServer> Find(const std::string& dataSource);

private:
    std::string m_ComputerName;
    std::map<std::string, std::shared_ptr<COPCDAServer>> m_Servers;
    CRITICAL_SECTION m_Lock;
};

// The computer's name as the system gives it in a buffer of 16 characters;
// empty when it cannot be read.
void GetLocalComputerName(std::string& target);
