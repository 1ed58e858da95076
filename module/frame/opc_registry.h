// The process-wide OPC server registry: one OPC DA client per data source.
// For now it holds no servers; the OPC data bindings give it its content.
#pragma once

class OPCServers {
public:
    OPCServers() = default;
    ~OPCServers() = default;
    OPCServers(const OPCServers&) = delete;
    OPCServers& operator=(const OPCServers&) = delete;
};

// The registry, or null before start-up, after shut-down, or when it could
// not be allocated.
extern OPCServers* g_OPCServers;

// Allocates the registry (start-up); a failed allocation leaves it null.
void CreateOPCServers();
// Destroys the registry when it exists (shut-down); otherwise does nothing.
void DestroyOPCServers();
