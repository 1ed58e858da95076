// The time-conversion stand-in: FILETIME to local OLE date through the
// process time zone.
#include <atomic>
#include <mutex>

#include "time_conversion_sim.h"

namespace timeconv {

namespace {

struct State {
    std::mutex m;
    std::atomic<HRESULT> createFailure{S_OK};
    std::atomic<int> calls{0};
    mv::ServedClassRegistration registration;
};

State& S() {
    static State* s = new State;  // never destroyed: objects may outlive static destruction
    return *s;
}

class CTimeConversion : public mv::ComObjectRoot<CTimeConversion>, public IMvTimeConversion {
public:
    using InterfaceMap = mv::Interfaces<IMvTimeConversion>;
    HRESULT FinalConstruct() { return S().createFailure.load(); }

    HRESULT FileTimeToLocalDate(ULONG low, ULONG high, DATE* date) override {
        if (!date) return E_POINTER;
        ++S().calls;
        const FILETIME utc{low, high};
        FILETIME local{};
        if (!FileTimeToLocalFileTime(&utc, &local)) return E_INVALIDARG;
        *date = mv::DateFromFileTime(local);
        return S_OK;
    }
};

}  // namespace

HRESULT Register() {
    return S().registration.Register<CTimeConversion>(CLSID_MvTimeConversion);
}

void Revoke() {
    S().registration.Revoke();
}

void Reset() {
    S().createFailure = S_OK;
    S().calls = 0;
}

void SetCreateFailure(HRESULT hr) {
    S().createFailure = hr;
}

int Calls() {
    return S().calls.load();
}

}  // namespace timeconv
