// The process-data manager against the process-data stand-in.
#include "bindings/data_manager.h"

#include <memory>

#include "binding_test_support.h"
#include "process_data_sim.h"

namespace {

using bindtest::B;
using bindtest::LogMark;
using procdata::Op;

class DataManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        procdata::Reset();
        ASSERT_EQ(procdata::Register(), S_OK);
        for (const char* ds : {"DS1", "DS2", "DS3"}) {
            procdata::AddDataSource(ds);
            procdata::AddPlantTag(ds, "FLOW");
        }
    }
    void TearDown() override {
        procdata::Revoke();
        procdata::Reset();
        EXPECT_EQ(procdata::LiveInstances(), 0);
    }
};

TEST_F(DataManagerTest, InitializeCreatesOnceWithTheAccountAndSynchronousReads) {
    MvDataManager manager;
    EXPECT_FALSE(manager.HasComponent());
    ASSERT_EQ(manager.InitializeManager(), S_OK);
    EXPECT_TRUE(manager.HasComponent());
    auto calls = procdata::UserDomainCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].token, mv::GuidToString(MvDataManagerCallerToken()));
    EXPECT_EQ(calls[0].token.size(), 38u);
    EXPECT_FALSE(calls[0].user.empty());
    EXPECT_EQ(procdata::SynchronousSwitches(), 1);

    LogMark log;
    EXPECT_EQ(manager.InitializeManager(), S_OK);
    EXPECT_EQ(log.Count("MvDataManager::InitializeManager: S_OK"), 1u);
    EXPECT_EQ(log.Count("MvDataManager::Initialize: already initialized"), 1u);
    EXPECT_EQ(procdata::Creations(), 1);
}

TEST_F(DataManagerTest, InitializeFailuresAndWhatTheyKeep) {
    struct Row {
        Op op;
        const char* message;
        bool keepsComponent;
        int synchronous;
    } rows[] = {
        {Op::Create, "Unable to create component: MvProcessData::DataSources", false, 0},
        {Op::SetUserDomain, "Failed call to MvProcessData::IMvDataSources::SetUserDomain", true, 0},
        {Op::AsynchronousEnabled,
         "Failed call to MvProcessData::IMvDataSources::put_AsynchronousEnabled", true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        procdata::SetFailure(row.op, E_ACCESSDENIED);
        int before = procdata::SynchronousSwitches();
        MvDataManager manager;
        LogMark log;
        EXPECT_EQ(manager.InitializeManager(), E_ACCESSDENIED);
        EXPECT_EQ(log.Count(row.message), 1u);
        EXPECT_EQ(manager.HasComponent(), row.keepsComponent);
        EXPECT_EQ(procdata::SynchronousSwitches() - before, row.synchronous);
        procdata::SetFailure(row.op, S_OK);
        // The next call either creates the component or finds it held.
        EXPECT_EQ(manager.InitializeManager(), S_OK);
        EXPECT_TRUE(manager.HasComponent());
    }
}

TEST_F(DataManagerTest, CheckTagValidOutcomes) {
    struct Row {
        const char* name;
        const char* dataSource;
        const char* tag;
        Op failing;  // Op::Create when nothing is injected
        HRESULT failure;
        HRESULT expect;
        const char* message;  // "" when no error line is expected
        bool tagsAdded;
    } rows[] = {
        {"known tag", "DS2", "FLOW", Op::Create, S_OK, S_OK, "", true},
        {"names ignore case", "ds2", "flow", Op::Create, S_OK, S_OK, "", true},
        {"tag the source lacks", "DS2", "LEVEL", Op::Create, S_OK, E_INVALIDARG,
         "Invalid tag( LEVEL ) for data source( DS2 )", true},
        {"unknown data source", "DS9", "FLOW", Op::Create, S_OK, E_INVALIDARG,
         "Invalid data source( DS9 ) for tag( FLOW )", false},
        {"tags collection refused", "DS2", "FLOW", Op::Tags, E_FAIL, E_FAIL,
         "MvProcessData::IMvDataSource::get_Tags", false},
        {"component cannot be created", "DS2", "FLOW", Op::Create, REGDB_E_CLASSNOTREG,
         REGDB_E_CLASSNOTREG, "Unable to create component: MvProcessData::DataSources", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.failure != S_OK) procdata::SetFailure(row.failing, row.failure);
        {
            MvDataManager manager;
            LogMark log;
            EXPECT_EQ(manager.CheckTagValid(B(row.dataSource).get(), B(row.tag).get()), row.expect);
            if (*row.message) {
                EXPECT_EQ(log.Count(row.message), 1u) << log.Lines();
            }
            EXPECT_EQ(manager.TagsAdded(), row.tagsAdded);
            if (row.expect == S_OK) {
                EXPECT_EQ(procdata::CollectedTags("DS2"), std::vector<std::string>{"FLOW"});
                // A second check finds the tag collected and adds nothing.
                EXPECT_EQ(manager.CheckTagValid(B(row.dataSource).get(), B(row.tag).get()), S_OK);
                EXPECT_EQ(procdata::CollectedTags("DS2").size(), 1u);
            }
        }
        // Destroying the manager removed what it added.
        EXPECT_TRUE(procdata::CollectedTags("DS2").empty());
        EXPECT_EQ(procdata::LiveInstances(), 0);
        procdata::SetFailure(row.failing, S_OK);
    }
}

TEST_F(DataManagerTest, FreeTagsWalksEveryDataSourceUntilOneFails) {
    struct Row {
        const char* name;
        bool addTags;
        const char* failingSource;  // RemoveAll fails there; "" for none
        HRESULT expect;
        size_t tagsLeftInDs3;
    } rows[] = {
        {"nothing added", false, "DS1", S_OK, 0},
        {"every source emptied", true, "", S_OK, 0},
        {"second of three fails", true, "DS2", E_FAIL, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (*row.failingSource) procdata::SetFailure(Op::RemoveAll, E_FAIL, row.failingSource);
        auto manager = std::make_unique<MvDataManager>();
        if (row.addTags) {
            for (const char* ds : {"DS1", "DS2", "DS3"})
                ASSERT_EQ(manager->CheckTagValid(B(ds).get(), B("FLOW").get()), S_OK);
        }
        LogMark log;
        EXPECT_EQ(manager->FreeTags(), row.expect);
        EXPECT_EQ(procdata::CollectedTags("DS3").size(), row.tagsLeftInDs3);
        if (FAILED(row.expect)) {
            EXPECT_EQ(log.Count("MvProcessData::IMvTags::RemoveAll"), 1u);
        }
        procdata::SetFailure(Op::RemoveAll, S_OK);
        manager.reset();
    }
}

// An operation that returns before its normal end, failed or not, writes
// its start line and no end line.
TEST_F(DataManagerTest, StepEndLinesOnlyAtTheNormalEnd) {
    struct Row {
        const char* name;
        const char* tag;          // checked in DS2 after FLOW was checked there
        const char* removeFails;  // RemoveAll fails in that data source; "" for none
        size_t checkEnds, addTagsEnds, freeTagsEnds;
    } rows[] = {
        {"tag found in the collection", "FLOW", "", 1, 0, 1},
        {"tag added", "LEVEL2", "", 1, 1, 1},
        {"tag refused", "NOPE", "", 1, 1, 1},
        {"data source unknown", nullptr, "", 0, 0, 1},
        {"RemoveAll fails", "FLOW", "DS1", 1, 0, 0},
    };
    procdata::AddPlantTag("DS2", "LEVEL2");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MvDataManager manager;
        ASSERT_EQ(manager.CheckTagValid(B("DS2").get(), B("FLOW").get()), S_OK);
        if (*row.removeFails) procdata::SetFailure(Op::RemoveAll, E_FAIL, row.removeFails);
        LogMark log(false, true);
        manager.CheckTagValid(B(row.tag ? "DS2" : "DS9").get(),
                              B(row.tag ? row.tag : "FLOW").get());
        manager.FreeTags();
        procdata::SetFailure(Op::RemoveAll, S_OK);
        EXPECT_EQ(log.Count("MvDataManager::CheckTagValid( Function - Start )"), 1u);
        EXPECT_EQ(log.Count("MvDataManager::CheckTagValid( Function - End )"), row.checkEnds);
        EXPECT_EQ(log.Count("MvDataManager::AddTags( Function - End )"), row.addTagsEnds);
        EXPECT_EQ(log.Count("MvDataManager::FreeTags( Function - End )"), row.freeTagsEnds);
    }
}

TEST_F(DataManagerTest, StepLinesOfAManagerThatNeverCreatedTheComponent) {
    LogMark log(false, true);
    { MvDataManager manager; }
    EXPECT_EQ(log.Count("MvDataManager::~MvDataManager( Function - Start )"), 1u);
    EXPECT_EQ(log.Count("MvDataManager::FreeTags( Function - Start )"), 1u);
    // Both left early: no end lines.
    EXPECT_EQ(log.Count("Function - End"), 0u);
    EXPECT_EQ(procdata::Creations(), 0);
}

}  // namespace
