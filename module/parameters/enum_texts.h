// The text forms of enumerated properties: fixed tables indexed by the
// enumeration value, where an empty row means "no text for this value".
#pragma once

#include "oleaut.h"

extern const char* const DataTypeNames[16];        // ParameterDataType
extern const char* const ColumnDataTypeNames[16];  // the data-set column's copy
extern const char* const ParameterTypeNames[9];    // ParameterTypes
extern const char* const BindingTypeNames[12];     // BindingTypesDef
extern const char* const FormulaTypeNames[7];      // CalcMethodTypes (no row for 7)

// *out receives a new BSTR: the table's row for 0 <= value < count (which
// may be empty), else the value in decimal. Throws std::bad_alloc when the
// BSTR cannot be allocated.
void EnumToText(BSTR* out, SHORT value, SHORT count, const char* const* table);

// 0 and *out = the index of the first non-empty row equal to the whole text
// (ASCII letters folded); 1 and *out untouched when no row matches. A null
// text reads as empty, which no row matches.
int TextToEnum(BSTR text, SHORT* out, SHORT count, const char* const* table);
