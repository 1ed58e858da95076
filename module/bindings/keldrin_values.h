// Historian values, times and errors as the bindings move them: VARIANTs to
// and from the client library's forms, the batch buffer laid out by field
// type, and the calculation's text for a failed client call.
//
// A `local` flag of true sends a call to the older client library (the
// historian on this computer) through its guarded wrappers; false sends it
// to keldrin_api.
#pragma once

#include <string>

#include "bindings/binding_definitions.h"
#include "keldrin_api.h"
#include "oleaut.h"

class CMvCalculation;

// ---- times -----------------------------------------------------------------

// A VT_DATE of the historian time: the microsecond form when useQtFormat is
// 1 (VT_EMPTY when that form cannot convert it), else the local
// day-and-tenths form. *converted (when given) is cleared when the client
// call failed.
VARIANT KeldrinTimeToVariant(bool local, const KeldrinTime& time, LONG useQtFormat,
                             bool* converted = nullptr);
// Clears *time to 0, then converts the VARIANT changed to VT_DATE (or, when
// it is empty, the fallback date when one is given). The HRESULT of the type
// change (S_OK when none was needed).
HRESULT VariantToKeldrinTime(bool local, KeldrinTime* time, const VARIANT& value,
                             const DATE* fallback, LONG useQtFormat);

// ---- values to VARIANTs ----------------------------------------------------

// The characters with trailing white space cut, as a VT_BSTR.
VARIANT KeldrinCharsToVariant(const char* chars, LONG length);
VARIANT ShortToVariant(SHORT value);
VARIANT LongToVariant(LONG value);
// VT_R4 / VT_R8 for an ordinary number (class 3); VT_EMPTY for the
// historian's special values.
VARIANT RecordValueToVariant(float value);
VARIANT DataValueToVariant(double value);
// A one-dimensional array of two VT_I4 VARIANTs.
VARIANT KeldrinBufferToVariant(LONG first, LONG second);

// ---- VARIANTs to values (writes) -------------------------------------------

// Blanks the full width, then copies at most `width` bytes of the VARIANT's
// UTF-8 text, cut before a character that does not fit whole (no
// terminator).
HRESULT VariantToPaddedChars(char* destination, LONG width, const VARIANT& value);
// The definition's Value with its unit conversion (value × multiplier +
// offset when the multiplier is not 0.0). Integers: an empty value is
// written as the offset; a result outside the type saturates. Numbers: an
// empty value is the client's "no value" special value.
HRESULT VariantToShort(SHORT* destination, const BindingDefinition& d);
HRESULT VariantToLong(LONG* destination, const BindingDefinition& d);
HRESULT VariantToFloat(float* destination, const BindingDefinition& d);
HRESULT VariantToDouble(double* destination, const BindingDefinition& d);
// Whether the definition's Value is the two-integer form a -2 field needs (a
// one-dimensional array of two elements that change to VT_I4): S_OK with the
// pair in *first and *second, S_FALSE when it is not, E_OUTOFMEMORY when an
// element could not be read or changed for lack of memory.
HRESULT VariantToKeldrinPair(const VARIANT& value, LONG* first, LONG* second);

// ---- errors ----------------------------------------------------------------

// The field's name as the server gives it, trailing blanks cut.
std::string KeldrinFieldName(const KeldrinRecField& pair, bool local);
// Replaces (append: appends to) the calculation's error text with "Error
// <operation>[ local] Keldrin field[ "<failing field>"]:<message>".
void FormatKeldrinError(CMvCalculation& calc, const KeldrinErrorBlock& err, SHORT count,
                        const KeldrinRecField* pairs, SHORT failIndex, const char* operation,
                        bool local, bool append = false);

// ---- the batch buffer --------------------------------------------------------

// Slot bytes of one value of a type code from -24 to -1 (0 for a code the
// layout does not produce).
LONG KeldrinSlotSize(SHORT type);
// Lays the calling thread's scratch buffer out for `count` values of the
// given types (codes from -16 up; a code of 0 or more is a character field of
// that many characters). Rewrites the types it asks for in another form:
// with `timeForm` the codes -12 to -9 become -21 to -18 and character fields
// -23, else character fields -22. values[k] receives the slot of value k.
// Null when the buffer cannot be had or a code is below -16.
BYTE* LayoutKeldrinValueBuffer(SHORT count, SHORT* types, void** values, bool timeForm);
// Takes one read value of `type` at `slot` into the definition's Value,
// Level, Status, TimeStamp and, when the slot carries one, Time. A character
// descriptor counts from `buffer`, the start of the batch buffer, and is
// trusted only within `bufferSize` bytes. A slot time equal to the one of the
// definition's last stamp (same library and time form) takes that stamp
// again without a client call.
void StoreKeldrinValue(BindingDefinition& d, SHORT type, const BYTE* slot, const BYTE* buffer,
                       LONG bufferSize);
// Puts the definition's value into its slot; storeTime (may be null) is the
// time every value of a stamped write carries. `buffer` is the start of the
// batch buffer that character descriptors count from. A value that does not
// convert is put as its blank or zero; E_OUTOFMEMORY when a conversion ran
// out of memory (the slot is then not to be written), else S_OK.
HRESULT PutKeldrinValue(const BindingDefinition& d, SHORT type, BYTE* slot, BYTE* buffer,
                        const KeldrinUst* storeTime);
