#include "sources/opc_servers.h"

#include <new>

#include "sources/opc_da_server.h"

void GetLocalComputerName(std::string& target) {
    char buffer[16] = {};
    DWORD size = sizeof buffer;
    if (GetComputerNameA(buffer, &size))
        target.assign(buffer, size);
    else
        target.clear();
}

OPCServers::OPCServers() {
    GetLocalComputerName(m_ComputerName);
    InitializeCriticalSection(&m_Lock);
}

OPCServers::~OPCServers() {
    m_Servers.clear();
    DeleteCriticalSection(&m_Lock);
}

std::shared_ptr<COPCDAServer> OPCServers::GetOrCreateOpcServer(const std::string& dataSource,
                                                               std::string& errorText) {
    // Declared before the lock: a server that failed to connect is destroyed
    // after the lock is left.
    std::shared_ptr<COPCDAServer> server;
    mv::CriticalSectionLock lock(m_Lock);
    try {
        if (auto it = m_Servers.find(dataSource); it != m_Servers.end()) return it->second;
        try {
            server = std::make_shared<COPCDAServer>(m_ComputerName);
        } catch (const std::bad_alloc&) {
            errorText = "Create OPC server object failed.";
            return nullptr;
        }
        if (FAILED(server->ConnectFromDataSource(dataSource, errorText))) return nullptr;
        m_Servers[dataSource] = server;
        return server;
    } catch (...) {
        errorText = "Unexpected error getting OPC Server";
        return nullptr;
    }
}

void OPCServers::RemoveServer(const std::string& dataSource,
                              const std::shared_ptr<COPCDAServer>& failed) {
    std::shared_ptr<COPCDAServer> removed;
    {
        mv::CriticalSectionLock lock(m_Lock);
        auto it = m_Servers.find(dataSource);
        if (it != m_Servers.end() && it->second == failed) {
            removed = std::move(it->second);
            m_Servers.erase(it);
        }
    }
    // A last share goes here, outside the registry's lock.
}

std::shared_ptr<COPCDAServer> OPCServers::Find(const std::string& dataSource) {
    mv::CriticalSectionLock lock(m_Lock);
    auto it = m_Servers.find(dataSource);
    return it == m_Servers.end() ? nullptr : it->second;
}
