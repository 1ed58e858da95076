// CMvCalculation::SetCalcFromFormula: the refresh of a calculation from the
// library formula it names, which the environment's loader runs after every
// load. It reaches the formula through the library cache.
#include "calculation/calculation.h"
#include "environment/library_cache.h"
#include "frame/trace.h"

HRESULT CMvCalculation::SetCalcFromFormula() {
    return MvMethodFrame("CMvCalculation::SetCalcFromFormula", [&]() -> HRESULT {
        mv::Bstr library;
        mv::Bstr formula;
        (void)get_LibraryName(library.Out());
        (void)get_FormulaName(formula.Out());
        if (SysStringLen(library.get()) == 0 || SysStringLen(formula.get()) == 0) return S_OK;
        mv::ComPtr<IMvCalculation> found;
        HRESULT hr = GetFormulaFromLibrary(library.get(), formula.get(), found.Put());
        if (found) hr = SetCalcFromFormulaP(found.get());
        return hr;
    });
}
