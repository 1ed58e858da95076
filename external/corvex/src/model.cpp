#include "model.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace cvx {

Model& Model::get() {
    static Model model;
    return model;
}

Fault Enter(const char* name) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    ++m.counts[name];
    auto it = m.faults.find(name);
    if (it == m.faults.end()) return {};
    Fault f = it->second;
    if (it->second.times > 0 && --it->second.times == 0) m.faults.erase(it);
    if (f.mode == CORVEXSIM_THROW) throw std::runtime_error(f.text);
    return f;
}

namespace {

bool Matches(const Tag& t, std::string_view server, LONG group, std::string_view tagName) {
    return mv::EqualsNoCase(std::string_view(t.server), server) &&
           mv::EqualsNoCase(std::string_view(t.tagName), tagName) &&
           (t.group < 0 || t.group == group);
}

std::string Text(const char* s) {
    return s ? s : "";
}

// The folder of the whole library, next to this library's own folder.
std::string LibraryDir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&CorvexSim_Reset), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/../dlls";
}

}  // namespace

bool FindTag(const char* server, LONG group, const char* tagName, Tag* out) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    for (const Tag& t : m.tags)
        if (Matches(t, server, group, tagName)) {
            *out = t;
            return true;
        }
    return false;
}

}  // namespace cvx

using cvx::Model;

extern "C" {

void CorvexSim_Reset(void) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    m.tags.clear();
    m.scripted = false;
    m.scriptedParameters.clear();
    m.scriptedFormulas.clear();
    m.faults.clear();
    m.counts.clear();
    m.flags = {-1, -1, -1, -1};
}

LONG CorvexSim_SeedTag(const CorvexSimTag* tag) {
    if (!tag || !tag->Server || !*tag->Server || !tag->TagName || !*tag->TagName) return 0;
    cvx::Tag t{tag->Server,
               tag->TagName,
               cvx::Text(tag->FieldName),
               cvx::Text(tag->Units),
               cvx::Text(tag->HistoryFieldName),
               tag->Group,
               tag->RecordId,
               tag->FieldId,
               tag->DefinitionId,
               tag->StatusFieldId,
               tag->HistoryFieldId,
               tag->FieldType};
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    for (cvx::Tag& old : m.tags)
        if (cvx::Matches(old, t.server, t.group, t.tagName) && old.group == t.group) {
            old = t;
            return 1;
        }
    m.tags.push_back(std::move(t));
    return 1;
}

void CorvexSim_ScriptParse(const CorvexSimParameter* parameters, LONG count,
                           const char* const* formulas, LONG formulaCount) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    m.scripted = count >= 0;
    m.scriptedParameters.clear();
    m.scriptedFormulas.clear();
    if (!m.scripted) return;
    // Texts are cut to what a caller's buffer holds.
    auto cut = [](const char* s) { return cvx::Text(s).substr(0, cvx::kMaxNameBytes); };
    for (LONG i = 0; parameters && i < count; ++i) {
        const CorvexSimParameter& p = parameters[i];
        m.scriptedParameters.push_back({cut(p.Name), cut(p.Node), cut(p.Record), p.Kind, p.Offset});
    }
    for (LONG i = 0; formulas && i < formulaCount; ++i)
        m.scriptedFormulas.push_back(cvx::Text(formulas[i]));
}

void CorvexSim_FailCall(const char* name, LONG mode, LONG code, const char* text, LONG times) {
    if (!name) return;
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    if (times == 0 || mode == 0)
        m.faults.erase(name);
    else
        m.faults[name] = {mode, code, cvx::Text(text), times};
}

LONG CorvexSim_CallCount(const char* name) {
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    auto it = m.counts.find(cvx::Text(name));
    return it == m.counts.end() ? 0 : it->second;
}

void CorvexSim_GetFlags(CorvexSimFlags* flags) {
    if (!flags) return;
    Model& m = Model::get();
    std::lock_guard lock(m.mutex);
    *flags = m.flags;
}

LONG CorvexSim_SetLibrary(LONG which) {
    std::string whole = cvx::LibraryDir();
    if (whole.empty() || which < CORVEXSIM_ABSENT || which > CORVEXSIM_WITHOUT_SCRIPT) return 0;
    std::string tagsOnly = whole + "/corvex-tags";
    // Every other folder of the path stays, in order.
    const char* old = std::getenv("MORVA_DLL_PATH");
    std::string rest, current = old ? old : "";
    for (size_t start = 0; start <= current.size();) {
        size_t colon = std::min(current.find(':', start), current.size());
        std::string part = current.substr(start, colon - start);
        if (!part.empty() && part != whole && part != tagsOnly)
            rest += (rest.empty() ? "" : ":") + part;
        start = colon + 1;
    }
    std::string first = which == CORVEXSIM_FULL             ? whole
                        : which == CORVEXSIM_WITHOUT_SCRIPT ? tagsOnly + ":" + whole
                                                            : "";
    std::string value = first.empty() ? rest : first + (rest.empty() ? "" : ":" + rest);
    if (value.empty()) return unsetenv("MORVA_DLL_PATH") == 0 ? 1 : 0;
    return setenv("MORVA_DLL_PATH", value.c_str(), 1) == 0 ? 1 : 0;
}

}  // extern "C"
