// The object-server thread: what its start-up makes of present, missing and
// failing servers, how it hands servers to other threads, stop and restart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exceptions.h"
#include "frame/hosted_servers.h"
#include "object_server_support.h"

namespace {

using hosted::Server;
using objserver_test::Adopt;
using objserver_test::ObjectServerTest;

constexpr char kCreateFailure[] = "Failed to create component. ";
constexpr char kTableMessage[] =
    " because the Microsoft COM Global Interface Table object is not instantiated.";

TEST(ObjectServerErrorMessage, SystemTextThenDispatchNumberThenUnknownCode) {
    struct Row {
        HRESULT hr;
        const char* expected;
    };
    const Row rows[] = {
        {E_FAIL, "Unspecified error"},
        {CO_E_CLASSSTRING, "Invalid class string"},
        {MV_HR(0x80040201), "IDispatch error #1"},
        {MV_HR(0x8004FFFF), "IDispatch error #65023"},
        {MV_HR(0x80040200), "Unknown error 0x80040200"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hr);
        EXPECT_EQ(ObjectServer_ErrorMessage(row.hr), row.expected);
    }
}

// One start-up situation and what the getters, the checks and the log show.
struct StartupCase {
    const char* name;
    unsigned registered;  // stand-ins made creatable
    HRESULT excelCreate;  // injected creation failure of the spreadsheet server
    HRESULT apartmentFailure;
    HRESULT tableFailure;
    bool steps;
    // Expected
    bool excel, ado, controlRecipe, dataAccess;
    HRESULT excelCheck;
    std::string excelText;
    HRESULT adoCheck;
    std::string adoText;
    int createErrorLines;  // Errors lines of CreateDispatchObject
    int stepLines;         // recipe lines under Steps
    int initErrorLines;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const StartupCase& c, std::ostream* os) { *os << c.name; }
};

std::string RecipeStep(const char* progId) {
    return "CVB_ObjectServer::CreateDispatchObject( Failed to create component. Invalid class "
           "string (COM ProgId = " +
           std::string(progId) + ") )";
}

class ObjectServerStartup : public ObjectServerTest,
                            public ::testing::WithParamInterface<StartupCase> {};

TEST_P(ObjectServerStartup, GettersChecksAndLogFollowWhatStartedUp) {
    const StartupCase& c = GetParam();
    ASSERT_EQ(hosted::RegisterServers(c.registered), S_OK);
    hosted::SetCreateFailure(Server::Excel, c.excelCreate);
    ObjectServer_SetStartupFailuresForTesting(c.apartmentFailure, c.tableFailure);
    g_DiagnosticLog.m_Flags[LogSteps] = c.steps ? 1 : 0;

    auto excel = Adopt(ObjectServer_GetExcelServer());
    auto ado = Adopt(ObjectServer_GetAdoServer());
    auto control = Adopt(ObjectServer_GetControlRecipeServer());
    auto data = Adopt(ObjectServer_GetDataAccessServer());
    EXPECT_EQ(static_cast<bool>(excel), c.excel);
    EXPECT_EQ(static_cast<bool>(ado), c.ado);
    EXPECT_EQ(static_cast<bool>(control), c.controlRecipe);
    EXPECT_EQ(static_cast<bool>(data), c.dataAccess);

    CharString text;
    text = "left over";
    EXPECT_EQ(ObjectServer_CheckExcelServer(text), c.excelCheck);
    EXPECT_STREQ(text.CStr(), c.excelText.c_str());
    EXPECT_EQ(ObjectServer_CheckAdoServer(text), c.adoCheck);
    EXPECT_STREQ(text.CStr(), c.adoText.c_str());

    EXPECT_EQ(LinesWith("CVB_ObjectServer::CreateDispatchObject: "), c.createErrorLines);
    EXPECT_EQ(LinesWith("CVB_ObjectServer::CreateDispatchObject( "), c.stepLines);
    EXPECT_EQ(LinesWith("CVB_ObjectServer::InitInstance: "), c.initErrorLines);
    if (c.stepLines > 0) {
        EXPECT_EQ(LinesWith(RecipeStep("MvDRVSVR.IConfiguration")), 1);
        EXPECT_EQ(LinesWith(RecipeStep("MvDRVSVR.IDataAccess")), 1);
    }
    // The servers that were created live on the object-server thread's table.
    EXPECT_EQ(hosted::LiveObjects(Server::Excel), c.excel ? 1 : 0);
}

const std::string kExcelMissing = "Error calling Morva Calc Excel Server interface. " +
                                  std::string(kCreateFailure) +
                                  "Invalid class string (COM ProgId = MvFunctions.clsExcelServer)";
const std::string kExcelOutOfMemory =
    "Error calling Morva Calc Excel Server interface. " + std::string(kCreateFailure) +
    ObjectServer_ErrorMessage(E_OUTOFMEMORY) + " (COM ProgId = MvFunctions.clsExcelServer)";

INSTANTIATE_TEST_SUITE_P(
    Cases, ObjectServerStartup,
    ::testing::Values(
        StartupCase{"AllServers", hosted::kAllServers, S_OK, S_OK, S_OK, false, true, true, true,
                    true, S_OK, "", S_OK, "", 0, 0, 0},
        StartupCase{"NoRecipeProductWithSteps", hosted::kFunctionServers, S_OK, S_OK, S_OK, true,
                    true, true, false, false, S_OK, "", S_OK, "", 0, 3, 0},
        StartupCase{"SpreadsheetNotRegistered", hosted::kAllServers & ~hosted::Bit(Server::Excel),
                    S_OK, S_OK, S_OK, false, false, true, true, true, CO_E_CLASSSTRING,
                    kExcelMissing, S_OK, "", 2, 0, 0},
        StartupCase{"SpreadsheetCreationFails", hosted::kAllServers, E_OUTOFMEMORY, S_OK, S_OK,
                    false, false, true, true, true, E_OUTOFMEMORY, kExcelOutOfMemory, S_OK, "", 2,
                    0, 0},
        StartupCase{"TableFails", hosted::kAllServers, S_OK, S_OK, E_FAIL, false, false, false,
                    false, false, E_NOINTERFACE,
                    "Could not create Morva Calc Excel Server" + std::string(kTableMessage) +
                        " Unspecified error",
                    E_NOINTERFACE,
                    "Could not create Morva Calc ADO Server" + std::string(kTableMessage) +
                        " Unspecified error",
                    0, 0, 0},
        StartupCase{"TableWithoutInterface", hosted::kAllServers, S_OK, S_OK, E_NOINTERFACE, false,
                    false, false, false, false, E_NOINTERFACE,
                    "Could not create Morva Calc Excel Server" + std::string(kTableMessage),
                    E_NOINTERFACE,
                    "Could not create Morva Calc ADO Server" + std::string(kTableMessage), 0, 0, 0},
        StartupCase{"ApartmentFails", hosted::kAllServers, S_OK, E_FAIL, S_OK, false, false, false,
                    false, false, E_NOINTERFACE,
                    "Could not create Morva Calc Excel Server" + std::string(kTableMessage) +
                        " CVB_ObjectServer::InitInstance : Failed to initialize the Microsoft "
                        "COM layer. Unspecified error",
                    E_NOINTERFACE,
                    "Could not create Morva Calc ADO Server" + std::string(kTableMessage) +
                        " CVB_ObjectServer::InitInstance : Failed to initialize the Microsoft "
                        "COM layer. Unspecified error",
                    0, 0, 2}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return info.param.name; });

TEST_F(ObjectServerTest, StopReleasesTheServersAndTheNextGetterStartsThemAgain) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    auto first = Adopt(ObjectServer_GetExcelServer());
    ASSERT_TRUE(first);
    EXPECT_EQ(hosted::LiveObjects(Server::Excel), 1);

    ObjectServer_Stop();
    EXPECT_EQ(g_pObjectServer, nullptr);
    // The proxy kept from before the stop is cut off, not dangling.
    mv::Bstr book(u"Plant.xls");
    BSTR text = book.get();
    try {
        ExcelServer_Call60030004(first.get(), &text);
        ADD_FAILURE() << "a call through a stopped server succeeded";
    } catch (const COleDispatchException& e) {
        EXPECT_EQ(e.m_scError, RPC_E_DISCONNECTED);
    }
    first.Reset();
    for (int i = 0; i < hosted::kServerCount; ++i)
        EXPECT_EQ(hosted::LiveObjects(static_cast<Server>(i)), 0) << hosted::ProgId(Server(i));

    auto second = Adopt(ObjectServer_GetExcelServer());
    ASSERT_TRUE(second);
    EXPECT_EQ(hosted::Creations(Server::Excel), 2);
    EXPECT_EQ(hosted::Creations(Server::DataAccess), 2);
    EXPECT_NO_THROW(ExcelServer_Call60030004(second.get(), &text));
}

TEST_F(ObjectServerTest, FailedLookupIsRecordedAndReportedByTheCheck) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    ObjectServer_EnsureStarted();
    ASSERT_NE(g_pObjectServer, nullptr);
    g_pObjectServer->RevokeFromGIT(g_pObjectServer->m_AdoServer.Cookie);

    EXPECT_EQ(ObjectServer_GetAdoServer(), nullptr);
    CharString text;
    HRESULT hr = ObjectServer_CheckAdoServer(text);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_STREQ(text.CStr(),
                 "Error calling Morva Calc ADO Server interface. Failed get component interface "
                 "from GIT.");
    // The spreadsheet server is untouched.
    EXPECT_EQ(ObjectServer_CheckExcelServer(text), S_OK);
    EXPECT_TRUE(text.IsEmpty());
}

TEST_F(ObjectServerTest, RecipeServersAreCreatedEvenWithoutGetterForConfiguration) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    auto control = Adopt(ObjectServer_GetControlRecipeServer());
    auto data = Adopt(ObjectServer_GetDataAccessServer());
    ASSERT_TRUE(control);
    ASSERT_TRUE(data);
    EXPECT_EQ(hosted::LiveObjects(Server::Configuration), 1);
    mv::Variant progId;
    ASSERT_EQ(mv::DispGetProperty(control.get(), 1, &progId), S_OK);
    EXPECT_EQ(mv::ToUtf8(progId.bstrVal), "MvDRVSVR.IControlRecipe");
    ASSERT_EQ(mv::DispGetProperty(data.get(), 1, &progId), S_OK);
    EXPECT_EQ(mv::ToUtf8(progId.bstrVal), "MvDRVSVR.IDataAccess");
}

}  // namespace
