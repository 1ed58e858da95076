// The tag calls over the seeded tag table: lookups, the 600-byte buffers,
// rejections, and which build of the library the path finds.
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using corvex_test::CorvexFixture;

class CorvexTagCalls : public CorvexFixture {
protected:
    void SetUp() override {
        CorvexFixture::SetUp();
        CorvexSimTag any{"srv", -1, "FI101", "PV   ", "m3/h ", "PV_H  ", 11, 12, 13, 14, 15, -6};
        CorvexSimTag group12{"srv", 12, "TI7", "T", "C", "TH", 21, 22, 23, 24, 25, -12};
        ASSERT_EQ(CorvexSim_SeedTag(&any), 1);
        ASSERT_EQ(CorvexSim_SeedTag(&group12), 1);
        fieldUnitHist_ = Get<PFN_KeldrinFieldUnitHist>("KeldrinFieldUnitHist");
        validate_ = Get<PFN_KeldrinTagValidate3>("KeldrinTagValidate3");
        ASSERT_NE(fieldUnitHist_, nullptr);
        ASSERT_NE(validate_, nullptr);
    }

    // The three texts, or "rc=<result>" when the call failed.
    std::string Lookup(const char* server, LONG group, const char* tag) {
        std::vector<char> f(CORVEX_TEXT_BUFFER, 'x'), u(CORVEX_TEXT_BUFFER), h(CORVEX_TEXT_BUFFER);
        LONG rc = fieldUnitHist_(server, group, tag, f.data(), u.data(), h.data());
        if (rc != CORVEX_TAG_OK) {
            EXPECT_EQ(f[0], 'x');  // untouched
            return "rc=" + std::to_string(rc);
        }
        return std::string(f.data()) + "|" + u.data() + "|" + h.data();
    }

    // "ids ..." on success, else the rejection text.
    std::string Validate(const char* tag, LONG group, const char* field) {
        LONG v[8] = {-9, -9, -9, -9, -9, -9, -9, -9};
        mv::Variant r;
        static_cast<VARIANT&>(r) = validate_("SRV", group, tag, field, &v[0], &v[1], &v[2], &v[3],
                                             &v[4], &v[5], &v[6], "PV_H", &v[7]);
        if (r.vt == VT_BSTR) return mv::ToUtf8(r.bstrVal);
        EXPECT_EQ(r.vt, VT_EMPTY);
        std::string ids = "ids";
        for (LONG x : v) ids += " " + std::to_string(x);
        return ids;
    }

    PFN_KeldrinFieldUnitHist fieldUnitHist_ = nullptr;
    PFN_KeldrinTagValidate3 validate_ = nullptr;
};

TEST_F(CorvexTagCalls, LooksTagsUpByServerGroupAndName) {
    struct Row {
        const char* server;
        LONG group;
        const char* tag;
        const char* want;
    } rows[] = {
        {"srv", 200, "FI101", "PV   |m3/h |PV_H  "},  // trailing blanks as stored
        {"SRV", 0, "fi101", "PV   |m3/h |PV_H  "},
        {"srv", 12, "TI7", "T|C|TH"},
        {"srv", 200, "TI7", "rc=1"},  // seeded for group 12 only
        {"other", 200, "FI101", "rc=1"},
        {"srv", 200, "NOPE", "rc=1"},
        {nullptr, 200, "FI101", "rc=2"},
    };
    for (const Row& r : rows) EXPECT_EQ(Lookup(r.server, r.group, r.tag), r.want) << r.tag;
}

TEST_F(CorvexTagCalls, ValidatesTheFieldAndFillsTheIdentifiers) {
    struct Row {
        const char* tag;
        LONG group;
        const char* field;
        const char* want;
    } rows[] = {
        {"FI101", 200, "PV", "ids 11 12 13 14 -6 0 0 15"},
        {"fi101", 3, "pv   ", "ids 11 12 13 14 -6 0 0 15"},
        {"TI7", 12, "T", "ids 21 22 23 24 -12 0 0 25"},
        {"FI101", 200, "SP", "Field \"SP\" is not a field of tag \"FI101\""},
        {"TI7", 200, "T", "Tag \"TI7\" not found on server \"SRV\""},
    };
    for (const Row& r : rows) EXPECT_EQ(Validate(r.tag, r.group, r.field), r.want) << r.tag;
    LONG x = 0;
    mv::Variant r;
    static_cast<VARIANT&>(r) =
        validate_("srv", 1, "FI101", "PV", &x, &x, nullptr, &x, &x, &x, &x, "PV_H", &x);
    EXPECT_EQ(r.vt, VT_BSTR);
}

TEST_F(CorvexTagCalls, RejectsOnDemandAndCountsCalls) {
    CorvexSim_FailCall("KeldrinFieldUnitHist", CORVEXSIM_REJECT, 7, nullptr, 1);
    CorvexSim_FailCall("KeldrinTagValidate3", CORVEXSIM_REJECT, 0, "No access", -1);
    EXPECT_EQ(Lookup("srv", 200, "FI101"), "rc=7");
    EXPECT_EQ(Lookup("srv", 200, "FI101"), "PV   |m3/h |PV_H  ");  // once only
    EXPECT_EQ(Validate("FI101", 200, "PV"), "No access");
    EXPECT_EQ(Validate("FI101", 200, "PV"), "No access");  // until cleared
    CorvexSim_FailCall("KeldrinTagValidate3", 0, 0, nullptr, 0);
    EXPECT_EQ(Validate("FI101", 200, "PV"), "ids 11 12 13 14 -6 0 0 15");
    EXPECT_EQ(CorvexSim_CallCount("KeldrinFieldUnitHist"), 2);
    EXPECT_EQ(CorvexSim_CallCount("KeldrinTagValidate3"), 3);

    CorvexSim_FailCall("KeldrinFieldUnitHist", CORVEXSIM_THROW, 0, "boom", 1);
    std::vector<char> b(CORVEX_TEXT_BUFFER);
    EXPECT_THROW(fieldUnitHist_("srv", 200, "FI101", b.data(), b.data(), b.data()),
                 std::runtime_error);
}

TEST_F(CorvexTagCalls, CutsLongTextsToTheBuffer) {
    std::string longField(700, 'F');
    CorvexSimTag t{"srv", -1, "LONG", longField.c_str(), "", "", 1, 2, 3, 4, 5, 6};
    ASSERT_EQ(CorvexSim_SeedTag(&t), 1);
    std::string got = Lookup("srv", 1, "LONG");
    EXPECT_EQ(got, std::string(599, 'F') + "||");
    EXPECT_EQ(CorvexSim_SeedTag(nullptr), 0);
}

TEST(CorvexLibrarySelection, FindsTheChosenBuildOrNone) {
    struct Row {
        LONG which;
        bool loads;
        bool scriptCalls;
    } rows[] = {
        {CORVEXSIM_WITHOUT_SCRIPT, true, false},
        {CORVEXSIM_FULL, true, true},
        {CORVEXSIM_ABSENT, false, false},
    };
    for (const Row& r : rows) {
        ASSERT_EQ(CorvexSim_SetLibrary(r.which), 1);
        HMODULE lib = LoadLibraryA("corvex.dll");
        EXPECT_EQ(lib != nullptr, r.loads) << r.which;
        if (!lib) continue;
        EXPECT_NE(GetProcAddress(lib, "KeldrinTagValidate3"), nullptr);
        for (const char* name :
             {"parse_simple_calc3", "next_parameter3", "free_simple_calc", "execute_corvex_exx"})
            EXPECT_EQ(GetProcAddress(lib, name) != nullptr, r.scriptCalls) << name;
        EXPECT_EQ(GetProcAddress(lib, "CorvexSim_Reset"), nullptr);  // the contract only
        FreeLibrary(lib);
    }
}

}  // namespace
