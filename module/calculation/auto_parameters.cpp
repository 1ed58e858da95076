// Parameters made or completed from what another component found: the
// defined names of a workbook, and the historian tag that a script
// parameter names.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "calculation/calculation.h"
#include "calculation/corvex_library.h"
#include "frame/owned_string.h"
#include "frame/trace.h"

namespace {

// A one-dimensional array whose elements are of type vt.
bool IsVectorOf(SAFEARRAY* array, VARTYPE vt) {
    VARTYPE actual = VT_EMPTY;
    return array && SafeArrayGetDim(array) == 1 && SUCCEEDED(SafeArrayGetVartype(array, &actual)) &&
           actual == vt;
}

// The string at `index`, or null when it cannot be read.
BSTR StringAt(SAFEARRAY* array, LONG index) {
    BSTR text = nullptr;
    if (FAILED(SafeArrayGetElement(array, &index, &text))) return nullptr;
    return text;
}

// The group number after the ':' of a server text, read as the C library's
// atoi reads it (a text without digits gives 0); false when it does not fit
// 16 bits.
bool ParseGroupNumber(const char* text, SHORT* group) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > 32768) return false;
    }
    if (negative) value = -value;
    if (value < INT16_MIN || value > INT16_MAX) return false;
    *group = static_cast<SHORT>(value);
    return true;
}

}  // namespace

void CMvCalculation::AutoAddParameters(VARIANT* list, BSTR sheetName) {
    try {
        MvStepFrame step("CMvCalculation::AutoAddParameters");
        if (!list || list->vt != (VT_ARRAY | VT_VARIANT) || !IsVectorOf(list->parray, VT_VARIANT))
            return;
        mv::Variant names, contents;
        LONG index = 1;
        (void)SafeArrayGetElement(list->parray, &index, &names);
        index = 2;
        (void)SafeArrayGetElement(list->parray, &index, &contents);
        if (names.vt == (VT_ARRAY | VT_BSTR) && contents.vt == (VT_ARRAY | VT_BSTR))
            AutoAddParameters(names.parray, contents.parray, sheetName);
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AutoAddParameters", E_UNEXPECTED);
    }
}

// Every index from the lower to the upper bound of the names; a name or a
// content that cannot be read skips that pair.
void CMvCalculation::AutoAddParameters(SAFEARRAY* names, SAFEARRAY* contents, BSTR sheetName) {
    try {
        MvStepFrame step("CMvCalculation::AutoAddParameters");
        if (!IsVectorOf(names, VT_BSTR) || !IsVectorOf(contents, VT_BSTR)) return;
        LONG lower = 0, upper = -1;
        if (FAILED(SafeArrayGetLBound(names, 1, &lower)) ||
            FAILED(SafeArrayGetUBound(names, 1, &upper)))
            return;
        for (LONG i = lower; i <= upper; ++i) {
            const mv::Bstr name = mv::Bstr::Attach(StringAt(names, i));
            const mv::Bstr content = mv::Bstr::Attach(StringAt(contents, i));
            if (name.get() && content.get()) AutoAddParameter(name.get(), content.get(), sheetName);
            if (i == upper) break;  // upper may be the largest index there is
        }
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AutoAddParameters", E_UNEXPECTED);
    }
}

void CMvCalculation::AutoAddParameter(BSTR name, BSTR content, BSTR sheetName) {
    try {
        MvStepFrame step("CMvCalculation::AutoAddParameter");
        mv::ComPtr<IMvParameter> parameter;
        if (FAILED(GetParameter(name, parameter.Put())) || !parameter)
            (void)AddParameter(name, parameter.Put());
        if (!parameter) return;
        (void)parameter->put_SpreadSheetName(sheetName);
        (void)parameter->put_SpreadSheetRow(0);
        (void)parameter->put_SpreadSheetColumn(0);
        mv::Bstr ownName;
        (void)parameter->get_Name(ownName.Out());
        (void)parameter->put_SpreadSheetMethod(ownName.get());
        LONG type = mvcUnUsed;
        (void)parameter->get_ParameterType(&type);
        if (type != mvcReturnValue && type != mvcCommand) {
            const bool formula = content && content[0] == u'=';
            (void)parameter->put_ParameterType(formula ? mvcOutput : mvcInput);
        }
    } catch (...) {
        MvLogErrorHr("CMvCalculation::AutoAddParameter", E_UNEXPECTED);
    }
}

HRESULT CMvCalculation::AutoBindParameter(IMvParameter* parameter, BSTR servers) {
    return MvMethodFrame("CMvCalculation::AutoBindParameter", [&] {
        if (!parameter) return S_OK;
        LONG binding = mvcNone;
        (void)parameter->get_BindingType(&binding);
        if (binding != mvcNone) return S_OK;

        mv::Bstr name;
        (void)parameter->get_Name(name.Out());
        const std::string tag = name.Utf8();
        std::string server = mv::ToUtf8(servers);
        SHORT group = 200;
        if (const std::size_t colon = server.find(':'); colon != std::string::npos) {
            if (!ParseGroupNumber(server.c_str() + colon + 1, &group)) return S_OK;
            server.resize(colon);
        }

        const CorvexTagCalls calls = GetCorvexTagCalls();
        if (!calls.FieldUnitHist || !calls.TagValidate3) return S_OK;
        char field[CORVEX_TEXT_BUFFER] = {};
        char units[CORVEX_TEXT_BUFFER] = {};
        char historyField[CORVEX_TEXT_BUFFER] = {};
        if (calls.FieldUnitHist(server.c_str(), group, tag.c_str(), field, units, historyField) !=
            0)
            return S_OK;
        // The buffers are the library's to fill; their last byte ends them.
        for (char* text : {field, units, historyField}) {
            text[CORVEX_TEXT_BUFFER - 1] = '\0';
            TrimTrailingBlanks(text, std::strlen(text));
        }
        LONG recordId = 0, fieldId = 0, definitionId = 0, statusFieldId = 0, fieldType = 0,
             reserved1 = 0, reserved2 = 0, historyFieldId = 0;
        mv::Variant validation;
        *static_cast<VARIANT*>(&validation) = calls.TagValidate3(
            server.c_str(), group, tag.c_str(), field, &recordId, &fieldId, &definitionId,
            &statusFieldId, &fieldType, &reserved1, &reserved2, historyField, &historyFieldId);
        const mv::Bstr source(mv::ToUtf16("KDRN: " + tag));
        if (validation.vt == VT_BSTR) return S_OK;

        (void)parameter->put_NodeName(mv::Bstr(mv::ToUtf16(server)).get());
        (void)parameter->put_GroupNumber(group);
        (void)parameter->put_RecordName(name.get());
        (void)parameter->put_FieldName(mv::Bstr(mv::ToUtf16(field)).get());
        (void)parameter->put_BoundUnits(mv::Bstr(mv::ToUtf16(units)).get());
        (void)parameter->put_FieldType(fieldType);
        (void)parameter->put_Use_QT_Format(0);
        (void)parameter->put_HistoryFieldName(mv::Bstr(mv::ToUtf16(historyField)).get());
        (void)parameter->put_Record_ID(recordId);
        (void)parameter->put_Field_ID(fieldId);
        (void)parameter->put_StatusField_ID(statusFieldId);
        (void)parameter->put_HistoryField_ID(historyFieldId);
        (void)parameter->put_BindingType(mvcKeldrin);
        (void)parameter->put_Source(source.get());
        return S_OK;
    });
}
