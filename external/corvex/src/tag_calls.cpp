// The tag calls, over the stand-in's tag table.
#include <cstring>

#include "impl.h"
#include "model.h"

namespace cvx {
namespace {

// Copies at most a caller's buffer less its terminator.
void CopyText(const std::string& from, char* to) {
    size_t n = std::min(from.size(), static_cast<size_t>(CORVEX_TEXT_BUFFER - 1));
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

std::string_view TrimEnd(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

VARIANT TextResult(const std::string& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = mv::Bstr(std::string_view(text)).Detach();
    return v;
}

}  // namespace

LONG FieldUnitHist(const char* server, LONG group, const char* tag, char* field, char* units,
                   char* historyField) {
    Fault f = Enter("KeldrinFieldUnitHist");
    if (f.mode == CORVEXSIM_REJECT) return f.code;
    if (!server || !tag || !field || !units || !historyField) return CORVEX_TAG_BAD_ARGUMENT;
    Tag t;
    if (!FindTag(server, group, tag, &t)) return CORVEX_TAG_NOT_FOUND;
    CopyText(t.field, field);
    CopyText(t.units, units);
    CopyText(t.historyField, historyField);
    return CORVEX_TAG_OK;
}

VARIANT TagValidate3(const char* server, LONG group, const char* tag, const char* field,
                     LONG* recordId, LONG* fieldId, LONG* definitionId, LONG* statusFieldId,
                     LONG* fieldType, LONG* reserved1, LONG* reserved2, const char* historyField,
                     LONG* historyFieldId) {
    Fault f = Enter("KeldrinTagValidate3");
    if (f.mode == CORVEXSIM_REJECT) return TextResult(f.text);
    LONG* outs[] = {recordId,  fieldId,   definitionId, statusFieldId,
                    fieldType, reserved1, reserved2,    historyFieldId};
    for (LONG* p : outs)
        if (!p) return TextResult("Bad argument");
    if (!server || !tag || !field || !historyField) return TextResult("Bad argument");
    Tag t;
    if (!FindTag(server, group, tag, &t))
        return TextResult("Tag \"" + std::string(tag) + "\" not found on server \"" + server +
                          "\"");
    if (!mv::EqualsNoCase(TrimEnd(t.field), TrimEnd(field)))
        return TextResult("Field \"" + std::string(field) + "\" is not a field of tag \"" + tag +
                          "\"");
    *recordId = t.recordId;
    *fieldId = t.fieldId;
    *definitionId = t.definitionId;
    *statusFieldId = t.statusFieldId;
    *fieldType = t.fieldType;
    *reserved1 = 0;
    *reserved2 = 0;
    *historyFieldId = t.historyFieldId;
    VARIANT ok;
    VariantInit(&ok);
    return ok;
}

}  // namespace cvx
