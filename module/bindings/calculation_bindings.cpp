// Calculation bindings: an input that takes the value, level and status of
// another calculation, run anew each time the input is read.
#include "calculation/calculation.h"
#include "environment/calc_cache.h"
#include "frame/calc_variant.h"
#include "frame/trace.h"

void CMvCalculation::CalculationBindingHandler(const MvBindingCall& call) {
    if (call.Record)
        call.Calculation->ReadCalculationBinding(call.Pass, *call.Record, call.Level, call.Status);
}

void CMvCalculation::ReadCalculationBinding(LONG, const ParamInfo& record, SHORT* level,
                                            SHORT* status) {
    mv::Bstr name;
    MvThrowIfOutOfMemory(record.Parameter->get_CalculationName(name.Out()));
    mv::ComPtr<IMvCalculation> bound;
    g_GetCalcObject(name.get(), bound.Put());
    if (bound) {
        RunBoundCalculation(record, bound.get(), name.get(), level, status);
        return;
    }
    SetError("Error reading parameter \"" + record.Name + "\", calculation \"" +
             mv::ToUtf8(name.get()) + "\" not found");
}

void CMvCalculation::RunBoundCalculation(const ParamInfo& record, IMvCalculation* bound, BSTR name,
                                         SHORT* level, SHORT* status) {
    // A calculation already running (this one, or one in a cycle through
    // it) returns at once and gives what it holds.
    const HRESULT ran = bound->Calculate();
    mv::Bstr error;
    bound->get_ErrorText(error.Out());
    // A run that failed without a text (lost for lack of memory) fails the
    // read as one with a text does.
    if (FAILED(ran) || error.Length() != 0) {
        SetError(
            "Error in calculation \"" + mv::ToUtf8(name) + "\" when reading parameter \"" +
            record.Name + "\": " +
            (error.Length() != 0 ? error.Utf8() : mv::ToUtf8(CDiagnosticLog::HResultText(ran))));
        return;
    }
    mv::Variant value;
    SHORT boundLevel = 0, boundStatus = 0;
    // A value that could not be copied for lack of memory fails the run
    // rather than pass for the bound calculation's with its good level.
    MvThrowIfOutOfMemory(bound->get_Value(&value));
    bound->get_Level(&boundLevel);
    bound->get_Status(&boundStatus);
    MvThrowIfOutOfMemory(
        record.Parameter->SetParameterValues(&value, &boundLevel, &boundStatus, nullptr));
    if (level && status) {
        *level = *level == -1 ? boundLevel : WorseLevel(*level, boundLevel);
        *status = LevelToStatus(*level);
    }
}
