// Typed values of the datatypes namespace: text to VARIANT and back.
#pragma once

#include <string>
#include <string_view>

#include "oleaut.h"

namespace mv::xmltypes {

bool IsKnownDataType(std::u16string_view type);

// Reads an element's text as a value of the data type; E_FAIL when the text
// is not a valid value of it.
HRESULT TextToValue(std::u16string_view type, std::u16string_view text, VARIANT* out);

// Writes a value as the canonical text of the data type, coercing other
// VARIANT types first; E_FAIL (or the coercion's result) when it cannot.
HRESULT ValueToText(std::u16string_view type, const VARIANT& value, std::u16string* out);

// Text of a VARIANT for an attribute or untyped element: VT_BSTR as is,
// VT_BOOL as "-1"/"0", empty and null as "", others converted in en-US.
HRESULT PlainText(const VARIANT& value, std::u16string* out);

}  // namespace mv::xmltypes
