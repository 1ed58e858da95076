// The module's five thread-local slots. They are allocated at start-up in
// the order below and freed at shut-down in the same order; a slot reads 0
// on a thread that never set it.
#pragma once

#include "sys.h"

// The per-thread scratch byte buffer, created on first use.
extern DWORD g_tlsScratchBuffer;
// The schedule group being calculated on this thread.
extern DWORD g_tlsRunningScheduleGroup;
// The top of this thread's running-calculation stack.
extern DWORD g_tlsCalcStack;
// This thread's own map of loaded formula libraries (per-thread libraries).
extern DWORD g_tlsLibraryMap;
// 1: log failures to open a document file; 0: stay silent. Only the loading
// thread starts at 1.
extern DWORD g_tlsReportFileErrors;

// Allocates the five slots in order (an index stays TLS_OUT_OF_INDEXES when
// its allocation fails) and sets the calling thread's values: report file
// errors 1, no calculation stack, no running schedule group.
void AllocateTlsSlots();
// Frees the five slots in the same order and forgets their indexes. The
// per-thread contents are not freed here.
void FreeTlsSlots();

// Whether the calling thread logs failures to open document files.
bool ReportFileErrorsOnThisThread();
// Sets that for the calling thread (nothing before start-up).
void SetReportFileErrorsOnThisThread(bool report);
