// The script engine as a COM object: IActiveScript and IActiveScriptParse
// over the parser and interpreter, and the error object it hands its site.
//
// Error positions: a syntax error points at the offending token; a runtime
// error at the start of the failing statement (its first line when it is
// continued with " _"). Lines and columns count from 0.
#include <algorithm>
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
               public IActiveScriptPrepared,
               private ScriptHost {
public:
    using InterfaceMap = Interfaces<IActiveScript, IActiveScriptParse, IActiveScriptPrepared>;

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
        return RunPending() ? S_OK : E_OUTOFMEMORY;
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
        if (prepared_ && prepared_->Find(folded) != NamedItems::npos) return S_OK;
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
        std::shared_ptr<const std::u16string> text;
        try {
            text = std::make_shared<const std::u16string>(code ? code : u"");
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return Load(std::move(text), nullptr);
    }

    // ---- IActiveScriptPrepared -------------------------------------------
    HRESULT ParsePreparedText(const std::shared_ptr<const PreparedText>& text) override {
        if (!text || !text->Text()) return E_POINTER;
        if (state_ == SCRIPTSTATE_CLOSED || state_ == SCRIPTSTATE_UNINITIALIZED)
            return E_UNEXPECTED;
        return Load(text->Text(), text->Parsed());
    }
    // The items become the engine's first ones in one step; after other
    // items they are added one by one (their objects are then asked of the
    // site, which gives the same).
    HRESULT AddNamedItems(const std::shared_ptr<const NamedItems>& items, DWORD flags) override {
        if (!items) return E_INVALIDARG;
        if (state_ == SCRIPTSTATE_CLOSED) return E_UNEXPECTED;
        if (prepared_ || !items_.empty()) {
            for (size_t i = 0; i < items->Size(); ++i)
                if (HRESULT hr = AddNamedItem(items->Spelling(i).c_str(), flags); FAILED(hr))
                    return hr;
            return S_OK;
        }
        prepared_ = items;
        return S_OK;
    }
    HRESULT Recycle() override {
        if (state_ != SCRIPTSTATE_CLOSED) return E_UNEXPECTED;
        interpreter_.Reset(g_budget.load());
        state_ = SCRIPTSTATE_UNINITIALIZED;
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
        std::shared_ptr<const std::u16string> text;
    };

    // Takes a text to run (parsed already, or parsed now through the
    // process-wide cache), and runs it at once in a running engine.
    HRESULT Load(std::shared_ptr<const std::u16string> text,
                 std::shared_ptr<const Program> program) {
        try {
            if (!program) program = CompileText(*text);
            pending_.push_back({std::move(program), std::move(text)});
        } catch (const SyntaxError& e) {
            return Report(e.number, ErrorDescription(e.number), kCompileSource, e.at, *text)
                       ? SCRIPT_E_REPORTED
                       : E_OUTOFMEMORY;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (state_ == SCRIPTSTATE_CONNECTED || state_ == SCRIPTSTATE_STARTED)
            return RunPending() ? S_OK : E_OUTOFMEMORY;
        return S_OK;
    }

    void ChangeState(SCRIPTSTATE ss) {
        state_ = ss;
        if (site_) site_->OnStateChange(ss);
    }

    // Releases site, items and variables (Close, or the last Release).
    void Release_() {
        pending_.clear();
        interpreter_.Clear();
        items_.clear();
        prepared_.reset();
        preparedObjects_.clear();
        site_.Reset();
    }

    // Runs the global code parsed so far, on the calling thread; false when
    // a script error could not be handed to the site.
    bool RunPending() {
        ComPtr<IActiveScriptSite> site = site_;
        bool handed = true;
        site->OnEnterScript();
        while (!pending_.empty()) {
            Pending next = std::move(pending_.front());
            pending_.erase(pending_.begin());
            try {
                interpreter_.Run(std::move(next.program));
            } catch (const RuntimeError& e) {
                // The script stops; the error goes to the site once.
                using View = std::u16string_view;
                const View description =
                    e.description.empty() ? ErrorDescription(e.number) : View(e.description);
                const View source = e.source.empty() ? View(kRuntimeSource) : View(e.source);
                handed = Report(e.number, description, source, e.at, *next.text) && handed;
                pending_.clear();
            } catch (const std::bad_alloc&) {
                handed = Report(kErrorOutOfMemory, ErrorDescription(kErrorOutOfMemory),
                                kRuntimeSource, {}, *next.text) &&
                         handed;
                pending_.clear();
            }
        }
        site->OnLeaveScript();
        return handed;
    }

    // Hands an error to the site; false when its error object could not be
    // made for lack of memory, so that the caller fails instead of letting
    // the error pass unseen.
    bool Report(LONG number, std::u16string_view description, std::u16string_view source,
                Position at, std::u16string_view text) {
        if (!site_) return true;
        ComPtr<ComObject<ScriptErrorObject>> error;
        try {
            if (FAILED(MakeComObject(&error))) return false;
            error->number = number;
            error->description = description;
            error->source = source;
            error->at = at;
            error->lineText = LineOf(text, at.line);
        } catch (const std::bad_alloc&) {
            return false;
        }
        site_->OnScriptError(error.get());
        return true;
    }

    // ---- ScriptHost ------------------------------------------------------
    // The prepared item of a folded name. A script names the same few items
    // again and again through the same strings of its parse: the last index
    // found through each string is tried first (it is still compared, since
    // the string's place may have been taken by another, and the items may
    // be another run's): a recycled engine that runs the same parse over
    // the same items finds them at once.
    size_t FindPrepared(const std::u16string& name) const {
        const auto at = reinterpret_cast<uintptr_t>(&name);
        Recent& recent = recent_[(at >> 5) % std::size(recent_)];
        if (recent.name == &name && recent.index < prepared_->Size() &&
            prepared_->Is(recent.index, name))
            return recent.index;
        const size_t i = prepared_->Find(name);
        if (i != NamedItems::npos) recent = {&name, i};
        return i;
    }

    bool HasItem(const std::u16string& name) const override {
        return (prepared_ && FindPrepared(name) != NamedItems::npos) || items_.count(name) != 0;
    }
    HRESULT GetItem(const std::u16string& name, IDispatch** out) override {
        const HRESULT hr = FindItem(name, out);
        return hr == S_FALSE ? E_INVALIDARG : hr;
    }
    HRESULT FindItem(const std::u16string& name, IDispatch** out) override {
        if (prepared_) {
            if (const size_t i = FindPrepared(name); i != NamedItems::npos) {
                if (!site_) return E_INVALIDARG;
                if (preparedObjects_.size() <= i) preparedObjects_.resize(prepared_->Size());
                ComPtr<IDispatch>& object = preparedObjects_[i];
                if (!object) {
                    if (IDispatch* known = prepared_->Known(i))
                        object = known;
                    else if (HRESULT hr = Resolve(prepared_->Spelling(i), &object); FAILED(hr))
                        return hr;
                }
                *out = object.get();
                return S_OK;
            }
        }
        auto it = items_.find(name);
        if (it == items_.end()) return S_FALSE;
        if (!site_) return E_INVALIDARG;
        Item& item = it->second;
        if (!item.resolved) {
            if (HRESULT hr = Resolve(item.spelling, &item.object); FAILED(hr)) return hr;
            item.resolved = true;
        }
        *out = item.object.get();
        return S_OK;
    }

    // The object behind an item, asked of the site.
    HRESULT Resolve(const std::u16string& spelling, ComPtr<IDispatch>* object) {
        ComPtr<IUnknown> unknown;
        HRESULT hr =
            site_->GetItemInfo(spelling.c_str(), SCRIPTINFO_IUNKNOWN, unknown.Put(), nullptr);
        if (SUCCEEDED(hr) && !unknown) hr = E_NOINTERFACE;
        if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IDispatch, object->PutVoid());
        return hr;
    }

    SCRIPTSTATE state_ = SCRIPTSTATE_UNINITIALIZED;
    ComPtr<IActiveScriptSite> site_;
    std::map<std::u16string, Item> items_;
    // The prepared items, added before any other, and the objects this run
    // has for them by index (known to the host or asked of the site).
    std::shared_ptr<const NamedItems> prepared_;
    std::vector<ComPtr<IDispatch>> preparedObjects_;
    struct Recent {
        const std::u16string* name = nullptr;
        size_t index = 0;
    };
    mutable Recent recent_[16];
    std::vector<Pending> pending_;
    // Reset when the engine is recycled, so that nothing of a run (Option
    // Explicit, Err, Rnd's generator, the statements counted) reaches the next.
    Interpreter interpreter_{static_cast<ScriptHost*>(this), g_budget.load()};
};

}  // namespace

// Up to this many items, a look-up compares the names in turn, which beats
// hashing the name.
constexpr size_t kItemsSearchedInTurn = 8;

void NamedItems::Add(std::u16string_view name, ComPtr<IDispatch> object) {
    std::u16string folded = FoldName(name);
    if (index_.count(folded)) return;
    index_.emplace(folded, items_.size());
    folded_.push_back(std::move(folded));
    items_.push_back({std::u16string(name), std::move(object)});
}

size_t NamedItems::Find(const std::u16string& folded) const {
    if (folded_.size() <= kItemsSearchedInTurn) {
        for (size_t i = 0; i < folded_.size(); ++i)
            if (Is(i, folded)) return i;
        return npos;
    }
    auto it = index_.find(folded);
    return it == index_.end() ? npos : it->second;
}

HRESULT CreateEngine(IUnknown* outer, REFIID riid, void** ppv) {
    return CreateComObject<Engine>(outer, riid, ppv);
}

void SetStatementBudgetForTesting(uint64_t statements) {
    g_budget = statements;
}

}  // namespace mv::script
