// Schedule groups and their calculation references as a client uses them:
// properties and persistence, the member loops, and references that find
// their calculations through the active-calculation cache.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "../environment/environment_test_support.h"
#include "../persistence/persist_test_class.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvPersistXML.h"
#include "interfaces/IMvScheduleGroup.h"
#include "scheduling/schedule_group.h"

namespace {

using namespace envtest;

int64_t FixedClock() {
    return 1710497100000000;  // 2024-03-15 10:05:00 UTC
}

// A member that records its runs and may act on the group while it runs.
class RecordingRef : public mv::ComObjectRoot<RecordingRef>,
                     public mv::DispatchImpl<IMvCalculationRef>,
                     public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalculationRef, mv::Via<IDispatch, IMvCalculationRef>, IMvCalcName>;
    std::string name;
    std::vector<std::string>* log = nullptr;
    std::function<void()> during;

    HRESULT get_Name(BSTR* p) override {
        *p = B(name).Detach();
        return S_OK;
    }
    HRESULT put_Name(BSTR v) override {
        name = mv::ToUtf8(v);
        return S_OK;
    }
    HRESULT Calculate() override { return Record("run"); }
    HRESULT SetOnSchedule() override { return Record("on"); }
    HRESULT GetCalculationIndex(LONG* i) override {
        *i = -1;
        return E_FAIL;
    }
    HRESULT CalculateStoreForward(VARIANT_BOOL, IMvScheduleGroup*) override {
        return Record("calculate");
    }
    HRESULT CalculateMissingHistory(VARIANT_BOOL, IMvScheduleGroup*) override { return E_NOTIMPL; }
    HRESULT CheckStoreForward(VARIANT_BOOL, IMvScheduleGroup*, VARIANT_BOOL force) override {
        return Record(force ? "check forced" : "check");
    }
    HRESULT get_ObjectName(BSTR* p) override { return get_Name(p); }
    HRESULT put_ObjectName(BSTR v) override { return put_Name(v); }

private:
    HRESULT Record(const char* what) {
        log->push_back(name + " " + what);
        if (during) during();
        return E_FAIL;  // the loops drop members' results
    }
};

class ScheduleGroupTest : public EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        Serve(CLSID_MvScheduleGroup);
        Serve(CLSID_MvCalculationRef);
    }
    static mv::ComPtr<IMvScheduleGroup> NewGroup(const char* name = "G") {
        auto group = Create<IMvScheduleGroup>(CLSID_MvScheduleGroup);
        group->put_Name(B(name).get());
        return group;
    }
    mv::ComPtr<mv::ComObject<RecordingRef>> AddRecording(IMvScheduleGroup* group,
                                                         const char* name) {
        mv::ComPtr<mv::ComObject<RecordingRef>> ref;
        EXPECT_EQ(mv::MakeComObject(&ref), S_OK);
        ref->name = name;
        ref->log = &log_;
        mv::ComPtr<IMvObjCollection> members;
        group->get_Calculations(members.Put());
        EXPECT_EQ(members->Add(B(name).get(), static_cast<IMvCalculationRef*>(ref.get())), S_OK);
        return ref;
    }
    static DATE Number(IMvScheduleGroup* group, HRESULT (IMvScheduleGroup::*get)(DATE*)) {
        DATE value = -1;
        EXPECT_EQ((group->*get)(&value), S_OK);
        return value;
    }
    std::vector<std::string> log_;
};

TEST_F(ScheduleGroupTest, ClassificationFollowsTheDayFieldsTheRateAndTheBuiltinSchedule) {
    struct Row {
        LONG builtin, dayOfMonth, dayOfWeek;
        double rate;
        bool day, dayWeekOrMonth;
    } const rows[] = {
        {864000, 0, 0, 0.0, true, true},  {0, 0, 0, 1.0, true, true},
        {1, 0, 0, 1.0, true, true},       {0, 0, 0, 0.99, false, false},
        {2, 0, 0, 7.0, false, false},     {0, -1, 0, 0.0, false, true},
        {0, 0, 3, 1.0 / 24, false, true}, {0, 0, 0, -2.0, false, false},
    };
    auto group = NewGroup();
    for (const Row& r : rows) {
        group->put_BuiltinSchedule(r.builtin);
        group->put_ScheduleDayOfMonth(r.dayOfMonth);
        group->put_ScheduleDayOfWeek(r.dayOfWeek);
        group->put_ScheduleRate(r.rate);
        VARIANT_BOOL day = 0, any = 0;
        EXPECT_EQ(group->IsScheduleDay(&day), S_OK);
        EXPECT_EQ(group->IsDayWeekOrMonth(&any), S_OK);
        EXPECT_EQ(day, r.day ? VARIANT_TRUE : VARIANT_FALSE) << r.builtin << " " << r.rate;
        EXPECT_EQ(any, r.dayWeekOrMonth ? VARIANT_TRUE : VARIANT_FALSE)
            << r.builtin << " " << r.rate;
    }
    EXPECT_EQ(group->IsScheduleDay(nullptr), E_POINTER);
    EXPECT_EQ(group->IsDayWeekOrMonth(nullptr), E_POINTER);
    EXPECT_EQ(group->get_ScheduleRate(nullptr), E_POINTER);
    EXPECT_EQ(group->get_Name(nullptr), E_POINTER);
    EXPECT_EQ(group->AddCalculation(B("X").get(), nullptr), E_POINTER);
    EXPECT_EQ(group->CalculateMissingHistory(VARIANT_TRUE), E_NOTIMPL);
}

TEST_F(ScheduleGroupTest, GroupsSavedAsACollectionReloadWithEveryMappedProperty) {
    auto groups = Create<IMvObjCollection>(CLSID_MvObjCollection);
    for (const char* name : {"Hourly", "Monthly"}) {
        auto group = NewGroup(name);
        group->put_BuiltinSchedule(-5);
        group->put_ScheduleDayOfMonth(-1);
        group->put_ScheduleDayOfWeek(9);
        group->put_ScheduleRate(1.0 / 24);
        group->put_ScheduleOffset(0.25);
        group->put_LastRunTime(45366.5);
        group->put_NextRunTime(45366.75);
        group->put_RunTimeRate(0.5);
        group->put_ExecutionTime(17);
        group->put_ComputedRunTime(45367.0);
        group->put_Next_GMT_RunTime(45367.25);
        group->put_Last_GMT_RunTime(45366.25);
        group->put_FirstRunTime(45000.0);
        group->put_OdmStatusXml(B("<odm/>").get());
        mv::ComPtr<IMvCalculationRef> ref;
        ASSERT_EQ(group->AddCalculation(B(std::string(name) + "Calc").get(), ref.Put()), S_OK);
        group->put_Last_GMT_ModifiedTime(45300.0);
        ASSERT_EQ(groups->Add(B(name).get(), group.get()), S_OK);
    }
    fs::create_directories(base_ / "bin");
    const std::string file = (base_ / "bin" / "Schedules.mvc").string();
    mv::ComPtr<IMvPersistFile> persist;
    ASSERT_EQ(groups.As(&persist), S_OK);
    ASSERT_EQ(persist->SaveToFile(B(file).get()), S_OK);
    // One stream "L", read by an independent reader.
    const std::string listing = ReadWithOlefile(file);
    EXPECT_EQ(listing.rfind("L=01", 0), 0u) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 1) << listing;

    auto loaded = Create<IMvObjCollection>(CLSID_MvObjCollection);
    ASSERT_EQ(loaded.As(&persist), S_OK);
    ASSERT_EQ(persist->LoadFromFile(B(file).get()), S_OK);
    LONG count = 0;
    loaded->get_Count(&count);
    ASSERT_EQ(count, 2);
    mv::ComPtr<IDispatch> item;
    ASSERT_EQ(loaded->ItemByName(B("monthly").get(), item.Put()), S_OK);
    mv::ComPtr<IMvScheduleGroup> group;
    ASSERT_EQ(item.As(&group), S_OK);
    LONG builtin = 0, dayOfMonth = 0, dayOfWeek = 0, execution = 0, priority = 7;
    group->get_BuiltinSchedule(&builtin);
    group->get_ScheduleDayOfMonth(&dayOfMonth);
    group->get_ScheduleDayOfWeek(&dayOfWeek);
    group->get_ExecutionTime(&execution);
    group->get_ProcessingPriority(&priority);
    EXPECT_EQ(std::vector<LONG>({builtin, dayOfMonth, dayOfWeek, execution, priority}),
              std::vector<LONG>({-5, -1, 9, 17, 0}));
    EXPECT_EQ(
        std::vector<DATE>({Number(group.get(), &IMvScheduleGroup::get_ScheduleRate),
                           Number(group.get(), &IMvScheduleGroup::get_ScheduleOffset),
                           Number(group.get(), &IMvScheduleGroup::get_LastRunTime),
                           Number(group.get(), &IMvScheduleGroup::get_NextRunTime),
                           Number(group.get(), &IMvScheduleGroup::get_RunTimeRate),
                           Number(group.get(), &IMvScheduleGroup::get_ComputedRunTime),
                           Number(group.get(), &IMvScheduleGroup::get_Next_GMT_RunTime),
                           Number(group.get(), &IMvScheduleGroup::get_Last_GMT_RunTime),
                           Number(group.get(), &IMvScheduleGroup::get_FirstRunTime),
                           Number(group.get(), &IMvScheduleGroup::get_Last_GMT_ModifiedTime)}),
        std::vector<DATE>(
            {1.0 / 24, 0.25, 45366.5, 45366.75, 0.5, 45367.0, 45367.25, 45366.25, 0.0, 45300.0}));
    mv::Bstr name, odm;
    group->get_Name(name.Out());
    group->get_OdmStatusXml(odm.Out());
    EXPECT_EQ(name.Utf8(), "Monthly");
    EXPECT_EQ(odm.Utf8(), "");
    mv::ComPtr<IMvCalculationRef> ref;
    EXPECT_EQ(group->GetCalculation(B("MONTHLYCALC").get(), ref.Put()), S_OK);

    // Loading into a group with members leaves only the stored ones.
    auto target = NewGroup("Target");
    mv::ComPtr<IMvCalculationRef> extra;
    target->AddCalculation(B("Extra").get(), extra.Put());
    mv::ComPtr<IPersistStream> from, into;
    ASSERT_EQ(group.As(&from), S_OK);
    ASSERT_EQ(target.As(&into), S_OK);
    mv::ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(from->Save(stream.get(), TRUE), S_OK);
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(into->Load(stream.get()), S_OK);
    mv::ComPtr<IMvObjCollection> members;
    target->get_Calculations(members.Put());
    members->get_Count(&count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(target->GetCalculation(B("Extra").get(), extra.Put()), E_FAIL);
    EXPECT_FALSE(extra);
}

TEST_F(ScheduleGroupTest, GroupsSavedAsXmlReloadWithTheirScheduleAndMembers) {
    auto group = NewGroup("Monthly");
    group->put_BuiltinSchedule(1);
    group->put_ScheduleDayOfMonth(31);
    group->put_ScheduleDayOfWeek(3);
    group->put_ScheduleRate(1.0 / 24);
    group->put_ScheduleOffset(1.25);
    group->put_LastRunTime(45366.5);
    group->put_Last_GMT_RunTime(45366.25);
    group->put_ExecutionTime(17);
    for (const char* name : {"First", "Second"}) {
        mv::ComPtr<IMvCalculationRef> ref;
        ASSERT_EQ(group->AddCalculation(B(name).get(), ref.Put()), S_OK);
    }
    mv::ComPtr<IMvPersistXML> from, into;
    ASSERT_EQ(group.As(&from), S_OK);
    auto doc = ParseXml(u"<ScheduleGroup/>");
    ASSERT_EQ(from->SaveXML(RootOf(doc.get()).get()), S_OK);
    const std::u16string xml = XmlOf(RootOf(doc.get()).get());

    // Loading into a group with other members and values leaves the saved ones.
    auto target = NewGroup("Target");
    target->put_ScheduleDayOfMonth(-1);
    target->put_ScheduleOffset(0.5);
    mv::ComPtr<IMvCalculationRef> extra;
    target->AddCalculation(B("Extra").get(), extra.Put());
    ASSERT_EQ(target.As(&into), S_OK);
    ASSERT_EQ(into->LoadXML(RootOf(ParseXml(xml).get()).get()), S_OK);
    LONG builtin = 0, dayOfMonth = 0, dayOfWeek = 0, execution = 0;
    target->get_BuiltinSchedule(&builtin);
    target->get_ScheduleDayOfMonth(&dayOfMonth);
    target->get_ScheduleDayOfWeek(&dayOfWeek);
    target->get_ExecutionTime(&execution);
    EXPECT_EQ(std::vector<LONG>({builtin, dayOfMonth, dayOfWeek, execution}),
              std::vector<LONG>({1, 31, 3, 17}));
    EXPECT_EQ(std::vector<DATE>({Number(target.get(), &IMvScheduleGroup::get_ScheduleRate),
                                 Number(target.get(), &IMvScheduleGroup::get_ScheduleOffset),
                                 Number(target.get(), &IMvScheduleGroup::get_LastRunTime),
                                 Number(target.get(), &IMvScheduleGroup::get_Last_GMT_RunTime)}),
              std::vector<DATE>({1.0 / 24, 1.25, 45366.5, 45366.25}));
    mv::Bstr name;
    target->get_Name(name.Out());
    EXPECT_EQ(name.Utf8(), "Monthly");
    mv::ComPtr<IMvObjCollection> members;
    target->get_Calculations(members.Put());
    LONG count = 0;
    members->get_Count(&count);
    EXPECT_EQ(count, 2) << mv::ToUtf8(xml);
    for (const char* member : {"First", "SECOND"}) {
        mv::ComPtr<IMvCalculationRef> ref;
        EXPECT_EQ(target->GetCalculation(B(member).get(), ref.Put()), S_OK) << member;
    }
    EXPECT_EQ(target->GetCalculation(B("Extra").get(), extra.Put()), E_FAIL);
}

TEST_F(ScheduleGroupTest, LoopsRunEachMemberOnceInOrderAndSurviveRemovals) {
    auto group = NewGroup();
    auto a = AddRecording(group.get(), "A");
    auto b = AddRecording(group.get(), "B");
    AddRecording(group.get(), "C");
    EXPECT_EQ(group->Calculate(), S_OK);
    EXPECT_EQ(log_, std::vector<std::string>({"A run", "B run", "C run"}));

    log_.clear();
    EXPECT_EQ(group->CheckStoreForward(VARIANT_TRUE, VARIANT_FALSE), S_OK);
    EXPECT_EQ(group->CheckStoreForward(VARIANT_TRUE, VARIANT_TRUE), S_OK);
    EXPECT_EQ(group->CalculateStoreForward(VARIANT_TRUE), S_OK);
    EXPECT_EQ(group->SetOnSchedule(), S_OK);
    EXPECT_EQ(log_,
              std::vector<std::string>({"A check", "B check", "C check", "A check forced",
                                        "B check forced", "C check forced", "A calculate",
                                        "B calculate", "C calculate", "A on", "B on", "C on"}));

    // B's run removes A: C, which moved up, still runs; a removed later
    // member does not.
    log_.clear();
    b->during = [&] { group->RemoveCalculation(B("A").get()); };
    EXPECT_EQ(group->Calculate(), S_OK);
    EXPECT_EQ(log_, std::vector<std::string>({"A run", "B run", "C run"}));
    log_.clear();
    b->during = [&] { group->RemoveCalculation(B("C").get()); };
    EXPECT_EQ(group->Calculate(), S_OK);
    EXPECT_EQ(log_, std::vector<std::string>({"B run"}));
    EXPECT_EQ(group->RemoveCalculation(B("C").get()), E_FAIL);
}

TEST_F(ScheduleGroupTest, AddingSetsTheModifiedTimeAndRefusesANamePresentInOtherCase) {
    mv::SetClockForTesting(&FixedClock);
    auto group = NewGroup();
    mv::ComPtr<IMvCalculationRef> ref;
    ASSERT_EQ(group->AddCalculation(B("Flow").get(), ref.Put()), S_OK);
    ASSERT_TRUE(ref);
    const DATE added = Number(group.get(), &IMvScheduleGroup::get_Last_GMT_ModifiedTime);
    EXPECT_NEAR(added, 45366.0 + (10 * 60 + 5) / 1440.0, 1e-9);
    group->put_Last_GMT_ModifiedTime(1.0);
    EXPECT_EQ(group->AddCalculation(B("FLOW").get(), ref.Put()), E_FAIL);
    EXPECT_FALSE(ref);
    EXPECT_EQ(group->RemoveCalculation(B("flow").get()), S_OK);
    EXPECT_EQ(Number(group.get(), &IMvScheduleGroup::get_Last_GMT_ModifiedTime), 1.0);
    mv::SetClockForTesting(nullptr);

    VARIANT contents;
    VariantInit(&contents);
    EXPECT_EQ(group->ListContents(&contents), S_OK);
    EXPECT_EQ(contents.vt, VT_EMPTY);
    EXPECT_EQ(group->Calculate(), S_OK);
}

}  // namespace
