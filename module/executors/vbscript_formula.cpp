// The VBScript formula: the calculation's ScriptText runs on a fresh script
// engine whose site is the calculation itself. Every parameter of the run and
// every formula reference is a named item; the script reads and writes the
// parameters' own objects. Script errors reach the error text through the
// site with their line, and their column lands in ErrorPosition.
//
// Everything runs on the run's thread. The object lock is held only around
// the reads of the text and the prepared state and the writes of the error
// text and position, never across a call into the engine, whose callbacks
// come back into this object.
//
// The built-in engine is handed what earlier runs prepared: the parsed text
// and the parameters' items, each with the parameter the site would look up
// for it. Both are kept with the parameter table, so the cache's clearing
// frees them; the text is prepared again when ScriptText changes, the
// parameters looked up again when the Parameters collection files its names
// differently. With method tracing on, the run takes the standard road, so
// that the site's look-ups write their lines as on any run.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "interfaces/IMvFormulaRef.h"
#include "persistence/obj_collection.h"

struct MvVBScriptPrepared {
    // Set while a run holds the state that the table keeps.
    std::atomic<bool> busy{false};
    // The run that holds it: its engine, and the ScriptText when it is not
    // the one `text` was made of.
    IActiveScriptPrepared* engine = nullptr;
    bool textChanged = false;
    std::string changedText;

    // The engine of the last run, closed, with its interfaces the run uses:
    // the next run recycles it instead of making one while the built-in
    // engine is the one CoCreateInstance makes.
    mv::ComPtr<IActiveScriptPrepared> spare;
    mv::ComPtr<IActiveScript> spareEngine;
    mv::ComPtr<IActiveScriptParse> spareParse;
    // The run's engine as IActiveScriptParse, once asked for.
    mv::ComPtr<IActiveScriptParse> parse;

    std::string source;  // the ScriptText that `text` was made of
    std::shared_ptr<const mv::script::PreparedText> text;
    // The Parameters collection the items' objects were looked up in, that
    // collection when it is the module's own (else no object is known), and
    // its generation before the look-ups.
    mv::ComPtr<IMvObjCollection> parameters;
    CMvObjCollection* parameterFiles = nullptr;
    uint64_t generation = 0;
    std::shared_ptr<const mv::script::NamedItems> items;
    // The FormulaRefs collection, and the same when it is the module's own;
    // whether it was empty at its generation `referenceGeneration`.
    mv::ComPtr<IMvObjCollection> references;
    CMvObjCollection* referenceFiles = nullptr;
    bool referencesEmpty = false;
    uint64_t referenceGeneration = 0;

    // Takes the calculation's fields for a run, under its lock.
    void Read(const std::string& scriptText, const mv::ComPtr<IMvObjCollection>& parameterField,
              const mv::ComPtr<IMvObjCollection>& referenceField) {
        textChanged = !text || source != scriptText;
        if (textChanged) changedText = scriptText;
        if (parameters != parameterField) {
            parameters = parameterField;
            parameterFiles = nullptr;
            items.reset();
        }
        if (references != referenceField) {
            references = referenceField;
            referenceFiles = nullptr;
            referencesEmpty = false;
        }
    }
};

namespace {

// A name as it reaches the engine through a text pointer: up to its first
// NUL.
std::u16string UpToNul(std::u16string text) {
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return text;
}

// What the site's GetItemInfo gives the engine for a parameter's name, as
// the engine asks it for IDispatch; null when the name files no parameter.
mv::ComPtr<IDispatch> SiteObject(CMvObjCollection* files, BSTR name) {
    mv::ComPtr<IDispatch> member = files->Lookup(name), object;
    mv::ComPtr<IMvParameter> parameter;
    mv::ComPtr<IUnknown> unknown;
    if (!member || FAILED(member.As(&parameter)) || !parameter || FAILED(parameter.As(&unknown)) ||
        !unknown || FAILED(unknown.As(&object)))
        return nullptr;
    return object;
}

}  // namespace

// Each step runs only when the one before succeeded and has set the error
// text when it failed. The engine is closed only after a run; on the failure
// paths its release alone lets go of the site and the items. The prepared
// state is this run's alone until it is put back; a run that finds it taken
// (another thread's Execute) prepares its own. A closed engine kept from the
// last run is recycled, which makes it as new, in place of making one.
void CMvCalculation::ExecuteVBScript(const ParamInfoTable& table) {
    static constexpr const char* kExecute = "CMvCalculation::ExecuteVBScript";
    MvStepFrame step(kExecute);
    try {
        // The table's state is used where it lies, marked busy; a run that
        // finds none, or finds it busy, makes its own and leaves it to the
        // table when the table has none by then.
        struct Taken {
            CMvCalculation* calc;
            const ParamInfoTable& table;
            std::shared_ptr<MvVBScriptPrepared> own;
            MvVBScriptPrepared* prepared = nullptr;
            ~Taken() {
                if (!prepared) return;
                prepared->engine = nullptr;
                prepared->parse.Reset();
                if (!own) {
                    prepared->busy.store(false, std::memory_order_release);
                    return;
                }
                mv::ObjectLock lock(calc);
                if (!table.VBScriptPrepared) table.VBScriptPrepared = std::move(own);
            }
        } taken{this, table, nullptr};
        if (!g_DiagnosticLog.IsOn(LogMethods)) {
            mv::ObjectLock lock(this);
            MvVBScriptPrepared* kept = table.VBScriptPrepared.get();
            if (kept && !kept->busy.exchange(true, std::memory_order_acquire)) {
                taken.prepared = kept;
            } else {
                taken.own = std::make_shared<MvVBScriptPrepared>();
                taken.prepared = taken.own.get();
            }
            taken.prepared->Read(m_ScriptText, m_Parameters, m_FormulaRefs);
        }
        mv::ComPtr<IActiveScript> engine;
        mv::ComPtr<IActiveScriptPrepared> road;
        if (taken.prepared) {
            road = std::move(taken.prepared->spare);
            engine = std::move(taken.prepared->spareEngine);
            taken.prepared->parse = std::move(taken.prepared->spareParse);
            if (road && (!mv::script::BuiltInEngineServes() || FAILED(road->Recycle()) ||
                         (!engine && FAILED(road.As(&engine))) || !engine)) {
                road.Reset();
                engine.Reset();
                taken.prepared->parse.Reset();
            }
        }
        if (!engine) {
            if (FAILED(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IActiveScript, engine.PutVoid())) ||
                !engine) {
                SetError("Execute VBScript: Failed to create  ActiveX Script Engine.");
                return;
            }
            if (taken.prepared && (FAILED(engine.As(&road)) || !road)) road.Reset();
        }
        // An engine of another class takes the standard road.
        MvVBScriptPrepared* prepared = road ? taken.prepared : nullptr;
        if (prepared) prepared->engine = road.get();
        if (FAILED(SetVBScriptSite(engine.get())) || FAILED(LoadVBScript(engine.get(), prepared)) ||
            FAILED(AddVBScriptParameters(engine.get(), table, prepared)) ||
            FAILED(AddVBScriptFormulas(engine.get(), prepared)))
            return;
        if (FAILED(engine->SetScriptState(SCRIPTSTATE_CONNECTED))) {
            SetError("Execute VBScript: Failed to set connected flag on script engine.");
            return;
        }
        engine->Close();
        if (prepared) {
            prepared->spare = std::move(road);
            prepared->spareEngine = std::move(engine);
            prepared->spareParse = std::move(prepared->parse);
        }
    } catch (...) {
        // The text also stops the run before its output pass, so no output
        // is written from a script that did not finish.
        MvLogErrorHr(kExecute, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
    }
}

HRESULT CMvCalculation::SetVBScriptSite(IActiveScript* engine) {
    MvStepFrame step("CMvCalculation::SetVBScriptSite");
    // Not aggregated, the site is this object's own: nothing to ask for.
    IActiveScriptSite* site = this;
    mv::ComPtr<IActiveScriptSite> asked;
    HRESULT hr = S_OK;
    if (OuterUnknown()) {
        hr = static_cast<IMvCalculation*>(this)->QueryInterface(IID_IActiveScriptSite,
                                                                asked.PutVoid());
        if (FAILED(hr)) {
            SetError("Execute VBScript: Failed to get IActiveScriptSite interface.");
            return hr;
        }
        site = asked.get();
    }
    hr = engine->SetScriptSite(site);
    if (FAILED(hr)) SetError("Execute VBScript: Failed to set IActiveScriptSite interface.");
    return hr;
}

// ScriptText is read as a copy under the lock and always reaches the engine
// as a text: never set is empty, and bytes that are not UTF-8 become U+FFFD.
// Prepared, it is only compared under the lock while it stays the same.
HRESULT CMvCalculation::LoadVBScript(IActiveScript* engine, MvVBScriptPrepared* prepared) {
    MvStepFrame step("CMvCalculation::LoadVBScript");
    mv::ComPtr<IActiveScriptParse> asked;
    HRESULT hr = S_OK;
    IActiveScriptParse* parse = prepared ? prepared->parse.get() : nullptr;
    if (!parse) {
        hr = engine->QueryInterface(IID_IActiveScriptParse, asked.PutVoid());
        parse = asked.get();
        if (prepared && SUCCEEDED(hr)) prepared->parse = asked;
    }
    if (FAILED(hr) || !parse) {
        SetError("Execute VBScript: Failed to get IActiveScriptParse interface.");
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    hr = parse->InitNew();
    if (FAILED(hr)) {
        SetError("Execute VBScript: Failed to create null script.");
        return hr;
    }
    if (prepared) {
        if (prepared->textChanged) {
            auto made = mv::script::PreparedText::Make(UpToNul(mv::ToUtf16(prepared->changedText)));
            prepared->text = std::move(made);
            prepared->source = std::move(prepared->changedText);
            prepared->textChanged = false;
        }
        hr = prepared->engine->ParsePreparedText(prepared->text);
    } else {
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
    }
    if (FAILED(hr)) {
        // A syntax error that the engine reported through the site stays.
        mv::ObjectLock lock(this);
        m_Failed = true;
        if (m_ErrorText.empty()) m_ErrorText = "Execute VBScript: Faled to load VBScript.";
    }
    return hr;
}

// Names the script cannot spell (keywords, blanks, a leading digit) are still
// added: the script simply cannot use them. Prepared, the table's names go in
// one step, with the parameters looked up again only when the collection
// files its names differently (the engine checks that again when it first
// needs each item); should that step fail, the names go one by one, so the
// failure reads as on any run.
HRESULT CMvCalculation::AddVBScriptParameters(IActiveScript* engine, const ParamInfoTable& table,
                                              MvVBScriptPrepared* prepared) {
    MvStepFrame step("CMvCalculation::AddVBScriptParameters");
    if (prepared) {
        if (!prepared->items && prepared->parameters)
            prepared->parameterFiles = dynamic_cast<CMvObjCollection*>(prepared->parameters.get());
        CMvObjCollection* files = prepared->parameterFiles;
        const uint64_t generation = files ? files->Generation() : 0;
        if (!prepared->items || generation != prepared->generation) {
            auto items = std::make_shared<mv::script::NamedItems>();
            for (const ParamInfo& record : table.Records) {
                const mv::Bstr name(UpToNul(mv::ToUtf16(record.Name)));
                items->Add(name.view(), files ? SiteObject(files, name.get()) : nullptr);
            }
            if (files)
                items->SetCheck([keep = prepared->parameters, files, generation] {
                    return files->Generation() == generation;
                });
            prepared->items = std::move(items);
            prepared->generation = generation;
        }
        if (SUCCEEDED(prepared->engine->AddNamedItems(prepared->items, SCRIPTITEM_ISVISIBLE)))
            return S_OK;
    }
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
HRESULT CMvCalculation::AddVBScriptFormulas(IActiveScript* engine, MvVBScriptPrepared* prepared) {
    MvStepFrame step("CMvCalculation::AddVBScriptFormulas");
    std::vector<mv::ComPtr<IDispatch>> members;
    if (prepared && prepared->references) {
        if (!prepared->referenceFiles)
            prepared->referenceFiles = dynamic_cast<CMvObjCollection*>(prepared->references.get());
        if (CMvObjCollection* files = prepared->referenceFiles) {
            // Every member filed or taken out moves the generation on.
            const uint64_t generation = files->Generation();
            if (prepared->referencesEmpty && generation == prepared->referenceGeneration)
                return S_OK;
            (void)files->Snapshot(&members);
            prepared->referencesEmpty = members.empty();
            prepared->referenceGeneration = generation;
        } else
            (void)MvObjCollection_Snapshot(prepared->references.get(), &members);
    } else {
        (void)MvObjCollection_Snapshot(Collection(m_FormulaRefs).get(), &members);
    }
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
// counted from 1; ErrorPosition takes the engine's column as it is. The run
// is marked failed first: the error counts even when its text is lost.
HRESULT CMvCalculation::OnScriptError(IActiveScriptError* pscripterror) {
    MarkFailed();
    return MvMethodFrame("CMvCalculation::OnScriptError", [&] {
        EXCEPINFO exception{};
        if (!pscripterror || FAILED(pscripterror->GetExceptionInfo(&exception))) {
            SetError("VBScript: GetExceptionInfo failed");
            return S_OK;
        }
        // Owned at once: freed also when the conversion runs out of memory.
        const mv::Bstr source = mv::Bstr::Attach(exception.bstrSource);
        const mv::Bstr description = mv::Bstr::Attach(exception.bstrDescription);
        const mv::Bstr helpFile = mv::Bstr::Attach(exception.bstrHelpFile);
        AddError(mv::ToUtf8(description.get()));
        DWORD context = 0;
        ULONG line = 0;
        LONG position = 0;
        if (FAILED(pscripterror->GetSourcePosition(&context, &line, &position))) return S_OK;
        char text[32];
        std::snprintf(text, sizeof text, " line %d", static_cast<int>(line + 1));
        mv::ObjectLock lock(this);
        m_Failed = true;
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
