// Store-and-forward as a scheduler sees it: a calculation whose input lags
// waits instead of computing on incomplete data, and once the late data has
// arrived it catches up over the input's history, each result stamped with
// its scheduled time.
//
// The program registers the module in a registry store of its own (in a
// temporary folder that is also the base folder of the calculations), seeds
// the historian stand-in with a server, two inputs and a clock, creates two
// calculations with a one-line formula each, saves them under Calc/ and puts
// them into an hourly schedule group whose first run lies six hours back.
// FEED is current; DRAIN's link dropped after its value of 00:30, so its
// history stops there. Then, as a scheduler would:
// - the calculate pass at 06:10: FeedDoubled catches up 01:00 to 06:00;
//   DrainPlusTen waits in state 6 ("Store - Oldest input is before the next
//   execution time"), a history-mode state. (An hourly group shows this wait
//   only when the clock is 1.5 periods or more past the next scheduled time;
//   nearer, the state reads "Normal operation".)
// - DRAIN's buffered values of 01:00 to 06:00 arrive;
// - the check pass at 06:20, which reaches only the calculations in history
//   mode: DrainPlusTen catches up 01:00 to 06:00 and is back to "Normal
//   operation".
// After each pass it prints each calculation's store-and-forward state and
// the results that pass stored in the historian.
//
// Run it from the build tree: it finds the module in ../lib and the formula
// scripting library in ../dlls beside its own folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "com.h"
#include "interfaces/IMvCalcEnvironment.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "interfaces/IMvScheduleGroup.h"
#include "keldrin_api.h"
#include "keldrin_sim.h"
#include "oleaut.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;

constexpr LONG kValue = 0x10000;   // the inputs' field
constexpr LONG kResult = 0x20000;  // the results' field

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "store_and_forward: %s failed\n", what);
        std::exit(1);
    }
}

// 2024-03-10 at the given hour and minute, UTC.
KeldrinTime At(int hour, int minute = 0) {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 10;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return KeldrinTime{static_cast<ULONG>(timegm(&tm)), 0};
}

DATE DateOf(const KeldrinTime& t) {
    return t.Seconds / 86400.0 + 25569.0;
}

std::string Text(const KeldrinTime& t) {
    char text[21] = {};
    SHORT length = 0;
    XTS2ASCII(&t, text, 20, &length);
    return std::string(text, static_cast<size_t>(length > 0 ? length : 0));
}

// One sample of an input, kept in its history and, when `current`, as its
// current value. FEED rises by 2.5 an hour, DRAIN by 1.0, from 40.
void Reading(LONG record, bool feed, int hour, int minute, bool current) {
    KhSimValue v{};
    v.Number = 40.0 + (hour + minute / 60.0) * (feed ? 2.5 : 1.0);
    v.Stamp = At(hour, minute);
    Check(KhSim_AddSample("PLANT", record, kValue, &v) == 1, "adding a sample");
    if (current) Check(KhSim_SetValue("PLANT", record, kValue, &v) == 1, "a value");
}

// The historian: server PLANT with a tank feed (FEED), sampled every hour
// from 00:00 to 06:00 and current at 06:00, a drain (DRAIN) whose values
// stopped after 00:00 and 00:30, and a result record for each calculation;
// the clock stands at 06:10. Returns DRAIN's record.
LONG SeedHistorian() {
    KhSim_Reset();
    Check(KhSim_AddServer("PLANT", 11, 3, 0) > 0, "adding the server");
    LONG drain = 0;
    for (const char* name : {"FEED", "DRAIN"}) {
        const LONG record = KhSim_AddRecord("PLANT", name, 0);
        Check(record > 0 && KhSim_AddField("PLANT", record, "VAL", kValue, -16, 0) == 1,
              "adding an input record");
        if (name[0] == 'F') {
            for (int hour = 0; hour <= 6; ++hour) Reading(record, true, hour, 0, hour == 6);
        } else {
            drain = record;
            Reading(record, false, 0, 0, false);
            Reading(record, false, 0, 30, true);
        }
    }
    for (const char* name : {"FEED_X2", "DRAIN_PLUS"}) {
        const LONG record = KhSim_AddRecord("PLANT", name, 0);
        Check(record > 0 && KhSim_AddField("PLANT", record, "RESULT", kResult, -16, 0) == 1,
              "adding a result record");
        KhSim_ClearValueTime("PLANT", record, kResult);
    }
    const KeldrinTime now = At(6, 10);
    KhSim_SetClock(&now);
    return drain;
}

mv::ComPtr<IMvParameter> Bind(IMvCalculation* calc, const char* name, LONG direction,
                              const char* record, const char16_t* field, LONG historyField) {
    mv::ComPtr<IMvParameter> p;
    Check(calc->AddParameter(mv::Bstr(mv::ToUtf16(name)).get(), p.Put()) == S_OK,
          "adding a parameter");
    p->put_ParameterType(direction);
    p->put_BindingType(mvcKeldrin);
    p->put_NodeName(mv::Bstr(u"PLANT").get());
    p->put_RecordName(mv::Bstr(mv::ToUtf16(record)).get());
    p->put_FieldName(mv::Bstr(field).get());
    p->put_HistoryField_ID(historyField);
    return p;
}

// A calculation of one formula line, saved as Calc/<name>.mvc.
void SaveCalculation(const fs::path& base, const char* name, const char* input, const char* output,
                     const char* script) {
    CLSID clsid{};
    Check(CLSIDFromProgID(u"Morva.Calc.Calculation.1", &clsid) == S_OK, "finding the class");
    mv::ComPtr<IMvCalculation> calc;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalculation,
                           calc.PutVoid()) == S_OK,
          "creating a calculation");
    calc->put_Name(mv::Bstr(mv::ToUtf16(name)).get());
    calc->put_ScriptText(mv::Bstr(mv::ToUtf16(script)).get());
    calc->put_EnableStoreAndForward(VARIANT_TRUE);
    Bind(calc.get(), "Level", mvcInput, input, u"VAL", kValue);
    Bind(calc.get(), "Result", mvcOutput, output, u"RESULT", 0);
    mv::ComPtr<IMvPersistFile> file;
    Check(calc.As(&file) == S_OK, "IMvPersistFile");
    const std::string path = (base / "Calc" / (std::string(name) + ".mvc")).string();
    Check(file->SaveToFile(mv::Bstr(mv::ToUtf16(path)).get()) == S_OK, "saving a calculation");
}

// The results stored for a record, as a client of the historian reads them,
// from the (*printed + 1)-th on; *printed counts them.
void PrintResults(const char* record, LONG* printed) {
    KeldrinErrorBlock err{};
    const LONG server = DaLookupAlias("PLANT__AC");
    DaSetDefaultServer(static_cast<SHORT>(server), &err);
    LONG id = 0;
    DECODNAM(record, static_cast<SHORT>(std::string(record).size()), &id, &err);
    const KeldrinTime from = At(0), to = At(23);
    KeldrinUst b{}, e{};
    XTS2XUST(&from, &b);
    XTS2XUST(&to, &e);
    std::vector<BYTE> buffer(100 * 24);
    std::vector<KeldrinUst> times(100);
    std::vector<SHORT> codes(100);
    void* const buffers[1] = {buffer.data()};
    SHORT type = -16, more = 0;
    LONG returned = 0, field = kResult;
    RHISKDDATA(2, 0, 0, id, field | 1, &b, &e, 1, &field, &type, 100, codes.data(), times.data(),
               buffers, &returned, &more, &err);
    if (returned <= *printed) std::printf("  (none)\n");
    for (LONG k = *printed; k < returned; ++k) {
        double value = 0.0;
        std::memcpy(&value, buffer.data() + k * 24, sizeof value);
        KeldrinTime t{};
        XUST2XTS(&times[static_cast<size_t>(k)], &t);
        std::printf("  %s  %.2f\n", Text(t).c_str(), value);
    }
    if (returned > *printed) *printed = returned;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("TZ", "UTC", 1);
    tzset();
    char pattern[] = "/tmp/store-and-forward-XXXXXX";
    Check(mkdtemp(pattern) != nullptr, "making a folder");
    const fs::path base = pattern;
    fs::create_directories(base / "Calc");
    fs::create_directories(base / "appdata");
    setenv("MORVA_COMMON_APPDATA", (base / "appdata").c_str(), 1);
    setenv("MORVA_CALC_BASE", base.c_str(), 1);
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    setenv("MORVA_DLL_PATH", (build / "dlls").c_str(), 1);
    mv::RegistryUseFile((base / "registry.reg").string());

    HMODULE module = LoadLibraryA((build / "lib" / "libMvMorvaCalc.so").c_str());
    Check(module != nullptr, "loading the module");
    auto registerServer =
        reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
    Check(registerServer && registerServer() == S_OK, "registering the module");

    const LONG drain = SeedHistorian();
    SaveCalculation(base, "FeedDoubled", "FEED", "FEED_X2", "Result = Level * 2");
    SaveCalculation(base, "DrainPlusTen", "DRAIN", "DRAIN_PLUS", "Result = Level + 10");

    {
        CLSID clsid{};
        Check(CLSIDFromProgID(u"Morva.Calc.ScheduleGroup.1", &clsid) == S_OK, "finding the group");
        mv::ComPtr<IMvScheduleGroup> group;
        Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvScheduleGroup,
                               group.PutVoid()) == S_OK,
              "creating a group");
        group->put_Name(mv::Bstr(u"Hourly").get());
        group->put_ScheduleRate(1.0 / 24.0);
        group->put_FirstRunTime(DateOf(At(0)));
        for (const char16_t* name : {u"FeedDoubled", u"DrainPlusTen"}) {
            mv::ComPtr<IMvCalculationRef> ref;
            Check(group->AddCalculation(mv::Bstr(name).get(), ref.Put()) == S_OK,
                  "adding a member");
        }
        CLSID envClsid{};
        Check(CLSIDFromProgID(u"Morva.Calc.Environment.1", &envClsid) == S_OK, "the environment");
        mv::ComPtr<IMvCalcEnvironment> env;
        Check(CoCreateInstance(envClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalcEnvironment,
                               env.PutVoid()) == S_OK,
              "creating the environment");

        struct Member {
            const char16_t* name;
            const char* record;
            LONG printed;
        } members[] = {{u"FeedDoubled", "FEED_X2", 0}, {u"DrainPlusTen", "DRAIN_PLUS", 0}};
        auto report = [&] {
            for (Member& m : members) {
                // The group's members run the calculations that the
                // environment keeps active, by name.
                mv::ComPtr<IMvCalculation> calc;
                env->GetCalcObject(mv::Bstr(m.name).get(), nullptr, calc.Put());
                mv::Bstr status;
                VARIANT_BOOL waiting = VARIANT_FALSE;
                if (calc) {
                    calc->get_StoreForwardStatus(status.Out());
                    calc->get_IsStoreForwardHistoryMode(&waiting);
                }
                std::printf("%s: StoreForwardStatus \"%s\"%s\n", mv::ToUtf8(m.name).c_str(),
                            status.Utf8().c_str(), waiting ? " (history mode)" : "");
                PrintResults(m.record, &m.printed);
            }
        };

        std::printf(
            "Hourly schedule from %s; FEED is current to %s; DRAIN's value of %s "
            "came last\n",
            Text(At(0)).c_str(), Text(At(6)).c_str(), Text(At(0, 30)).c_str());
        std::printf("\nCalculate pass at %s\n", Text(At(6, 10)).c_str());
        Check(group->CalculateStoreForward(VARIANT_TRUE) == S_OK, "the calculate pass");
        report();

        std::printf("\nDRAIN's buffered values of %s to %s arrive\n", Text(At(1)).c_str(),
                    Text(At(6)).c_str());
        for (int hour = 1; hour <= 6; ++hour) Reading(drain, false, hour, 0, hour == 6);
        const KeldrinTime later = At(6, 20);
        KhSim_SetClock(&later);

        // The check pass reaches only the calculations in a history-mode
        // state; one whose inputs are now complete catches up.
        std::printf("\nCheck pass at %s\n", Text(later).c_str());
        Check(group->CheckStoreForward(VARIANT_TRUE, VARIANT_FALSE) == S_OK, "the check pass");
        report();
        // The scratch buffer the calling thread's runs used.
        env->ReleaseThreadLocalBuffer();
    }
    CoFreeUnusedLibrariesEx(0, 0);  // every thread of ours is done with the module
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
}
