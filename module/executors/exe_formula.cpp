// The external-program formula: one command text of the program name and,
// for every parameter after "ReturnValue", its switch and value, run without
// a shell. The program's exit code and output are not read.
#include "executors/exe_formula.h"

#include <atomic>
#include <new>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "sys.h"

namespace {

std::atomic<MvCommandRunner> g_commandRunner{nullptr};

int RunCommand(std::string_view text) {
    MvCommandRunner runner = g_commandRunner.load();
    return runner ? runner(text) : mv::RunCommandText(text);
}

}  // namespace

MvCommandRunner MvSetCommandRunner(MvCommandRunner runner) {
    return g_commandRunner.exchange(runner);
}

// The text is one pair of double quotes around the program name and every
// argument; a switch and its value stand together without a separator.
// Values are never interpreted: the runner splits the text into words and
// starts the program itself.
void CMvCalculation::EXE_Execute(const ParamInfoTable& table) {
    static constexpr const char* kName = "CMvCalculation::EXE_Execute";
    MvStepFrame step(kName);
    try {
        std::string program;
        {
            mv::ObjectLock lock(this);
            program = m_ProgramName;
        }
        if (program.empty()) return;
        std::string command = "\"" + program;
        for (std::size_t i = 1; i < table.Records.size(); ++i) {
            IMvParameter* parameter = table.Records[i].Parameter.get();
            mv::Bstr argument;
            mv::Variant value;
            if (parameter) {
                parameter->get_EXE_RuntimeArgument(argument.Out());
                MvThrowIfOutOfMemory(parameter->get_Value(&value));
            }
            std::string valueText;
            SaveVARIANT(value, valueText);
            command += ' ' + argument.Utf8() + valueText;
        }
        command += '"';
        // A program that does not start would otherwise pass for a run that
        // wrote nothing: the error text stops the output pass.
        if (RunCommand(command) == -1) SetError("Failed to start program: " + program);
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

void CMvCalculation::SaveVARIANT(const VARIANT& value, std::string& text) {
    static constexpr const char* kName = "CMvCalculation::SaveVARIANT";
    MvStepFrame step(kName);
    text.clear();
    try {
        mv::Variant converted;
        if (FAILED(MvThrowIfOutOfMemory(VariantChangeType(&converted, &value, 0, VT_BSTR)))) return;
        text = mv::ToUtf8(converted.bstrVal);
    } catch (const std::bad_alloc&) {
        // No text for lack of memory is no empty argument: the run fails.
        text.clear();
        throw;
    } catch (...) {
        text.clear();
        MvLogErrorHr(kName, E_UNEXPECTED);
    }
}
