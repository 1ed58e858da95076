// The process-wide OPC server registry (see sources/opc_servers.h): created
// at start-up, destroyed at unload. Made and dropped at the top of the module
// (module/opc_registry.cpp), which knows the registry's class.
#pragma once

class OPCServers;

// The registry, or null before start-up, after shut-down, or when it could
// not be created.
extern OPCServers* g_OPCServers;

// Creates the registry (start-up); a failed creation leaves it null.
void CreateOPCServers();
// Destroys the registry when it exists (shut-down), and with it every server
// it holds; otherwise does nothing.
void DestroyOPCServers();
