// Shared set-up of the OPC client tests: the directory and OPC stand-ins
// registered, a second node, the one-second pause counted instead of waited
// for, and data sources under the OPC DA 2.0 category.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "dsa_locator_sim.h"
#include "opc_server_sim.h"
#include "sources/opc_da_server.h"

namespace opctest {

// The remote node of the tests, and the name tests give this computer.
constexpr char kRemote[] = "NODE2";
constexpr char kLocal[] = "PLANT1";

// Pauses of one second taken since the fixture's set-up.
inline std::atomic<int> g_pauses{0};

inline FILETIME Stamp(DWORD low) {
    return FILETIME{low, 0x01DB0000};
}

// The stand-ins registered and the pause counted; and undone again.
inline void StartOpcWorld() {
    dsasim::Reset();
    ASSERT_EQ(dsasim::Register(), S_OK);
    ASSERT_EQ(opcsim::Register(), S_OK);
    opcsim::RegisterNode(kRemote);
    opcsim::Reset();
    g_pauses = 0;
    mv::SetSleepForTesting([](DWORD ms) { g_pauses += ms == 1000 ? 1 : 0; });
}
inline void StopOpcWorld() {
    mv::SetSleepForTesting(nullptr);
    opcsim::UnregisterNode(kRemote);
    opcsim::Revoke();
    opcsim::Reset();
    dsasim::Revoke();
    dsasim::Reset();
}

// A data source of the OPC DA 2.0 category; a null flag is left unset.
inline void AddOpcSource(const std::string& name, const std::string& host,
                         const char* cache = nullptr, const char* badStatus = nullptr,
                         const std::string& progId = opcsim::kProgId) {
    dsasim::AddDataSource(kOpcDaServerCategory, name);
    auto set = [&](const char* property, const std::string& text) {
        dsasim::SetProperty(kOpcDaServerCategory, name, property,
                            mv::Variant(std::u16string_view(mv::ToUtf16(text))));
    };
    set("ProgID", progId);
    set("Host", host);
    if (cache) set("OPCCache", cache);
    if (badStatus) set("OPCbadStatus", badStatus);
}

class OpcFixture : public ::testing::Test {
protected:
    void SetUp() override { StartOpcWorld(); }
    void TearDown() override { StopOpcWorld(); }
    static void AddSource(const std::string& name, const std::string& host,
                          const char* cache = nullptr, const char* badStatus = nullptr,
                          const std::string& progId = opcsim::kProgId) {
        AddOpcSource(name, host, cache, badStatus, progId);
    }
};

}  // namespace opctest
