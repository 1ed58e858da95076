// The historian's older client library: the calls of keldrin_api against the
// local database, plus attaching to it. Built as libkeldcore.so and loaded by
// name as "keldcore.dll".
#include "keldcore.h"
#include "impl.h"

#define KH_LIBRARY KHSIM_KELDCORE
#define KH_TARGET kh::Target::Local
#include "entries.inc"

extern "C" {

LONG DBMAPPED(void) {
    KH_ENTER_RET("DBMAPPED", 0);
    kh::Model& m = kh::Model::get();
    std::lock_guard lock(m.mutex);
    return m.dbmapped;
}

LONG KeldrinInit(PFN_KeldcoreShutdownCallback callback, LONG, LONG, LONG) {
    KH_ENTER_RET("KeldrinInit", 0);
    kh::Model& m = kh::Model::get();
    std::lock_guard lock(m.mutex);
    if (m.keldrinInit) m.shutdownCallback = callback;
    return m.keldrinInit;
}

void ENDKELD(void) {
    kh::enter(KHSIM_KELDCORE, "ENDKELD");
}

#define KH_UNSUPPORTED(name)              \
    LONG name(void) {                     \
        kh::enter(KHSIM_KELDCORE, #name); \
        return KELDRIN_E_NOTSUPPORTED;    \
    }
KH_UNSUPPORTED(INIKELD)
KH_UNSUPPORTED(TS2DSPDT)
KH_UNSUPPORTED(DSPDT2TS)
KH_UNSUPPORTED(DATE2ASCII)
KH_UNSUPPORTED(ASCII2DATE)
KH_UNSUPPORTED(FLDINFO)
KH_UNSUPPORTED(WHISKDDAT)
KH_UNSUPPORTED(RHISKDAGGR)
KH_UNSUPPORTED(KeldrinRegisterShutdownCallback)
KH_UNSUPPORTED(USTS2ASCII)

}  // extern "C"
