// Store-and-forward of one calculation: the input and output times it
// compares, the decision between a normal run, waiting and catching up on
// history (with one of seven states for the scheduler), the run stamped with
// a store time, and the catch-up over the inputs' history.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/keldrin_values.h"
#include "calculation/calculation.h"
#include "calculation/run_mark.h"
#include "frame/exception_text.h"
#include "frame/keldrin_client.h"
#include "frame/time_conversions.h"
#include "frame/trace.h"
#include "interfaces/IMvScheduleGroup.h"
#include "sources/keldrin_servers.h"

namespace {

constexpr const char* kDriver = "CMvCalculation::CheckOrCalculateStoreForward";
constexpr const char* kExecuteOnHistory = "CMvCalculation::ExecuteOnHistory";
constexpr const char* kFindEarliest = "CMvCalculation::FindEarliestRecentHistoryTime";
constexpr LONG kMaxHistorySamples = 10000;
constexpr double kTenthsPerDay = 24.0 * 60.0 * 600.0;
// The status of a history sample at a time the input has no value.
constexpr SHORT kNoValueStatus = -2;

// Whether the interface method that called the driver writes its end line:
// the driver's two early returns leave it out.
thread_local bool t_writeEndLine = true;

bool IsNone(const KeldrinTime& time) {
    return time.Seconds == KELDRIN_TIME_NONE_WORD;
}

KeldrinTime FromDefinitionTime(uint64_t time) {
    return KeldrinTime{static_cast<ULONG>(time & 0xFFFFFFFFu), static_cast<ULONG>(time >> 32)};
}

uint32_t Get32(const BYTE* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Put32(BYTE* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}

void Put16(BYTE* p, SHORT value) {
    const auto u = static_cast<uint16_t>(value);
    p[0] = static_cast<BYTE>(u & 0xFF);
    p[1] = static_cast<BYTE>(u >> 8);
}

// A number truncated toward zero into 32 bits, saturating (NaN gives 0).
LONG TruncateToLong(double value) {
    if (!(value == value)) return 0;
    if (value >= 2147483647.0) return 2147483647;
    if (value <= -2147483648.0) return -2147483647 - 1;
    return static_cast<LONG>(value);
}

// A group's rate (days) in tenths of a second, to the nearest tenth.
double RateTenths(IMvScheduleGroup* group) {
    DATE rate = 0.0;
    (void)group->get_ScheduleRate(&rate);
    return std::floor(rate * kTenthsPerDay + 0.5);
}

bool IsPeriodic(IMvScheduleGroup* group) {
    VARIANT_BOOL periodic = VARIANT_FALSE;
    (void)group->IsDayWeekOrMonth(&periodic);
    return periodic != VARIANT_FALSE;
}

// The historian's text of a time, at most 20 characters, into a buffer that
// keeps its last text when the conversion writes nothing.
class TimeText {
public:
    const char* Of(const KeldrinTime& time) {
        SHORT length = -1;
        char text[21] = {};
        (void)L_XTS2ASCII(&time, text, 20, &length);
        if (length >= 0) {
            text[length <= 20 ? length : 20] = '\0';
            std::memcpy(m_Text, text, sizeof m_Text);
        }
        return m_Text;
    }

private:
    char m_Text[21] = "(n/a)";
};

// The decision trace of the "Results" category: "<driver>( <message> )",
// and for the steps that time themselves a second line with the seconds
// since the call started.
class ResultsTrace {
public:
    explicit ResultsTrace(DWORD start) : m_On(g_DiagnosticLog.IsOn(LogResults)), m_Start(start) {}
    bool On() const { return m_On; }
    void Line(const std::string& message) {
        if (m_On) MvLogLine({kDriver, "( ", message, " )"});
    }
    void Elapsed(const std::string& message) {
        if (!m_On) return;
        Line(message);
        Seconds(u"Time Elapsed : ", CMvCalculation::GetTimeElapsed(m_Start));
    }
    void Seconds(const char16_t* text, double seconds) {
        if (!m_On) return;
        mv::Bstr number(u"");
        CMvCalculation::AppendDoubleToBstr(number, seconds);
        MvLogLine({text, "( ", number, " )"});
    }
    // "<name>=<time text>."
    void Time(const char* name, const KeldrinTime& time) {
        if (m_On) Line(std::string(name) + "=" + m_Text.Of(time) + ".");
    }

private:
    bool m_On;
    DWORD m_Start;
    TimeText m_Text;
};

// The first three tests an input passes to take part in store-and-forward:
// a parameter that is a plain input, not extrapolated, with a history field.
bool IsHistoryCandidate(const BindingDefinition& d) {
    if (!d.Parameter) return false;
    VARIANT_BOOL extrapolate = 0;
    LONG type = 0;
    (void)d.Parameter->get_Extrapolate(&extrapolate);
    (void)d.Parameter->get_ParameterType(&type);
    return extrapolate == 0 && type == mvcInput && static_cast<LONG>(d.HistoryField_ID) > 0;
}

// The history type code and element size (16-bit words) a field type reads
// as; code 0 when the field does not take part in history reads.
struct HistoryForm {
    SHORT Code = 0;
    SHORT Words = 0;
};

HistoryForm HistoryFormOf(LONG fieldType) {
    switch (fieldType) {
        case -16:
        case -12:
        case -6:
            return {-16, 12};
        case -15:
        case -11:
        case -5:
            return {-15, 8};
        case -14:
        case -10:
        case -4:
            return {-14, 8};
        case -13:
        case -9:
        case -3:
            return {-13, 8};
        case -8:
        case -7:
            return {-8, 4};
        case -2:
            return {-2, 4};
        case -1:
            return {-1, 2};
        default:
            return fieldType >= 1 ? HistoryForm{-23, 10} : HistoryForm{};
    }
}

// Whether an input's history is read: a candidate whose field type has a
// history form.
bool IsHistoryInput(const BindingDefinition& d) {
    return HistoryFormOf(d.FieldType).Code != 0 && IsHistoryCandidate(d);
}

// The historian input list of a run's table and its count.
BindingDefinition* HistorianInputs(const ParamInfoTable& table, LONG* count) {
    *count = 0;
    BindingDefinitionSet* set = table.KeldrinBindingSet.get();
    if (!set || set->InputCount() <= 0) return nullptr;
    *count = set->InputCount();
    return set->GetInputs(0);
}

bool IsHistorianOutput(const ParamInfo& record) {
    return (record.ParameterType & 2) != 0 && record.BindingType == mvcKeldrin;
}

// Whether the historian holds a time for an output of this field type that
// GetLastCalculatedTime reads: the numeric forms with status and time, and
// character fields.
bool OutputTypeGivesTime(LONG fieldType) {
    return fieldType >= 1 || (fieldType >= -16 && fieldType <= -9) ||
           (fieldType >= -6 && fieldType <= -3);
}

// Whether any historian-bound output of a run's table, as GetLastCalculatedTime
// has resolved it, is of a field type that gives a time.
bool AnyOutputGivesTime(const ParamInfoTable& table) {
    BindingDefinitionSet* set = table.KeldrinBindingSet.get();
    if (!set || set->OutputCount() <= 0) return false;
    LONG k = 0;
    for (const ParamInfo& record : table.Records) {
        if (!IsHistorianOutput(record)) continue;
        // A list without this output's definition: as if it could.
        if (k >= set->OutputCount()) return true;
        if (OutputTypeGivesTime(set->GetOutputs(0)[k++].FieldType)) return true;
    }
    return false;
}

// A sample buffer of `samples` elements of input d in its history form; a
// character element holds the offset of its characters, which follow the
// elements in the same allocation, and its width.
std::vector<BYTE> SampleBuffer(const BindingDefinition& d, const HistoryForm& form,
                               std::size_t samples) {
    const std::size_t element = static_cast<std::size_t>(form.Words) * 2;
    if (form.Code != -23) return std::vector<BYTE>(samples * element, 0);
    const auto width = static_cast<std::size_t>(d.FieldType);
    std::vector<BYTE> buffer(samples * (element + width + 1), 0);
    for (std::size_t k = 0; k < samples; ++k) {
        BYTE* at = buffer.data() + k * element;
        Put32(at, static_cast<uint32_t>(samples * element + k * (width + 1)));
        Put16(at + 4, static_cast<SHORT>(d.FieldType));
    }
    return buffer;
}

// Copies element j of one sample buffer over element k of another of the
// same form; a character element keeps its own offset and takes the
// characters.
void CopyElement(BYTE* to, std::size_t k, const BYTE* from, std::size_t j,
                 const BindingDefinition& d, const HistoryForm& form) {
    const std::size_t element = static_cast<std::size_t>(form.Words) * 2;
    BYTE* target = to + k * element;
    const BYTE* source = from + j * element;
    if (form.Code != -23) {
        std::memcpy(target, source, element);
        return;
    }
    std::memcpy(target + 4, source + 4, element - 4);
    std::memcpy(to + Get32(target), from + Get32(source),
                static_cast<std::size_t>(d.FieldType) + 1);
}

// One raw read of input d (its own server, or the older library for a local
// input) into a one-entry buffer list.
void RawRead(const BindingDefinition& d, LONG mode, LONG flag, LONG a3, const KeldrinUst* b,
             const KeldrinUst* e, SHORT* type, LONG max, SHORT* codes, KeldrinUst* times,
             void* buffer, LONG* returned, SHORT* more, KeldrinErrorBlock* err) {
    const LONG field = static_cast<LONG>(d.HistoryField_ID);
    const LONG record = static_cast<LONG>(d.Record_ID);
    void* const buffers[1] = {buffer};
    *err = KeldrinErrorBlock{};
    if (d.IsLocal == 1) {
        L_RHISKDDATA(mode, flag, a3, record, field | 1, b, e, 1, &field, type, max, codes, times,
                     buffers, returned, more, err);
        return;
    }
    DaSetDefaultServer(static_cast<SHORT>(d.ServerIndex), err);
    if (err->ERRORCODE == 0)
        RHISKDDATA(mode, flag, a3, record, field | 1, b, e, 1, &field, type, max, codes, times,
                   buffers, returned, more, err);
}

// The newest raw sample of d at or before *at into one element: mode 9, and
// once more in mode 4 when the status's second word is 12.
void ReadNewest(const BindingDefinition& d, const KeldrinUst* at, SHORT* type, SHORT* codes,
                KeldrinUst* times, void* buffer, LONG* returned, KeldrinErrorBlock* err) {
    SHORT more = 0;
    RawRead(d, 9, 0, 1, at, at, type, 1, codes, times, buffer, returned, &more, err);
    if (err->ERRORCODE != 0 && err->ERR2 == 12)
        RawRead(d, 4, 0, 1, at, at, type, 1, codes, times, buffer, returned, &more, err);
}

int64_t Micros(const KeldrinUst& t) {
    return static_cast<int64_t>(t.Seconds) * 1000000 + t.Micro;
}

KeldrinUst UstOf(int64_t micros) {
    return KeldrinUst{static_cast<ULONG>(micros / 1000000), static_cast<LONG>(micros % 1000000)};
}

}  // namespace

// The buffers of one history read: per history input a sample buffer of
// MaxSamples elements in the layout of its type code (character elements
// hold the offset of their characters, which follow the elements in the same
// allocation), and the sample times the reads share.
struct InputHistoryBuffers {
    LONG SampleCount = 0;
    std::vector<KeldrinUst> Times;
    std::vector<std::vector<BYTE>> Values;  // empty: not a history input
    std::vector<SHORT> Types;
    std::vector<SHORT> ElementWords;
    std::vector<SHORT> SampleCodes;
    std::vector<std::vector<char>> NoSample;  // per raw input: no sample at or before the time
    LONG DefinitionCount = 0;
    BindingDefinition* Definitions = nullptr;
    LONG MaxSamples = 0;

    // Reads every history input from begin to end on the period's grid; an
    // input read raw (its server older than 11.3) takes its last sample at
    // or before each point of the grid. Stops at the first failing read (its
    // index in *failing, its status in *err). Returns the refusal text when
    // inputs on servers of different read forms would be mixed; nothing is
    // read then.
    std::string ReadInputHistory(LONG n, BindingDefinition* definitions, LONG period,
                                 const KeldrinTime* begin, const KeldrinTime* end,
                                 KeldrinErrorBlock* err, LONG* failing);
    // Each history input's newest sample time at the historian's current
    // time ({0, 0}: none), into *times.
    void ReadRecentHistoryTimes(LONG n, BindingDefinition* definitions,
                                std::vector<KeldrinUst>* times, KeldrinErrorBlock* err,
                                LONG* failing);
    // Puts sample k of every history input into its parameter and folds
    // its level into *level and *status; false when an input has no value
    // there (a raw input without a sample at or before the time, or an
    // element of the historian's no-value status).
    bool ReadBindingHistory(LONG k, SHORT* level, SHORT* status);
    // Whether p is the parameter of an input whose history is read.
    bool TakesPart(const IMvParameter* p) const;

private:
    // Fills raw input i on the grid of MaxSamples points from b every `step`
    // microseconds, and Times with the points: the newest sample at or
    // before b, then the samples after it read a buffer at a time.
    void ReadRawOnGrid(LONG i, LONG flag, const KeldrinUst& b, int64_t step,
                       KeldrinErrorBlock* err);
    // Selects the history inputs and lays their sample buffers out.
    void Allocate(LONG n, BindingDefinition* definitions);
    BYTE* Element(LONG i, LONG k) {
        return Values[static_cast<std::size_t>(i)].data() +
               static_cast<std::size_t>(ElementWords[static_cast<std::size_t>(i)]) * 2 *
                   static_cast<std::size_t>(k);
    }
};

void InputHistoryBuffers::Allocate(LONG n, BindingDefinition* definitions) {
    DefinitionCount = n;
    Definitions = definitions;
    const auto count = static_cast<std::size_t>(n > 0 ? n : 0);
    Values.assign(count, {});
    Types.assign(count, 0);
    ElementWords.assign(count, 0);
    NoSample.assign(count, {});
    const auto samples = static_cast<std::size_t>(MaxSamples);
    for (std::size_t i = 0; i < count; ++i) {
        const BindingDefinition& d = definitions[i];
        if (!IsHistoryInput(d)) continue;
        const HistoryForm form = HistoryFormOf(d.FieldType);
        Types[i] = form.Code;
        ElementWords[i] = form.Words;
        Values[i] = SampleBuffer(d, form, samples);
    }
}

void InputHistoryBuffers::ReadRawOnGrid(LONG i, LONG flag, const KeldrinUst& b, int64_t step,
                                        KeldrinErrorBlock* err) {
    const auto slot = static_cast<std::size_t>(i);
    const BindingDefinition& d = Definitions[i];
    const HistoryForm form = HistoryFormOf(d.FieldType);
    NoSample[slot].assign(static_cast<std::size_t>(MaxSamples), 0);
    // The sample that holds at the points reached so far: in `held`, or
    // sample `at` of the buffer last read.
    std::vector<BYTE> held = SampleBuffer(d, form, 1);
    std::vector<KeldrinUst> times(kMaxHistorySamples);
    std::vector<SHORT> codes(kMaxHistorySamples);
    LONG returned = 0;
    ReadNewest(d, &b, &Types[slot], codes.data(), times.data(), held.data(), &returned, err);
    if (err->ERRORCODE != 0) return;
    bool have = returned > 0;
    std::vector<BYTE> read;
    LONG at = -1;
    LONG k = 0;
    auto point = [&](LONG j) { return Micros(b) + step * j; };
    auto put = [&] {
        Times[static_cast<std::size_t>(k)] = UstOf(point(k));
        if (at >= 0)
            CopyElement(Values[slot].data(), static_cast<std::size_t>(k), read.data(),
                        static_cast<std::size_t>(at), d, form);
        else if (have)
            CopyElement(Values[slot].data(), static_cast<std::size_t>(k), held.data(), 0, d, form);
        else
            NoSample[slot][static_cast<std::size_t>(k)] = 1;
        ++k;
    };
    const KeldrinUst e = UstOf(point(MaxSamples - 1));
    KeldrinUst from = UstOf(Micros(b) + 1);
    while (Micros(from) <= Micros(e)) {
        if (read.empty()) read = SampleBuffer(d, form, kMaxHistorySamples);
        SHORT more = 0;
        returned = 0;
        RawRead(d, 2, flag, 0, &from, &e, &Types[slot], kMaxHistorySamples, codes.data(),
                times.data(), read.data(), &returned, &more, err);
        if (err->ERRORCODE != 0) return;
        for (LONG j = 0; j < returned; ++j) {
            const int64_t t = Micros(times[static_cast<std::size_t>(j)]);
            while (k < MaxSamples && point(k) < t) put();
            at = j;
        }
        if (more == 0 || returned <= 0) break;
        // The buffer is read again: what holds now moves to `held`.
        CopyElement(held.data(), 0, read.data(), static_cast<std::size_t>(at), d, form);
        have = true;
        at = -1;
        from = UstOf(Micros(times[static_cast<std::size_t>(returned - 1)]) + 1);
    }
    while (k < MaxSamples) put();
}

std::string InputHistoryBuffers::ReadInputHistory(LONG n, BindingDefinition* definitions,
                                                  LONG period, const KeldrinTime* begin,
                                                  const KeldrinTime* end, KeldrinErrorBlock* err,
                                                  LONG* failing) {
    *failing = 0;
    err->ERRORCODE = 0;
    DefinitionCount = n;
    Definitions = definitions;
    EnsureKeldrinClientStarted();
    KeldrinUst b{}, e{};
    (void)L_XTS2XUST(begin, &b);
    // The tenths go into the microseconds, so that the read's grid is the
    // period's grid.
    const KeldrinUst p{static_cast<ULONG>(period / 10), static_cast<LONG>(period % 10) * 100000};
    if (period < 1) {
        MaxSamples = 1;
        e = b;
    } else {
        const double span = L_CALCDELXTM(end, begin);
        if (span <= 0.0) return {};
        const double samples = std::trunc(span / period) + 1.0;
        MaxSamples = samples > kMaxHistorySamples ? kMaxHistorySamples : static_cast<LONG>(samples);
        KeldrinTime last = *begin;
        const double tenths = static_cast<double>(period) * (MaxSamples - 1);
        (void)L_XTSPLUSDT(&last, &tenths);
        (void)L_XTS2XUST(&last, &e);
    }

    // A server older than 11.3 reads raw samples at their own times, which
    // other inputs' samples would not match: with more than one input
    // taking part, such an input is refused before anything is read.
    LONG inputs = 0;
    for (LONG i = 0; i < n; ++i) inputs += IsHistoryInput(definitions[i]) ? 1 : 0;
    std::vector<char> raw(static_cast<std::size_t>(n > 0 ? n : 0), 0);
    for (LONG i = 0; i < n; ++i) {
        const BindingDefinition& d = definitions[i];
        if (!IsHistoryInput(d) || d.IsLocal == 1) continue;
        DaSetDefaultServer(static_cast<SHORT>(d.ServerIndex), err);
        if (err->ERRORCODE != 0) {
            *failing = i;
            return {};
        }
        LONG major = 0, minor = 0;
        GetKeldrinDbVersion(false, &major, &minor);
        raw[static_cast<std::size_t>(i)] = KeldrinVersionHasLongNames(major, minor) ? 0 : 1;
        if (raw[static_cast<std::size_t>(i)] && inputs > 1) {
            const KeldrinRecField pair{static_cast<LONG>(d.Record_ID),
                                       static_cast<LONG>(d.HistoryField_ID)};
            return "Error reading history Keldrin field \"" + KeldrinFieldName(pair, false) +
                   "\":interpolated history needs server version 11.3 or later";
        }
    }
    Allocate(n, definitions);
    SampleCount = MaxSamples;
    SampleCodes.assign(static_cast<std::size_t>(MaxSamples), 0);
    Times.assign(static_cast<std::size_t>(MaxSamples), KeldrinUst{0, 0});

    bool read = false;
    for (LONG i = 0; i < n; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        if (Values[slot].empty()) continue;
        const BindingDefinition& d = definitions[i];
        LONG interpolate = 0;
        (void)d.Parameter->get_Interpolate(&interpolate);
        const LONG flag = interpolate == 0 ? 1 : 0;
        const LONG field = static_cast<LONG>(d.HistoryField_ID);
        const LONG record = static_cast<LONG>(d.Record_ID);
        void* const buffers[1] = {Values[slot].data()};
        LONG returned = 0;
        SHORT more = 0;
        *err = KeldrinErrorBlock{};
        if (d.IsLocal == 1) {
            L_RHISKDINTERPOLATE(2, flag, 0, 0, record, field | 1, &b, &e, &p, 1, &field,
                                &Types[slot], MaxSamples, SampleCodes.data(), Times.data(), buffers,
                                &returned, &more, err);
        } else {
            DaSetDefaultServer(static_cast<SHORT>(d.ServerIndex), err);
            if (err->ERRORCODE == 0 && raw[slot]) {
                // Values at the scheduled times, as the interpolated read
                // holds them, never runs at the samples' own times.
                ReadRawOnGrid(i, flag, b, static_cast<int64_t>(period) * 100000, err);
                returned = MaxSamples;
            } else if (err->ERRORCODE == 0)
                RHISKDINTERPOLATE(2, flag, 0, 0, record, field | 1, &b, &e, &p, 1, &field,
                                  &Types[slot], MaxSamples, SampleCodes.data(), Times.data(),
                                  buffers, &returned, &more, err);
        }
        if (err->ERRORCODE != 0) {
            *failing = i;
            return {};
        }
        read = true;
        if (returned < SampleCount) SampleCount = returned;
    }
    // Without a history input no sample has a time: nothing may run.
    if (!read) SampleCount = 0;
    return {};
}

void InputHistoryBuffers::ReadRecentHistoryTimes(LONG n, BindingDefinition* definitions,
                                                 std::vector<KeldrinUst>* times,
                                                 KeldrinErrorBlock* err, LONG* failing) {
    *failing = 0;
    err->ERRORCODE = 0;
    MaxSamples = 1;
    EnsureKeldrinClientStarted();
    KeldrinTime nowTime = kNoKeldrinTime;
    (void)L_GETDBXTIM(&nowTime);
    KeldrinUst now{};
    (void)L_XTS2XUST(&nowTime, &now);
    Allocate(n, definitions);
    times->assign(static_cast<std::size_t>(DefinitionCount), KeldrinUst{0, 0});
    SampleCount = 1;
    SampleCodes.assign(1, 0);
    Times.assign(1, KeldrinUst{0, 0});
    for (LONG i = 0; i < n; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        if (Values[slot].empty()) continue;
        LONG returned = 0;
        ReadNewest(definitions[i], &now, &Types[slot], SampleCodes.data(), Times.data(),
                   Values[slot].data(), &returned, err);
        if (err->ERRORCODE != 0) {
            *failing = i;
            return;
        }
        (*times)[slot] = Times[0];
        if (returned < SampleCount) SampleCount = returned;
    }
}

bool InputHistoryBuffers::TakesPart(const IMvParameter* p) const {
    for (std::size_t i = 0; i < Values.size(); ++i)
        if (!Values[i].empty() && Definitions[i].Parameter == p) return true;
    return false;
}

bool InputHistoryBuffers::ReadBindingHistory(LONG k, SHORT* level, SHORT* status) {
    bool valued = true;
    for (LONG i = 0; i < DefinitionCount; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        if (Values[slot].empty()) continue;
        BindingDefinition& d = Definitions[i];
        if (!NoSample[slot].empty() && NoSample[slot][static_cast<std::size_t>(k)]) {
            valued = false;
            continue;
        }
        StoreKeldrinValue(d, Types[slot], Element(i, k), Values[slot].data(),
                          static_cast<LONG>(Values[slot].size()));
        // The historian marks a time before the input's history with its
        // no-value status; forms without a status never show it.
        if (d.Status == kNoValueStatus && CMvCalculation::DataTypeHasQT(d.FieldType))
            valued = false;
        *level = *level == mvcNO_QLEVEL ? d.Level : WorseLevel(*level, d.Level);
        *status = LevelToStatus(*level);
        DATE stamp = d.TimeStamp.vt == VT_DATE ? d.TimeStamp.date
                     : d.TimeStamp.vt == VT_R8 ? d.TimeStamp.dblVal
                                               : 0.0;
        d.Parameter->SetParameterValues(&d.Value, &d.Level, &d.Status, &stamp);
    }
    return valued;
}

// ---------------------------------------------------------------------------
// Input and output times
// ---------------------------------------------------------------------------

HRESULT CMvCalculation::GetOldestInputTime(const ParamInfoTable& table, KeldrinTime* oldest,
                                           LONG* count, LONG* untimed) {
    static constexpr const char* kName = "CMvCalculation::GetOldestInputTime";
    MvStepFrame step(kName);
    *oldest = kNoKeldrinTime;
    *count = 0;
    *untimed = 0;
    try {
        LONG n = 0;
        BindingDefinition* list = HistorianInputs(table, &n);
        for (LONG i = 0; list && i < n; ++i) {
            const BindingDefinition& d = list[i];
            if (!IsHistoryCandidate(d) || !DataTypeHasQT(d.FieldType)) continue;
            ++*count;
            const KeldrinTime time = FromDefinitionTime(d.Time);
            if (IsNone(time))
                ++*untimed;
            else if (IsNone(*oldest) || L_CALCDELXTM(&time, oldest) < 0.0)
                *oldest = time;
        }
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT CMvCalculation::GetLastCalculatedTime(const ParamInfoTable& table, IMvScheduleGroup*,
                                              KeldrinTime* last) {
    static constexpr const char* kName = "CMvCalculation::GetLastCalculatedTime";
    MvStepFrame step(kName);
    *last = kNoKeldrinTime;
    try {
        BindingDefinitionSet* set = table.KeldrinBindingSet.get();
        if (!set) return S_OK;
        LONG n = 0;
        for (const ParamInfo& record : table.Records) n += IsHistorianOutput(record) ? 1 : 0;
        // The newest of the outputs' times: an output the formula writes
        // only on some runs must not hold the catch-up back. An output whose
        // read fails or gives no time is left out.
        LONG k = 0, reads = 0, failedReads = 0;
        HRESULT thrown = S_OK;
        KeldrinErrorBlock failure{};
        const BindingDefinition* failed = nullptr;
        for (const ParamInfo& record : table.Records) {
            if (!IsHistorianOutput(record)) continue;
            const LONG ordinal = k++;
            ProcessKeldrinBindingDefinitions(table, 1, n, record, ordinal);
            if (ordinal >= set->OutputCount()) continue;
            const BindingDefinition& d = set->GetOutputs(0)[ordinal];
            SHORT request = 0;
            std::size_t timeAt = 0;
            std::vector<BYTE> returned;
            switch (d.FieldType) {
                case -16:
                case -15:
                case -12:
                case -11:
                case -6:
                case -5:
                    request = -16;
                    timeAt = 12;
                    returned.assign(24, 0);
                    break;
                case -14:
                case -13:
                case -10:
                case -9:
                case -4:
                case -3:
                    request = -14;
                    timeAt = 8;
                    returned.assign(16, 0);
                    break;
                default:
                    if (d.FieldType >= 1) {
                        // The characters follow the record in one block.
                        request = -23;
                        timeAt = 12;
                        returned.assign(20 + static_cast<std::size_t>(d.FieldType), 0);
                        Put32(returned.data(), 20);
                        Put16(returned.data() + 4, static_cast<SHORT>(d.FieldType));
                    }
                    break;
            }
            if (request == 0) continue;
            ++reads;
            KeldrinErrorBlock err{};
            if (FAILED(GetOutputParamTime(d, request, returned.data(), &err)))
                thrown = E_UNEXPECTED;
            if (err.ERRORCODE != 0) {
                ++failedReads;
                failure = err;
                failed = &d;
                continue;
            }
            const KeldrinTime newest{Get32(returned.data() + timeAt),
                                     Get32(returned.data() + timeAt + 4)};
            if (!IsNone(newest) && (IsNone(*last) || L_CALCDELXTM(&newest, last) >= 0.0))
                *last = newest;
        }
        // A read that threw has its text in the error text already. When no
        // output could be read the results' times are unknown, which is not
        // the same as none stored.
        if (FAILED(thrown)) return thrown;
        if (reads > 0 && failedReads == reads) {
            const KeldrinRecField pair{static_cast<LONG>(failed->Record_ID),
                                       static_cast<LONG>(failed->Field_ID)};
            FormatKeldrinError(*this, failure, 1, &pair, 0, "reading", failed->IsLocal == 1, true);
            return E_FAIL;
        }
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT CMvCalculation::GetOutputParamTime(const BindingDefinition& d, SHORT requestType,
                                           BYTE* record, KeldrinErrorBlock* err) {
    static constexpr const char* kName = "CMvCalculation::GetOutputParamTime";
    MvStepFrame step(kName);
    try {
        const KeldrinRecField pair{static_cast<LONG>(d.Record_ID), static_cast<LONG>(d.Field_ID)};
        SHORT errors = 0;
        if (d.IsLocal == 1) {
            L_MRDBVALS(1, &pair, &requestType, record, &errors, err);
            return S_OK;
        }
        EnsureKeldrinClientStarted();
        DaSetDefaultServer(static_cast<SHORT>(d.ServerIndex), err);
        if (err->ERRORCODE == 0) MRDBVALS(1, &pair, &requestType, record, &errors, err);
    } catch (...) {
        // The record holds nothing that was read: the output gives no time.
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
        if (err->ERRORCODE == 0) err->ERRORCODE = KELDRIN_E_BADARG;
        return E_UNEXPECTED;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// The run stamped with a store time
// ---------------------------------------------------------------------------

void CMvCalculation::ExecuteAndStore(const ParamInfoShare& table, SHORT* level, SHORT* status,
                                     const KeldrinUst* storeTime) {
    static constexpr const char* kName = "CMvCalculation::ExecuteAndStore";
    MvStepFrame step(kName);
    try {
        if (storeTime) {
            KeldrinTime time = kNoKeldrinTime;
            (void)L_XUST2XTS(storeTime, &time);
            const LONG words[2] = {static_cast<LONG>(time.Seconds), static_cast<LONG>(time.Micro)};
            SetStoreTime(words);
        } else {
            SetStoreTime(nullptr);
        }
        LONG kind = 0, dataSets = 0;
        {
            mv::ObjectLock lock(this);
            kind = m_FormulaType;
            dataSets = m_DataSetCount;
        }
        if (table && kind != mvcSimpleScript_Method)
            InitOutputParameterStatus(*table, level, status);
        if (!HasError()) ExecuteFormula(table);
        if (!HasError()) {
            if (table) ProcessDataBindings(*table, OUTPUT_PASS, nullptr, nullptr, storeTime);
            if (dataSets > 0) ProcessDataSets(OUTPUT_PASS);
        }
    } catch (...) {
        // A run that threw shows it, so that the catch-up stops at its sample.
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

bool CMvCalculation::DataTypeHasQT(LONG fieldType) {
    static constexpr const char* kName = "CMvCalculation::DataTypeHasQT";
    if (g_DiagnosticLog.IsOn(LogSteps))
        g_DiagnosticLog.WriteLine(u"CMvCalculation::DataTypeHasQT( Function - Start )");
    const bool hasQT = fieldType != -8 && fieldType != -7 && fieldType != -2 && fieldType != -1;
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodEnd(kName, S_OK);
    return hasQT;
}

// ---------------------------------------------------------------------------
// Execution on history
// ---------------------------------------------------------------------------

void CMvCalculation::ExecuteOnHistory(const ParamInfoShare& table, IMvScheduleGroup* group,
                                      const KeldrinTime* begin, const KeldrinTime* end,
                                      KeldrinTime* last) {
    MvStepFrame step(kExecuteOnHistory);
    try {
        if (!table) return;
        SetResumeStamp(*begin, group);
        LONG n = 0;
        BindingDefinition* list = HistorianInputs(*table, &n);
        const LONG period = IsPeriodic(group) ? TruncateToLong(L_CALCDELXTM(end, begin) + 0.5)
                                              : TruncateToLong(RateTenths(group));
        InputHistoryBuffers buffers;
        KeldrinErrorBlock err{};
        LONG failing = 0;
        const std::string refused =
            buffers.ReadInputHistory(n, list, period, begin, end, &err, &failing);
        if (!refused.empty() || err.ERRORCODE != 0) {
            if (!refused.empty()) {
                AppendErrorQuietly(refused, false);
            } else {
                const BindingDefinition& d = list[failing];
                const KeldrinRecField pair{static_cast<LONG>(d.Record_ID),
                                           static_cast<LONG>(d.HistoryField_ID)};
                FormatKeldrinError(*this, err, 1, &pair, 0, "reading history", d.IsLocal == 1);
            }
            std::string name, text;
            {
                mv::ObjectLock lock(this);
                name = m_Name;
                text = m_ErrorText;
            }
            if (!text.empty()) {
                MvLogErrorHr(kExecuteOnHistory, S_OK);
                MvLogErrorA(kExecuteOnHistory, name.c_str());
                MvLogErrorA(kExecuteOnHistory, text.c_str());
            }
            return;
        }
        const bool results = g_DiagnosticLog.IsOn(LogResults);
        auto resultsLine = [&](const std::string& message) {
            g_DiagnosticLog.WriteLine(
                mv::ToUtf16(std::string(kExecuteOnHistory) + "( " + message + " )"));
        };
        if (results) {
            TimeText text;
            const std::string from = text.Of(*begin);
            const std::string to = text.Of(*end);
            char message[200];
            std::snprintf(message, sizeof message,
                          "Success reading history. Begin time: %s; End time: %s; Found %li "
                          "samples; Period: %li 10th secs.",
                          from.c_str(), to.c_str(), static_cast<long>(buffers.SampleCount),
                          static_cast<long>(period));
            resultsLine(message);
        }
        // The quality every sample starts from: that of the inputs that
        // keep their current value for every sample (the input pass reads
        // no message-bus record). Nothing is read again for it.
        SHORT currentLevel = mvcNO_QLEVEL, currentStatus = mvcQSTATUS_NO_STATUS;
        for (const ParamInfo& record : table->Records)
            if ((record.ParameterType & 1) != 0 && record.BindingType != mvcQuenbus &&
                !buffers.TakesPart(record.Parameter.get()))
                AccumulateParameterLevel(record, &currentLevel, &currentStatus);
        // Sample 0 lies at begin, which was calculated before. A sample at
        // which an input has no value stores nothing and is passed. Each
        // run's outputs start with its own samples' quality, never with an
        // earlier sample's.
        for (LONG k = 1; k < buffers.SampleCount; ++k) {
            const KeldrinUst& time = buffers.Times[static_cast<std::size_t>(k)];
            (void)L_XUST2XTS(&time, last);
            SHORT level = currentLevel, status = currentStatus;
            const bool valued = buffers.ReadBindingHistory(k, &level, &status);
            if (valued) ExecuteAndStore(table, &level, &status, &time);
            if (!valued || !HasError()) {
                SetResumeStamp(*last);
                continue;
            }
            if (results) {
                std::string error;
                {
                    mv::ObjectLock lock(this);
                    error = m_ErrorText;
                }
                TimeText text;
                char head[80];
                std::snprintf(head, sizeof head,
                              "Sample %i: Time= %.20s returned error: ", static_cast<int>(k),
                              text.Of(*last));
                resultsLine(head + error + ".");
            }
            break;
        }
    } catch (...) {
        // The driver sees the failure in the error text and keeps its state.
        MvLogErrorHr(kExecuteOnHistory, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

HRESULT CMvCalculation::FindEarliestRecentHistoryTime(const ParamInfoTable& table,
                                                      KeldrinTime* earliest) {
    MvStepFrame step(kFindEarliest);
    try {
        LONG n = 0;
        BindingDefinition* list = HistorianInputs(table, &n);
        InputHistoryBuffers buffers;
        std::vector<KeldrinUst> times;
        KeldrinErrorBlock err{};
        LONG failing = 0;
        buffers.ReadRecentHistoryTimes(n, list, &times, &err, &failing);
        if (err.ERRORCODE != 0) {
            const BindingDefinition& d = list[failing];
            const KeldrinRecField pair{static_cast<LONG>(d.Record_ID),
                                       static_cast<LONG>(d.HistoryField_ID)};
            FormatKeldrinError(*this, err, 1, &pair, 0, "reading raw history", d.IsLocal == 1);
            return E_UNEXPECTED;
        }
        const bool steps = g_DiagnosticLog.IsOn(LogSteps);
        std::string line;
        TimeText text;
        for (std::size_t i = 0; i < times.size(); ++i) {
            if (times[i].Seconds == 0 && times[i].Micro == 0) {
                if (steps) line += std::to_string(i) + "=(none);";
                continue;
            }
            KeldrinTime t = kNoKeldrinTime;
            (void)L_XUST2XTS(&times[i], &t);
            if (IsNone(*earliest) || L_CALCDELXTM(earliest, &t) >= 0.0) *earliest = t;
            if (steps) line += std::to_string(i) + "=" + text.Of(t) + ";";
        }
        if (steps) MvLogLine({kFindEarliest, "( Times: ", line, " )"});
        return S_OK;
    } catch (...) {
        // The driver reads the failure from the error text.
        MvLogErrorHr(kFindEarliest, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
        return E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Where a catch-up resumes
// ---------------------------------------------------------------------------

void CMvCalculation::DropResumeStamp() {
    mv::ObjectLock lock(this);
    m_ResumeStamp = kNoKeldrinTime;
}

void CMvCalculation::SetResumeStamp(const KeldrinTime& time, IMvScheduleGroup* group) {
    // No group method runs under the calculation's lock.
    const GroupSchedule schedule = group ? ReadGroupSchedule(group) : GroupSchedule{};
    mv::ObjectLock lock(this);
    m_ResumeStamp = time;
    if (!group) return;
    m_ResumeGroup = group;
    m_ResumeSchedule = schedule;
}

bool CMvCalculation::ResumeStampFor(IMvScheduleGroup* group, KeldrinTime* stamp) {
    const GroupSchedule schedule = ReadGroupSchedule(group);
    mv::ObjectLock lock(this);
    if (IsNone(m_ResumeStamp)) return false;
    // Another group, or a schedule changed since: its scheduled times are
    // not the ones the stamp lies on.
    if (m_ResumeGroup != group || !(m_ResumeSchedule == schedule)) {
        m_ResumeStamp = kNoKeldrinTime;
        return false;
    }
    *stamp = m_ResumeStamp;
    return true;
}

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

namespace {

// The last point of an interval group's grid through its first run time
// that is not after start: the scheduled time a run at start belongs to.
KeldrinTime CurrentScheduledTimeForInterval(IMvScheduleGroup* group, const KeldrinTime& start) {
    DATE first = 0.0;
    (void)group->get_FirstRunTime(&first);
    KeldrinTime point = kNoKeldrinTime;
    DateToHistorianTime(1, first, &point, false);
    if (IsNone(point) || IsNone(start)) return point;
    const double step = RateTenths(group);
    if (!(step > 0.0)) return point;
    const double periods = std::floor(L_CALCDELXTM(&start, &point) / step);
    const double tenths = periods * step;
    (void)L_XTSPLUSDT(&point, &tenths);
    return point;
}

}  // namespace

HRESULT CMvCalculation::CalculateStoreForward(VARIANT_BOOL Enabled,
                                              IMvScheduleGroup* ScheduleGroup) {
    return MvMethodFrameNoEnd("CMvCalculation::CalculateStoreForward", [&](bool& writeEnd) {
        const HRESULT hr = CheckOrCalculateStoreForward(Enabled, ScheduleGroup, VARIANT_FALSE);
        writeEnd = t_writeEndLine;
        return hr;
    });
}

HRESULT CMvCalculation::CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) {
    return MvMethodFrameNoEnd("CMvCalculation::CheckStoreForward", [&](bool& writeEnd) {
        const HRESULT hr = CheckOrCalculateStoreForward(Enabled, ScheduleGroup, VARIANT_TRUE);
        writeEnd = t_writeEndLine;
        return hr;
    });
}

HRESULT CMvCalculation::CheckOrCalculateStoreForward(VARIANT_BOOL Enabled,
                                                     IMvScheduleGroup* ScheduleGroup,
                                                     VARIANT_BOOL Check) {
    t_writeEndLine = true;
    try {
        VARIANT_BOOL local = VARIANT_FALSE;
        {
            mv::ObjectLock lock(this);
            local = m_EnableStoreAndForward;
        }
        bool calculateMode = Check == 0;
        if (Enabled == 0 && local == 0) {
            t_writeEndLine = false;
            if (!calculateMode) return S_OK;
            SetStoreForwardState(3);
            return Calculate(ScheduleGroup);
        }
        if (!ScheduleGroup) return E_INVALIDARG;

        // The group is held and asked before the lock is taken: no group
        // method runs under the calculation's lock.
        mv::ComPtr<IMvScheduleGroup> group(ScheduleGroup);
        const DWORD start = GetTickCount();
        ResultsTrace trace(start);
        std::string groupName;
        if (trace.On()) {
            mv::Bstr name;
            (void)group->get_Name(name.Out());
            groupName = name.Utf8();
        }
        SHORT level = -1, status = -2;
        {
            mv::ObjectLock lock(this);
            if (m_BeingCalculated != 0) {
                t_writeEndLine = false;
                return S_OK;
            }
            m_BeingCalculated = 1;
            PushToTLS();
        }
        RunMark mark{this};
        ParamInfoShare table;
        LONG dataSetCount = 0;
        {
            mv::ObjectLock lock(this);
            m_RunScheduleGroup = mv::ComPtr<IMvScheduleGroup>(group).Detach();
            auto flag = [](LONG on) { return on != 0 ? "TRUE" : "FALSE"; };
            trace.Line("CalcName=" + m_Name + "; SchedGrp=" + groupName + "; Check=" + flag(Check) +
                       "; GloballyEnabledSF=" + flag(Enabled) + "; LocallyEnableSF=" + flag(local) +
                       ".");
            SetStoreTime(nullptr);
            table = m_ParamInfo;
            if (!table) table = SetupParamInfo();
            dataSetCount = m_DataSetCount;
            ClearErrorLocked();
            m_ErrorPosition = 0;
        }

        HRESULT result = S_OK;
        auto noneError = [](const char* name) { MvLogErrorA(kDriver, {name, " is none."}); };
        // Steps 3 to 12; returning is finishing.
        auto decide = [&] {
            if (!table) return;
            if (dataSetCount > 0) {
                ProcessDataSets(INPUT_PASS);
                trace.Elapsed("ProcessDataSets()");
            }
            ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
            trace.Elapsed("ProcessDataBindings()");

            KeldrinTime oldest = kNoKeldrinTime;
            LONG count = 0, untimed = 0;
            const HRESULT inputTimes = GetOldestInputTime(*table, &oldest, &count, &untimed);
            trace.Elapsed("GetOldestInputTime()");
            trace.Time("oldestInputTime", oldest);
            if (FAILED(inputTimes)) return;
            // One run as a plain run writes, with no store time; none in
            // check mode.
            auto runWithoutStoreTime = [&](LONG state, const char* message) {
                SetStoreForwardState(state);
                trace.Line(message);
                if (calculateMode) {
                    DropResumeStamp();
                    ExecuteAndStore(table, &level, &status, nullptr);
                    trace.Elapsed("ExecuteAndStore.");
                }
            };
            if (count == 0)
                return runWithoutStoreTime(
                    4,
                    "S/F enabled but there are no KDRN input params for this calc so execute "
                    "normally.");
            // One input that never had a value is enough: the runs would
            // take it as empty and store their results as good.
            if (untimed > 0) {
                SetStoreForwardState(5);
                trace.Elapsed("oldestInputTime is uninitialized.");
                return;
            }

            KeldrinTime current = kNoKeldrinTime;
            (void)L_GETDBXTIM(&current);
            trace.Time("currentTime", current);
            if (IsNone(current)) return noneError("currentTime");
            KeldrinTime last = kNoKeldrinTime;
            // Where this object's history runs have finished, or else the
            // outputs' newest time.
            HRESULT outputTimes = S_OK;
            if (!ResumeStampFor(group.get(), &last))
                outputTimes = GetLastCalculatedTime(*table, group.get(), &last);
            trace.Elapsed("GetLastCalculatedTime()");
            trace.Time("lastCalculatedTime", last);
            // Their failure is in the error text; an output left unresolved
            // by an exception would read as one that gives no time.
            if (FAILED(outputTimes)) return;
            // Without an output time the results cannot be stored at their
            // times, and last would stay none for ever.
            if (IsNone(last) && !AnyOutputGivesTime(*table))
                return runWithoutStoreTime(
                    0,
                    "S/F enabled but no KDRN output of this calc gives a time so execute "
                    "normally.");
            if (IsNone(last)) {
                GetPreviousScheduledTime(group.get(), &current, &last);
                if (IsPeriodic(group.get())) {
                    // A scheduled time is its own previous time: ask from just
                    // before it, so that last lies two periods back.
                    KeldrinTime before = last;
                    const double tenth = -1.0;
                    if (!IsNone(before)) (void)L_XTSPLUSDT(&before, &tenth);
                    GetPreviousScheduledTime(group.get(), &before, &last);
                } else {
                    // Gives the group's first run time.
                    GetPreviousScheduledTime(group.get(), &last, &last);
                }
            }
            if (IsNone(last)) return;

            KeldrinTime previous = kNoKeldrinTime;
            GetPreviousScheduledTime(group.get(), &last, &previous);
            trace.Elapsed("GetPreviousScheduledTime()");
            trace.Time("previousScheduledTime", previous);
            if (!IsNone(previous) && L_CALCDELXTM(&previous, &oldest) >= 0.0) {
                SetStoreForwardState(1);
                trace.Line(
                    "One or more input times are before the previousScheduledTime so wait a "
                    "cycle.");
                return;
            }

            KeldrinTime next = kNoKeldrinTime;
            GetNextScheduledTime(group.get(), &previous, &next);
            trace.Elapsed("GetNextScheduledTime()");
            trace.Time("nextScheduledTime", next);
            if (IsNone(next)) return noneError("nextScheduledTime");
            if (L_CALCDELXTM(&next, &current) > 0.0) {
                SetStoreForwardState(0);
                trace.Line("Next scheduled time has not arrived so wait a normal cycle.");
                return;
            }

            const bool periodic = IsPeriodic(group.get());
            if (L_CALCDELXTM(&next, &oldest) > 0.0) {
                static constexpr const char* kOlder =
                    "Next scheduled time has arrived.  Some input times are older.  ";
                if (periodic) {
                    SetStoreForwardState(6);
                    trace.Line(std::string(kOlder) + "Wait a short cycle.");
                    return;
                }
                const double rate = RateTenths(group.get());
                const LONG behind =
                    rate > 0.0 ? TruncateToLong(
                                     (std::fabs(L_CALCDELXTM(&current, &next)) + rate / 2.0) / rate)
                               : 0;
                if (behind > 1) {
                    SetStoreForwardState(6);
                    trace.Line(std::string(kOlder) + "Calcs are " + std::to_string(behind) +
                               " periods behind so wait a short cycle.");
                } else {
                    SetStoreForwardState(0);
                    trace.Line(std::string(kOlder) + "Wait a normal cycle.");
                }
                return;
            }

            trace.Line(
                "Next scheduled time has arrived and all inputs are current so lets calculate on "
                "history.");
            // The current values can be ahead of what the archive holds:
            // the history run reads the archive.
            KeldrinTime latest = kNoKeldrinTime;
            result = FindEarliestRecentHistoryTime(*table, &latest);
            if (FAILED(result)) {
                std::string error;
                {
                    mv::ObjectLock lock(this);
                    error = m_ErrorText;
                }
                trace.Line("Error from call to FindEarliestRecentHistoryTime: " + error + ".");
                return;
            }
            trace.Elapsed("FindEarliestRecentHistoryTime()");
            if (IsNone(latest)) {
                trace.Line(
                    "No times returned from history and no error so perhaps KDRN archiver is "
                    "paused or down.");
                return;
            }
            trace.Time("latestHistoryTime", latest);
            if (L_CALCDELXTM(&oldest, &latest) > 0.0) {
                oldest = latest;
                trace.Line(
                    "History times are earlier than current input times so use "
                    "latestHistoryTime as the oldestInputTime.");
            }
            if (L_CALCDELXTM(&next, &oldest) > 0.0) {
                SetStoreForwardState(6);
                trace.Line("Some historized input times are older so wait a short cycle.");
                return;
            }

            calculateMode = true;
            KeldrinTime lastAvailable = kNoKeldrinTime;
            GetLastScheduledTime(group.get(), &next, &oldest, &lastAvailable);
            trace.Elapsed("GetLastScheduledTime()");
            trace.Time("lastAvailableScheduledTime", lastAvailable);
            KeldrinTime newLast = kNoKeldrinTime;
            ExecuteOnHistory(table, group.get(), &previous, periodic ? &next : &lastAvailable,
                             &newLast);
            trace.Elapsed(periodic ? "ExecuteOnHistory() for periodic schedule"
                                   : "ExecuteOnHistory() for interval schedule");
            if (HasError()) return;

            KeldrinTime currentScheduled = kNoKeldrinTime;
            if (periodic)
                GetPreviousScheduledTime(group.get(), &current, &currentScheduled);
            else
                currentScheduled = CurrentScheduledTimeForInterval(group.get(), current);
            if (IsNone(currentScheduled)) return noneError("currentScheduledTime");
            trace.Elapsed("GetPreviousScheduledTime()");
            trace.Time("currentScheduledTime", currentScheduled);
            if (!IsNone(newLast)) trace.Time("newLastCalculatedTime", newLast);
            const double x = L_CALCDELXTM(IsNone(newLast) ? &next : &newLast, &currentScheduled);
            if (x >= -10.0 && x <= 10.0) {
                SetStoreForwardState(0);
                trace.Line(
                    "New calculated time matches the current scheduled time so S/F is caught up.  "
                    "Wait a full cycle.");
            } else {
                SetStoreForwardState(2);
                trace.Line(
                    "New calculated time does not match the current scheduled time so forward "
                    "mode is active.  Wait a short cycle.");
            }
        };
        try {
            decide();
        } catch (...) {
            AddError(MvRunExceptionText(std::current_exception()));
        }

        PopFromTLS();
        mark.popped = true;
        IMvScheduleGroup* runGroup = nullptr;
        {
            mv::ObjectLock lock(this);
            if (calculateMode) {
                trace.Elapsed("Clean up and finish," + std::to_string(m_StoreForwardState) + ".");
                SetStoreTime(nullptr);
                TakeReturnValue();
                m_LastExecution = CurrentDateTime();
                m_CalculateTime = GetTimeElapsed(start);
                trace.Seconds(u"Calculation Time : ", m_CalculateTime);
            }
            runGroup = std::exchange(m_RunScheduleGroup, nullptr);
            m_BeingCalculated = 0;
            mark.ended = true;
        }
        if (runGroup) runGroup->Release();
        return result;
    } catch (...) {
        SetStoreTime(nullptr);
        MvLogErrorHr(kDriver, E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}
