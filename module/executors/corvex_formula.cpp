// The Corvex script formula (kinds 4 and 7) and the discovery of a script's
// parameters. The scripting library does the parsing and the running; the
// calculation hands it the script and turns the names it lists into
// parameters.
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "calculation/corvex_library.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "interfaces/IMvFormulaRef.h"
#include "persistence/obj_collection.h"

namespace {

constexpr const char* kNotAvailable = "Corvex scripting library is not available.";
constexpr const char* kColonNotAllowed = "\":\" not allowed.";

// The discovery mode, from the first unit of the mode text.
enum class CorvexMode { Plain, AdHoc, Binding };

CorvexMode ModeOf(BSTR servers) {
    if (!servers || servers[0] == 0) return CorvexMode::Plain;
    return servers[0] == 1 ? CorvexMode::AdHoc : CorvexMode::Binding;
}

}  // namespace

LONG CMvCalculation::CorvexParameterType(LONG kind) {
    switch (kind) {
        case 1:
            return mvcInput;
        case 2:
        case 4:
            return mvcOutput;
        case 3:
            return mvcInputOutput;
        default:
            return mvcUnUsed;
    }
}

void CMvCalculation::PutErrorTextA(const char* text) {
    // Marked first: a text that cannot be copied for lack of memory (the copy
    // throws) still fails the run.
    if (*text) MarkFailed();
    put_ErrorText(mv::Bstr(std::string_view(text)).get());
}

// A failure of the library shows in the error text, so that the run does not
// write outputs the script did not compute.
void CMvCalculation::ExecuteCorvex(bool onDemand) {
    static constexpr const char* kName = "CMvCalculation::ExecuteCorvex";
    MvStepFrame step(kName);
    const CorvexScriptCalls calls = GetCorvexScriptCalls();
    if (!calls.Complete()) {
        SetError(kNotAvailable);
        return;
    }
    std::string script;
    LONG sandBox = 0;
    LONG hasDravik = 0;
    {
        mv::ObjectLock lock(this);
        script = m_ScriptText;
        sandBox = m_SandBoxMode;
        hasDravik = m_DravikConnect ? 1 : 0;
    }
    mv::ComPtr<IMvCalculation> self;
    static_cast<IMvCalculation*>(this)->QueryInterface(IID_IMvCalculation, self.PutVoid());
    try {
        calls.Execute(self.get(), hasDravik, script.c_str(), onDemand ? 1 : 0, sandBox);
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

HRESULT CMvCalculation::CreateCorvexParams(BSTR bAutoBindServers, VARIANT* pUnused,
                                           VARIANT* pUnbound) {
    static constexpr const char* kName = "CMvCalculation::CreateCorvexParams";
    return MvMethodFrame(kName, [&]() -> HRESULT {
        if (!pUnused || !pUnbound) return E_POINTER;
        VariantClear(pUnused);
        VariantClear(pUnbound);
        void* handle = nullptr;
        MarkFormulaRefsUnused();
        const CorvexMode mode = ModeOf(bAutoBindServers);
        const CorvexScriptCalls calls = GetCorvexScriptCalls();
        std::string script;
        {
            mv::ObjectLock lock(this);
            script = m_ScriptText;
        }
        if (!calls.Complete()) {
            PutErrorTextA(kNotAvailable);
        } else {
            mv::ComPtr<IMvCalculation> self;
            static_cast<IMvCalculation*>(this)->QueryInterface(IID_IMvCalculation, self.PutVoid());
            try {
                calls.Parse(self.get(), script.c_str(), &handle, mode == CorvexMode::AdHoc ? 1 : 0);
            } catch (...) {
                PutErrorTextA("Failed to parse calculation");
                g_DiagnosticLog.LogTextWithBstr(
                    "Failed to parse calculation",
                    mv::Bstr(CDiagnosticLog::HResultText(E_UNEXPECTED)).Detach());
            }
        }
        if (mode == CorvexMode::AdHoc) put_FormulaType(mvcOnDemand_Method);

        HRESULT hr = S_FALSE;
        if (!HasError()) {
            MarkParametersUnused();
            AddCorvexParams(handle, bAutoBindServers);
            ListUnusedParameters(pUnused);
            RemoveUnusedFormulaRefs();
            hr = HasError() ? S_FALSE : S_OK;
        } else {
            const std::u16string failed = CDiagnosticLog::HResultText(E_FAIL);
            std::string error;
            {
                mv::ObjectLock lock(this);
                error = m_ErrorText;
            }
            g_DiagnosticLog.WriteLine(u"Invalid ad-hoc calculation", failed);
            g_DiagnosticLog.LogTextWithBstr(error, mv::Bstr(failed).Detach());
            g_DiagnosticLog.WriteLine(mv::ToUtf16(script), failed);
        }
        if (calls.Free) calls.Free(handle);
        return hr;
    });
}

void CMvCalculation::AddCorvexParams(void* handle, BSTR servers) {
    try {
        const CorvexScriptCalls calls = GetCorvexScriptCalls();
        if (!calls.NextParameter) return;
        // The library is told no sizes: each buffer holds its longest name.
        std::vector<char> name(CORVEX_TEXT_BUFFER), node(CORVEX_TEXT_BUFFER),
            record(CORVEX_TEXT_BUFFER);
        for (;;) {
            name[0] = node[0] = record[0] = '\0';
            LONG found = 0;
            LONG kind = 0;
            double offset = 0.0;
            calls.NextParameter(handle, name.data(), node.data(), record.data(), &found, &kind,
                                &offset);
            if (found <= 0) break;
            AddCorvexParameter(name.data(), node.data(), record.data(), CorvexParameterType(kind),
                               servers, offset);
        }
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AddCorvexParams", E_UNEXPECTED);
    }
}

void CMvCalculation::AddCorvexParameter(const char* name, const char* node, const char* record,
                                        LONG type, BSTR servers, double offset) {
    try {
        const CorvexMode mode = ModeOf(servers);
        const mv::Bstr parameterName{std::string_view(name)};
        mv::ComPtr<IMvParameter> parameter;
        if (SUCCEEDED(GetParameter(parameterName.get(), parameter.Put())) && parameter) {
            LONG current = mvcUnUsed;
            parameter->get_ParameterType(&current);
            if (current != mvcReturnValue) parameter->put_ParameterType(type);
        } else {
            parameter.Reset();
            if (node[0] && mode != CorvexMode::AdHoc) {
                PutErrorTextA(kColonNotAllowed);
                return;
            }
            (void)AddParameter(parameterName.get(), parameter.Put());
            if (!parameter) return;
            parameter->put_Type(mvcVariant);
            parameter->put_ParameterType(type);
            parameter->put_UnitConversionMultiplier(1.0);
            parameter->put_UnitConversionOffset(offset);
            if (node[0]) parameter->put_NodeName(mv::Bstr(std::string_view(node)).get());
            if (record[0]) parameter->put_RecordName(mv::Bstr(std::string_view(record)).get());
        }
        if (mode == CorvexMode::Binding && !HasError()) AutoBindParameter(parameter.get(), servers);
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AddCorvexParameter", E_UNEXPECTED);
    }
}

void CMvCalculation::MarkFormulaRefsUnused() {
    std::vector<mv::ComPtr<IDispatch>> members;
    (void)MvObjCollection_Snapshot(Collection(m_FormulaRefs).get(), &members);
    for (const mv::ComPtr<IDispatch>& member : members) {
        mv::ComPtr<IMvFormulaRef> reference;
        if (member && SUCCEEDED(member.As(&reference)) && reference) reference->put_InUse(0);
    }
}

void CMvCalculation::RemoveUnusedFormulaRefs() {
    mv::ComPtr<IMvObjCollection> references = Collection(m_FormulaRefs);
    if (!references) return;
    std::vector<mv::ComPtr<IDispatch>> members;
    (void)MvObjCollection_Snapshot(references.get(), &members);
    std::vector<mv::Bstr> unused;
    for (const mv::ComPtr<IDispatch>& member : members) {
        mv::ComPtr<IMvFormulaRef> reference;
        if (!member || FAILED(member.As(&reference)) || !reference) continue;
        LONG inUse = 1;
        reference->get_InUse(&inUse);
        if (inUse != 0) continue;
        mv::Bstr name;
        if (SUCCEEDED(reference->get_Name(name.Out()))) unused.push_back(std::move(name));
    }
    for (const mv::Bstr& name : unused) references->Remove(name.get());
}
