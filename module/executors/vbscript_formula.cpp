// The VBScript formula: the calculation's ScriptText runs on a fresh script
// engine whose site is the calculation itself. Every parameter of the run and
// every formula reference is a named item; the script reads and writes the
// parameters' own objects. Script errors reach the error text through the
// site with their line, and their column lands in ErrorPosition.
//
// Everything runs on the run's thread. The object lock is held only around
// the writes of the error text and position, never across a call into the
// engine, whose callbacks come back into this object.
#include <cstdio>
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "interfaces/IMvFormulaRef.h"
#include "persistence/obj_collection.h"

// Each step runs only when the one before succeeded and has set the error
// text when it failed. The engine is closed only after a run; on the failure
// paths its release alone lets go of the site and the items.
void CMvCalculation::ExecuteVBScript(const ParamInfoTable& table) {
    static constexpr const char* kExecute = "CMvCalculation::ExecuteVBScript";
    MvStepFrame step(kExecute);
    try {
        mv::ComPtr<IActiveScript> engine;
        if (FAILED(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IActiveScript, engine.PutVoid())) ||
            !engine) {
            SetError("Execute VBScript: Failed to create  ActiveX Script Engine.");
            return;
        }
        if (FAILED(SetVBScriptSite(engine.get())) || FAILED(LoadVBScript(engine.get())) ||
            FAILED(AddVBScriptParameters(engine.get(), table)) ||
            FAILED(AddVBScriptFormulas(engine.get())))
            return;
        if (FAILED(engine->SetScriptState(SCRIPTSTATE_CONNECTED))) {
            SetError("Execute VBScript: Failed to set connected flag on script engine.");
            return;
        }
        engine->Close();
    } catch (...) {
        // The text also stops the run before its output pass, so no output
        // is written from a script that did not finish.
        MvLogErrorHr(kExecute, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

HRESULT CMvCalculation::SetVBScriptSite(IActiveScript* engine) {
    MvStepFrame step("CMvCalculation::SetVBScriptSite");
    mv::ComPtr<IActiveScriptSite> site;
    HRESULT hr =
        static_cast<IMvCalculation*>(this)->QueryInterface(IID_IActiveScriptSite, site.PutVoid());
    if (FAILED(hr)) {
        SetError("Execute VBScript: Failed to get IActiveScriptSite interface.");
        return hr;
    }
    hr = engine->SetScriptSite(site.get());
    if (FAILED(hr)) SetError("Execute VBScript: Failed to set IActiveScriptSite interface.");
    return hr;
}

// ScriptText is read as a copy under the lock and always reaches the engine
// as a text: never set is empty, and bytes that are not UTF-8 become U+FFFD.
HRESULT CMvCalculation::LoadVBScript(IActiveScript* engine) {
    MvStepFrame step("CMvCalculation::LoadVBScript");
    mv::ComPtr<IActiveScriptParse> parse;
    HRESULT hr = engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid());
    if (FAILED(hr) || !parse) {
        SetError("Execute VBScript: Failed to get IActiveScriptParse interface.");
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    hr = parse->InitNew();
    if (FAILED(hr)) {
        SetError("Execute VBScript: Failed to create null script.");
        return hr;
    }
    std::string text;
    {
        mv::ObjectLock lock(this);
        text = m_ScriptText;
    }
    const std::u16string code = mv::ToUtf16(text);
    EXCEPINFO exception{};
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr,
                                &exception);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    if (FAILED(hr)) {
        // A syntax error that the engine reported through the site stays.
        mv::ObjectLock lock(this);
        if (m_ErrorText.empty()) m_ErrorText = "Execute VBScript: Faled to load VBScript.";
    }
    return hr;
}

// Names the script cannot spell (keywords, blanks, a leading digit) are still
// added: the script simply cannot use them.
HRESULT CMvCalculation::AddVBScriptParameters(IActiveScript* engine, const ParamInfoTable& table) {
    MvStepFrame step("CMvCalculation::AddVBScriptParameters");
    HRESULT hr = S_OK;
    for (const ParamInfo& record : table.Records) {
        const std::u16string name = mv::ToUtf16(record.Name);
        hr = engine->AddNamedItem(name.c_str(), SCRIPTITEM_ISVISIBLE);
        if (FAILED(hr)) {
            SetError("Execute VBScript: Failed to add parameter: ");
            AddError(record.Name);
            return hr;
        }
    }
    return hr;
}

// FormulaRefs is shared with the library formula and all its copies, which
// run on other threads: the walk goes over a snapshot. A member that is no
// formula reference is passed over, so it never stops the script.
HRESULT CMvCalculation::AddVBScriptFormulas(IActiveScript* engine) {
    MvStepFrame step("CMvCalculation::AddVBScriptFormulas");
    std::vector<mv::ComPtr<IDispatch>> members;
    (void)MvObjCollection_Snapshot(Collection(m_FormulaRefs).get(), &members);
    for (const mv::ComPtr<IDispatch>& member : members) {
        mv::ComPtr<IMvFormulaRef> reference;
        if (!member || FAILED(member.As(&reference)) || !reference) continue;
        mv::Bstr name;
        (void)reference->get_Name(name.Out());
        const HRESULT hr = engine->AddNamedItem(name.get(), SCRIPTITEM_ISVISIBLE);
        if (FAILED(hr)) {
            SetError("Execute VBScript: Failed to add formula");
            return hr;
        }
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// IActiveScriptSite
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::GetLCID(LCID*) {
    return E_NOTIMPL;
}

// No type information is ever supplied. A name that is both a parameter and
// a formula reference is the parameter.
HRESULT CMvCalculation::GetItemInfo(LPCOLESTR pstrName, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                    ITypeInfo** ppti) {
    return MvMethodFrame("CMvCalculation::GetItemInfo", [&] {
        if (ppiunkItem) *ppiunkItem = nullptr;
        if (ppti) *ppti = nullptr;
        if (dwReturnMask & SCRIPTINFO_ITYPEINFO) return TYPE_E_ELEMENTNOTFOUND;
        if (!(dwReturnMask & SCRIPTINFO_IUNKNOWN) || !ppiunkItem) return S_OK;
        IMvCalculation* self = this;
        const mv::Bstr name(pstrName);
        mv::ComPtr<IMvParameter> parameter;
        if (SUCCEEDED(self->GetParameter(name.get(), parameter.Put())) && parameter)
            return parameter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppiunkItem));
        mv::ComPtr<IDispatch> reference;
        if (FAILED(self->GetFormulaRef(name.get(), reference.Put())) || !reference)
            return E_INVALIDARG;
        return reference->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppiunkItem));
    });
}

HRESULT CMvCalculation::GetDocVersionString(BSTR*) {
    return E_NOTIMPL;
}

HRESULT CMvCalculation::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) {
    return S_OK;
}

HRESULT CMvCalculation::OnStateChange(SCRIPTSTATE) {
    return S_OK;
}

// The error text gains the description, then " line <n>" with the line
// counted from 1; ErrorPosition takes the engine's column as it is.
HRESULT CMvCalculation::OnScriptError(IActiveScriptError* pscripterror) {
    return MvMethodFrame("CMvCalculation::OnScriptError", [&] {
        EXCEPINFO exception{};
        if (!pscripterror || FAILED(pscripterror->GetExceptionInfo(&exception))) {
            SetError("VBScript: GetExceptionInfo failed");
            return S_OK;
        }
        const std::string description = mv::ToUtf8(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        AddError(description);
        DWORD context = 0;
        ULONG line = 0;
        LONG position = 0;
        if (FAILED(pscripterror->GetSourcePosition(&context, &line, &position))) return S_OK;
        char text[32];
        std::snprintf(text, sizeof text, " line %d", static_cast<int>(line + 1));
        mv::ObjectLock lock(this);
        m_ErrorText += text;
        m_ErrorPosition = position;
        return S_OK;
    });
}

HRESULT CMvCalculation::OnEnterScript() {
    return S_OK;
}

HRESULT CMvCalculation::OnLeaveScript() {
    return S_OK;
}
