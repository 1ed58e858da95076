#include "frame/opc_registry.h"

#include "sources/opc_servers.h"

OPCServers* g_OPCServers = nullptr;

void CreateOPCServers() {
    try {
        g_OPCServers = new OPCServers();
    } catch (...) {
        g_OPCServers = nullptr;
    }
}

void DestroyOPCServers() {
    delete g_OPCServers;
    g_OPCServers = nullptr;
}
