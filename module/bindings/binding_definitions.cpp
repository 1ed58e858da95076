#include "bindings/binding_definitions.h"

#include <new>

#include "frame/calc_variant.h"
#include "frame/owned_string.h"

BindingDefinition::BindingDefinition() noexcept {
    VariantInit(&Value);
    VariantInit(&TimeStamp);
}

BindingDefinition::~BindingDefinition() {
    VariantClear(&TimeStamp);
    VariantClear(&Value);
}

std::string BoundName(IMvParameter* parameter, HRESULT (IMvParameter::*get)(BSTR*)) {
    BSTR text = nullptr;
    const HRESULT hr = (parameter->*get)(&text);
    std::string name;
    BstrToAnsiBuffer(text, name);
    MvThrowIfOutOfMemory(hr);
    return name;
}

// The definitions go last, so that a list that exists always has its
// scratch arrays; a list that could not be had is asked for again next time.
BindingDefinition* BindingDefinitionSet::Get(List& list, LONG n) {
    if (!list.Definitions) {
        const std::size_t count = n > 1 ? static_cast<std::size_t>(n) : 1;
        list.Count = static_cast<LONG>(count);
        try {
            list.RecordFields = std::make_unique<RecordField[]>(count);
            list.FieldTypes = std::make_unique<SHORT[]>(count);
            list.ValuePointers = std::make_unique<void*[]>(count);
            list.Definitions = std::make_unique<BindingDefinition[]>(count);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return list.Definitions.get();
}

void BindingDefinitionSet::MarkInputsPending() {
    if (!m_Inputs.Definitions) return;
    m_Inputs.Used = true;
    for (LONG i = 0; i < m_Inputs.Count; ++i) {
        BindingDefinition& d = m_Inputs.Definitions[i];
        d.Flags &= ~kBindingRunBits;
        if (d.Flags & kBindingDefined) d.Flags |= kBindingPending;
    }
}

void BindingDefinitionSet::MarkChangedOutputsPending() {
    if (!m_Outputs.Definitions) return;
    m_Outputs.Used = true;
    for (LONG i = 0; i < m_Outputs.Count; ++i) {
        BindingDefinition& d = m_Outputs.Definitions[i];
        d.Flags &= ~kBindingRunBits;
        if (!(d.Flags & kBindingDefined) || !d.Parameter) continue;
        LONG changed = 0;
        d.Parameter->get_Changed(&changed);
        if (changed != 0) d.Flags |= kBindingPending;
    }
}
