// History reads: raw spans, the newest sample, and samples on a grid.
#include <cstring>
#include <vector>

#include "fixture.h"

namespace {

using kh_test::kT0;

constexpr LONG kHist = 0x60000;

class HistorianHistory : public kh_test::HistorianTest {
protected:
    void SetUp() override {
        HistorianTest::SetUp();
        rec_ = KhSim_AddRecord("PLANT2", "FI300", 0);
        ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "HIST", kHist, -16, 0), 1);
        // Samples at T0, T0+10 min, T0+20 min with values 0, 10, 20.
        for (int k = 0; k < 3; ++k) {
            KhSimValue v =
                kh_test::number(10.0 * k, kh_test::at(kT0 + 600 * k), -1, k == 2 ? 1 : 0);
            ASSERT_EQ(KhSim_AddSample("PLANT2", rec_, kHist, &v), 1);
        }
    }

    struct Result {
        SHORT rc;
        LONG count;
        std::vector<double> values;
        std::vector<ULONG> times;
        std::vector<SHORT> codes;
        SHORT more;
    };

    Result read(bool grid, LONG mode, LONG flag, ULONG begin, ULONG end, ULONG period,
                LONG max = 16) {
        std::vector<unsigned char> buf(24 * 16, 0xEE);
        void* buffers[1] = {buf.data()};
        SHORT type = -16;
        LONG field = kHist;
        std::vector<SHORT> codes(16, 99);
        std::vector<KeldrinUst> times(16);
        KeldrinUst b{begin, 0}, e{end, 0}, p{period, 0};
        LONG returned = -1;
        SHORT more = -1;
        KeldrinErrorBlock err{};
        Result r{};
        r.rc = grid ? RHISKDINTERPOLATE(mode, flag, 0, 0, rec_, kHist | 1, &b, &e, &p, 1, &field,
                                        &type, max, codes.data(), times.data(), buffers, &returned,
                                        &more, &err)
                    : RHISKDDATA(mode, flag, 0, rec_, kHist | 1, &b, &e, 1, &field, &type, max,
                                 codes.data(), times.data(), buffers, &returned, &more, &err);
        r.count = returned;
        r.more = more;
        for (LONG k = 0; r.rc == KELDRIN_OK && k < returned; ++k) {
            double d;
            std::memcpy(&d, &buf[24 * k], 8);
            r.values.push_back(d);
            ULONG t;
            std::memcpy(&t, &buf[24 * k + 12], 4);
            EXPECT_EQ(t, times[k].Seconds);  // element time and sample time agree
            r.times.push_back(times[k].Seconds);
            r.codes.push_back(codes[k]);
        }
        if (r.rc == KELDRIN_OK && mode != 2 && returned == 0) r.times.push_back(times[0].Seconds);
        EXPECT_EQ(buf[24 * 16 - 1], 0xEE);
        return r;
    }

    LONG rec_ = 0;
};

TEST_F(HistorianHistory, GridReadsHoldOrInterpolate) {
    struct Case {
        const char* name;
        LONG flag;
        int begin, end;  // from T0
        ULONG period;
        LONG max;
        std::vector<double> values;
        std::vector<SHORT> codes;
    };
    const Case cases[] = {
        {"hold_every_five_min", 1, 0, 1200, 300, 16, {0, 0, 10, 10, 20}, {0, 1, 0, 1, 0}},
        {"interpolate_every_five_min", 0, 0, 1200, 300, 16, {0, 5, 10, 15, 20}, {0, 1, 0, 1, 0}},
        {"end_off_the_grid_stops_before_it", 1, 0, 1000, 600, 16, {0, 10}, {0, 0}},
        {"capped_by_max_samples", 0, 0, 1200, 300, 3, {0, 5, 10}, {0, 1, 0}},
        {"period_zero_reads_begin_only", 0, 900, 900, 0, 16, {15}, {1}},
        {"held_past_the_last_sample", 0, 1200, 2400, 600, 16, {20, 20, 20}, {0, 1, 1}},
        {"end_before_begin_reads_nothing", 0, 600, 0, 300, 16, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = read(true, 2, c.flag, kT0 + c.begin, kT0 + c.end, c.period, c.max);
        ASSERT_EQ(r.rc, KELDRIN_OK);
        EXPECT_EQ(r.values, c.values);
        EXPECT_EQ(r.codes, c.codes);
        for (size_t k = 0; k < r.times.size(); ++k)
            EXPECT_EQ(r.times[k], kT0 + c.begin + k * c.period);
    }
    // Before the first sample there is no data.
    Result r = read(true, 2, 0, kT0 - 600, kT0 - 600, 0);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(r.codes[0], 2);
    EXPECT_EQ(DSPECTYP(r.values[0]), KELDRIN_CLASS_NOVALUE);
}

TEST_F(HistorianHistory, RawReadsGiveStoredSamples) {
    struct Case {
        const char* name;
        LONG mode;
        ULONG begin, end;
        LONG max;
        std::vector<double> values;
        SHORT more;
        ULONG firstTime;
    };
    const Case cases[] = {
        {"span", 2, kT0 + 1, kT0 + 1200, 16, {10, 20}, 0, kT0 + 600},
        {"span_capped", 2, kT0, kT0 + 1200, 2, {0, 10}, 1, kT0},
        {"recent", 9, kT0 + 1199, 0, 1, {10}, 0, kT0 + 600},
        {"recent_retry_mode", 4, kT0 + 5000, 0, 1, {20}, 0, kT0 + 1200},
        {"recent_none_before", 9, kT0 - 1, 0, 1, {}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = read(false, c.mode, 1, c.begin, c.end, 0, c.max);
        ASSERT_EQ(r.rc, KELDRIN_OK);
        EXPECT_EQ(r.values, c.values);
        EXPECT_EQ(r.more, c.more);
        ASSERT_FALSE(r.times.empty());
        EXPECT_EQ(r.times[0], c.firstTime);
    }
}

TEST_F(HistorianHistory, BadRequestsAndOldServersFail) {
    EXPECT_EQ(read(false, 7, 1, kT0, kT0, 0).rc, KELDRIN_E_BADMODE);
    EXPECT_EQ(read(false, 2, 1, kT0, kT0, 0, 0).rc, KELDRIN_E_BADARG);
    EXPECT_EQ(read(true, 9, 1, kT0, kT0, 0).rc, KELDRIN_E_BADMODE);
    KhSim_FailCall(KHSIM_API, "RHISKDDATA", -50, 0, 12, 1);
    Result r = read(false, 9, 0, kT0, kT0, 0);
    EXPECT_EQ(r.rc, -50);
    EXPECT_EQ(read(false, 4, 0, kT0, kT0, 0).rc, KELDRIN_OK);

    // Grid reads need 11.3; raw reads serve every version.
    ASSERT_NO_FATAL_FAILURE(startOver("OLD", 2, "OLD 200"));
    rec_ = KhSim_AddRecord("OLD", "FI300", 0);
    ASSERT_EQ(KhSim_AddField("OLD", rec_, "HIST", kHist, -16, 0), 1);
    EXPECT_EQ(read(true, 2, 0, kT0, kT0, 0).rc, KELDRIN_E_VERSION);
    EXPECT_EQ(read(false, 2, 0, kT0, kT0, 0).rc, KELDRIN_OK);
}

}  // namespace

namespace {

// Samples keep time order whatever order they arrive in, a sample at a time
// already held replaces it, and a batched write that carries times files
// each value as a sample at its time; one without times files nothing.
TEST_F(HistorianHistory, SamplesKeepTimeOrderAndStampedWritesFileHistory) {
    KhSimValue v = kh_test::number(5.0, kh_test::at(kT0 + 300));
    ASSERT_EQ(KhSim_AddSample("PLANT2", rec_, kHist, &v), 1);
    v = kh_test::number(11.0, kh_test::at(kT0 + 600));
    ASSERT_EQ(KhSim_AddSample("PLANT2", rec_, kHist, &v), 1);

    // -21: double, status, level and a microsecond time.
    unsigned char slot[24] = {};
    const double value = 42.0;
    std::memcpy(slot, &value, 8);
    const ULONG seconds = kT0 + 1800;
    std::memcpy(slot + 12, &seconds, 4);
    const KeldrinRecField pair{rec_, kHist};
    SHORT type = -21, failIndex = -1;
    KeldrinErrorBlock err{};
    ASSERT_EQ(MWDBVALS(1, &pair, &type, slot, &failIndex, &err), KELDRIN_OK);
    // -12: the same without a time.
    type = -12;
    std::memcpy(slot, &value, 8);
    ASSERT_EQ(MWDBVALS(1, &pair, &type, slot, &failIndex, &err), KELDRIN_OK);

    Result r = read(false, 2, 1, kT0, kT0 + 3600, 0);
    ASSERT_EQ(r.rc, KELDRIN_OK);
    EXPECT_EQ(r.values, (std::vector<double>{0, 5, 11, 20, 42}));
    EXPECT_EQ(r.times, (std::vector<ULONG>{kT0, kT0 + 300, kT0 + 600, kT0 + 1200, kT0 + 1800}));
}

}  // namespace
