#include "frame/tls_slots.h"

#include <array>

DWORD g_tlsScratchBuffer = TLS_OUT_OF_INDEXES;
DWORD g_tlsRunningScheduleGroup = TLS_OUT_OF_INDEXES;
DWORD g_tlsCalcStack = TLS_OUT_OF_INDEXES;
DWORD g_tlsLibraryMap = TLS_OUT_OF_INDEXES;
DWORD g_tlsReportFileErrors = TLS_OUT_OF_INDEXES;

namespace {

// In allocation (and freeing) order.
const std::array<DWORD*, 5> kSlots = {&g_tlsScratchBuffer, &g_tlsRunningScheduleGroup,
                                      &g_tlsCalcStack, &g_tlsLibraryMap, &g_tlsReportFileErrors};

void SetIfAllocated(DWORD slot, LPVOID value) {
    if (slot != TLS_OUT_OF_INDEXES) TlsSetValue(slot, value);
}

}  // namespace

void AllocateTlsSlots() {
    for (DWORD* slot : kSlots) *slot = TlsAlloc();
    SetIfAllocated(g_tlsReportFileErrors, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(1)));
    SetIfAllocated(g_tlsCalcStack, nullptr);
    SetIfAllocated(g_tlsRunningScheduleGroup, nullptr);
}

void FreeTlsSlots() {
    for (DWORD* slot : kSlots) {
        if (*slot != TLS_OUT_OF_INDEXES) TlsFree(*slot);
        *slot = TLS_OUT_OF_INDEXES;
    }
}

bool ReportFileErrorsOnThisThread() {
    if (g_tlsReportFileErrors == TLS_OUT_OF_INDEXES) return false;
    return TlsGetValue(g_tlsReportFileErrors) != nullptr;
}

void SetReportFileErrorsOnThisThread(bool report) {
    SetIfAllocated(g_tlsReportFileErrors,
                   reinterpret_cast<LPVOID>(static_cast<uintptr_t>(report ? 1 : 0)));
}
