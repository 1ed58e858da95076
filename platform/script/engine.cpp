// The script engine as a COM object: IActiveScript and IActiveScriptParse
// over the parser and interpreter, and the error object it hands its site.
//
// Error positions: a syntax error points at the offending token; a runtime
// error at the start of the failing statement (its first line when it is
// continued with " _"). Lines and columns count from 0.
#include <atomic>

#include "comobj.h"
#include "script/interpreter.h"
#include "script/program_cache.h"

namespace mv::script {
namespace {

std::atomic<uint64_t> g_budget{0};

const char16_t kRuntimeSource[] = u"Script runtime error";
const char16_t kCompileSource[] = u"Script compilation error";

// What went wrong and where: handed to the site's OnScriptError.
class ScriptErrorObject : public ComObjectRoot<ScriptErrorObject>, public IActiveScriptError {
public:
    using InterfaceMap = Interfaces<IActiveScriptError>;

    LONG number = 0;
    std::u16string description, source, lineText;
    Position at;

    HRESULT GetExceptionInfo(EXCEPINFO* ei) override {
        if (!ei) return E_POINTER;
        *ei = EXCEPINFO{};
        ei->scode = number > 0 && number <= 0xFFFF ? ErrorScode(number) : number;
        ei->bstrSource = SysAllocString(source.c_str());
        ei->bstrDescription = SysAllocString(description.c_str());
        return S_OK;
    }
    HRESULT GetSourcePosition(DWORD* context, ULONG* line, LONG* column) override {
        if (context) *context = 0;
        if (line) *line = at.line;
        if (column) *column = at.column;
        return S_OK;
    }
    HRESULT GetSourceLineText(BSTR* text) override {
        if (!text) return E_POINTER;
        *text = SysAllocStringLen(lineText.data(), static_cast<UINT>(lineText.size()));
        return *text ? S_OK : E_OUTOFMEMORY;
    }
};

std::u16string LineOf(std::u16string_view text, ULONG line) {
    size_t b = 0;
    for (ULONG l = 0; l < line && b < text.size(); ++l) {
        const size_t e = text.find_first_of(u"\r\n", b);
        if (e == text.npos) return {};
        b = e + (text.substr(e, 2) == u"\r\n" ? 2 : 1);
    }
    const size_t e = text.find_first_of(u"\r\n", b);
    return std::u16string(text.substr(b, e == text.npos ? text.npos : e - b));
}

class Engine : public ComObjectRoot<Engine>,
               public IActiveScript,
               public IActiveScriptParse,
               private ScriptHost {
public:
    using InterfaceMap = Interfaces<IActiveScript, IActiveScriptParse>;

    // ---- IActiveScript ---------------------------------------------------
    HRESULT SetScriptSite(IActiveScriptSite* site) override {
        if (!site) return E_POINTER;
        if (site_) return E_UNEXPECTED;
        site_ = site;
        return S_OK;
    }
    HRESULT GetScriptSite(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        return site_ ? site_->QueryInterface(riid, ppv) : S_FALSE;
    }
    HRESULT SetScriptState(SCRIPTSTATE ss) override {
        if (state_ == SCRIPTSTATE_CLOSED) return E_UNEXPECTED;
        if (ss != SCRIPTSTATE_CONNECTED && ss != SCRIPTSTATE_STARTED) return E_NOTIMPL;
        if (!site_) return E_UNEXPECTED;
        ChangeState(ss);
        RunPending();
        return S_OK;
    }
    HRESULT GetScriptState(SCRIPTSTATE* ss) override {
        if (!ss) return E_POINTER;
        *ss = state_;
        return S_OK;
    }
    HRESULT Close() override {
        if (state_ != SCRIPTSTATE_CLOSED) ChangeState(SCRIPTSTATE_CLOSED);
        Release_();
        return S_OK;
    }
    HRESULT AddNamedItem(LPCOLESTR name, DWORD) override {
        if (!name) return E_INVALIDARG;
        if (state_ == SCRIPTSTATE_CLOSED) return E_UNEXPECTED;
        const std::u16string folded = FoldName(name);
        if (!items_.count(folded)) items_[folded] = Item{name, nullptr, false};
        return S_OK;
    }
    HRESULT AddTypeLib(REFGUID, DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
    HRESULT GetScriptDispatch(LPCOLESTR, IDispatch** ppdisp) override {
        if (ppdisp) *ppdisp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadID(DWORD, SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE*) override { return E_NOTIMPL; }
    HRESULT InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO*, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT Clone(IActiveScript** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

    // ---- IActiveScriptParse ----------------------------------------------
    HRESULT InitNew() override {
        if (state_ == SCRIPTSTATE_CLOSED) return E_UNEXPECTED;
        if (state_ == SCRIPTSTATE_UNINITIALIZED) state_ = SCRIPTSTATE_INITIALIZED;
        return S_OK;
    }
    HRESULT AddScriptlet(LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR, LPCOLESTR,
                         DWORD_PTR, ULONG, DWORD, BSTR* name, EXCEPINFO*) override {
        if (name) *name = nullptr;
        return E_NOTIMPL;
    }
    HRESULT ParseScriptText(LPCOLESTR code, LPCOLESTR, IUnknown*, LPCOLESTR, DWORD_PTR, ULONG,
                            DWORD flags, VARIANT* result, EXCEPINFO* ei) override {
        if (result) VariantInit(result);
        if (ei) *ei = EXCEPINFO{};
        if (flags != 0) return E_NOTIMPL;
        if (state_ == SCRIPTSTATE_CLOSED || state_ == SCRIPTSTATE_UNINITIALIZED)
            return E_UNEXPECTED;
        // A null text is empty; the text ends at its first NUL.
        const std::u16string text(code ? code : u"");
        try {
            pending_.push_back({CompileText(text), text});
        } catch (const SyntaxError& e) {
            Report(e.number, std::u16string(ErrorDescription(e.number)), kCompileSource, e.at,
                   text);
            return SCRIPT_E_REPORTED;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (state_ == SCRIPTSTATE_CONNECTED || state_ == SCRIPTSTATE_STARTED) RunPending();
        return S_OK;
    }

    void FinalRelease() { Release_(); }

private:
    struct Item {
        std::u16string spelling;
        ComPtr<IDispatch> object;
        bool resolved;
    };
    struct Pending {
        std::shared_ptr<const Program> program;
        std::u16string text;
    };

    void ChangeState(SCRIPTSTATE ss) {
        state_ = ss;
        if (site_) site_->OnStateChange(ss);
    }

    // Releases site, items and variables (Close, or the last Release).
    void Release_() {
        pending_.clear();
        interpreter_.Clear();
        items_.clear();
        site_.Reset();
    }

    // Runs the global code parsed so far, on the calling thread.
    void RunPending() {
        ComPtr<IActiveScriptSite> site = site_;
        site->OnEnterScript();
        while (!pending_.empty()) {
            Pending next = std::move(pending_.front());
            pending_.erase(pending_.begin());
            try {
                interpreter_.Run(std::move(next.program));
            } catch (const RuntimeError& e) {
                // The script stops; the error goes to the site once.
                std::u16string description = e.description;
                if (description.empty()) description = ErrorDescription(e.number);
                Report(e.number, description, e.source.empty() ? kRuntimeSource : e.source, e.at,
                       next.text);
                pending_.clear();
            } catch (const std::bad_alloc&) {
                Report(kErrorOutOfMemory, std::u16string(ErrorDescription(kErrorOutOfMemory)),
                       kRuntimeSource, {}, next.text);
                pending_.clear();
            }
        }
        site->OnLeaveScript();
    }

    void Report(LONG number, const std::u16string& description, const std::u16string& source,
                Position at, std::u16string_view text) {
        if (!site_) return;
        ComPtr<ComObject<ScriptErrorObject>> error;
        if (FAILED(MakeComObject(&error))) return;
        error->number = number;
        error->description = description;
        error->source = source;
        error->at = at;
        error->lineText = LineOf(text, at.line);
        site_->OnScriptError(error.get());
    }

    // ---- ScriptHost ------------------------------------------------------
    bool HasItem(const std::u16string& name) const override { return items_.count(name) != 0; }
    HRESULT GetItem(const std::u16string& name, IDispatch** out) override {
        auto it = items_.find(name);
        if (it == items_.end() || !site_) return E_INVALIDARG;
        Item& item = it->second;
        if (!item.resolved) {
            ComPtr<IUnknown> unknown;
            HRESULT hr = site_->GetItemInfo(item.spelling.c_str(), SCRIPTINFO_IUNKNOWN,
                                            unknown.Put(), nullptr);
            if (SUCCEEDED(hr) && !unknown) hr = E_NOINTERFACE;
            if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IDispatch, item.object.PutVoid());
            if (FAILED(hr)) return hr;
            item.resolved = true;
        }
        *out = item.object.get();
        return S_OK;
    }

    SCRIPTSTATE state_ = SCRIPTSTATE_UNINITIALIZED;
    ComPtr<IActiveScriptSite> site_;
    std::map<std::u16string, Item> items_;
    std::vector<Pending> pending_;
    Interpreter interpreter_{this, g_budget.load()};
};

}  // namespace

HRESULT CreateEngine(IUnknown* outer, REFIID riid, void** ppv) {
    return CreateComObject<Engine>(outer, riid, ppv);
}

void SetStatementBudgetForTesting(uint64_t statements) {
    g_budget = statements;
}

}  // namespace mv::script
