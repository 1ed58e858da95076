#include "frame/opc_servers_stub.h"

#include <new>

OPCServers* g_OPCServers = nullptr;

void CreateOPCServers() {
    g_OPCServers = new (std::nothrow) OPCServers();
}

void DestroyOPCServers() {
    delete g_OPCServers;
    g_OPCServers = nullptr;
}
