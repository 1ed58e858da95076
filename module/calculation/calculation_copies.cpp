// The copy chain that gives each thread its own instance of a library
// formula, and the per-thread stack of running calculations.
#include "calculation/calculation.h"
#include "frame/tls_slots.h"
#include "frame/trace.h"

namespace {

// Nested allocations one thread may make along one chain beyond the first
// instance.
constexpr LONG kMaxCopyNesting = 10;

MvRunningNode* TopOfStack() noexcept {
    return static_cast<MvRunningNode*>(TlsGetValue(g_tlsCalcStack));
}

// Gives a node back: to its calculation when it is that one's own.
void FreeNode(MvRunningNode* node) noexcept {
    if (node->Free)
        node->Free->store(true, std::memory_order_release);
    else
        delete node;
}

}  // namespace

IUnknown* MvRunningCalculation() noexcept {
    MvRunningNode* top = TopOfStack();
    return top ? top->Calculation : nullptr;
}

// The first free instance of the chain from this one on, in use by the
// calling thread afterwards; a new copy at the end when every instance is
// busy.
HRESULT CMvCalculation::AllocateCopy(IMvCalculation** pFormula, LONG RecursionCount) {
    static constexpr const char* kName = "CMvCalculation::AllocateCopy";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        if (!pFormula) return E_POINTER;
        *pFormula = nullptr;
        try {
            mv::ComPtr<IMvCalculation> next;
            {
                mv::ObjectLock lock(this);
                const DWORD thread = GetCurrentThreadId();
                if (m_BeingCalculated == 0) {
                    m_CopyOwnerThread = thread;
                    m_BeingCalculated = 1;
                    *pFormula = this;
                    (*pFormula)->AddRef();
                    return S_OK;
                }
                if (m_CopyOwnerThread == thread && ++RecursionCount > kMaxCopyNesting)
                    return E_FAIL;
                if (!m_NextCopy) {
                    mv::ComPtr<mv::ComObject<CMvCalculation>> created;
                    HRESULT hr = mv::MakeComObject(&created);
                    // A copy whose set-up fails is never linked: the next
                    // allocation tries again.
                    if (SUCCEEDED(hr) && created) hr = created->SetUpFromFormula(this, true);
                    if (FAILED(hr) || !created) {
                        // The end line names the creation's or set-up's failure.
                        writeEnd = false;
                        if (g_DiagnosticLog.IsOn(LogMethods))
                            MvTraceMethodEnd(kName, FAILED(hr) ? hr : E_FAIL);
                        return E_FAIL;
                    }
                    m_NextCopy = static_cast<IMvCalculation*>(created.Detach());
                }
                next = mv::ComPtr<IMvCalculation>(m_NextCopy);
            }
            return next->AllocateCopy(pFormula, RecursionCount);
        } catch (...) {
            MvLogErrorHr(kName, E_UNEXPECTED);
            return E_FAIL;
        }
    });
}

HRESULT CMvCalculation::DeallocateCopy() {
    return MvMethodFrame("CMvCalculation::DeallocateCopy", [&] {
        mv::ObjectLock lock(this);
        m_BeingCalculated = 0;
    });
}

void CMvCalculation::PushToTLS() {
    try {
        // The calculation's own node, unless a run elsewhere holds it.
        MvRunningNode* node =
            m_RunningNodeFree.exchange(false, std::memory_order_acquire) ? &m_RunningNode : nullptr;
        if (node)
            node->Free = &m_RunningNodeFree;
        else
            node = new MvRunningNode;
        node->Calculation = nullptr;
        node->Below = TopOfStack();
        if (OuterUnknown()) {
            static_cast<IMvCalculation*>(this)->QueryInterface(
                IID_IUnknown, reinterpret_cast<void**>(&node->Calculation));
        } else {
            // Not aggregated, the object's identity is its own unknown.
            node->Calculation = GetUnknown();
            node->Calculation->AddRef();
        }
        if (!TlsSetValue(g_tlsCalcStack, node)) {
            IUnknown* calculation = node->Calculation;
            FreeNode(node);
            if (calculation) calculation->Release();
        }
    } catch (...) {
        MvLogErrorHr("CMvCalculation::PushToTLS", E_UNEXPECTED);
    }
}

// The node is given back before the reference goes: that may be the last,
// and the node the calculation's own.
void CMvCalculation::PopFromTLS() {
    MvRunningNode* top = TopOfStack();
    if (!top) return;
    TlsSetValue(g_tlsCalcStack, top->Below);
    IUnknown* calculation = top->Calculation;
    FreeNode(top);
    if (calculation) calculation->Release();
}
