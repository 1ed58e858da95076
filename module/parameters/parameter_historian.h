// Historian calls shared by a parameter's binding set-up and its validation:
// the same calls through the older client library (the local node) or
// through keldrin_api (the server selected last), names checked against the
// calls' 16-bit lengths, the search for map records, and the texts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "keldrin_api.h"
#include "oleaut.h"

namespace parameter_historian {

// Field tags of a map record and of the records it refers to.
constexpr LONG kMapDefinitionField = 0x59200000;   // definition the map applies to
constexpr LONG kMapDefaultFlagField = 0x59210000;  // non-zero: the definition's default map
constexpr LONG kMapUnitsField = 0x59030000;        // record describing the units field
constexpr LONG kMapValueField = 0x59060000;        // record describing the value field
constexpr LONG kMapHistoryField = 0x59070000;      // record describing the history field
constexpr LONG kFieldNumberField = 0x100A0000;     // field number of a describing record
constexpr char kMapDefinitionName[] = "MvMapDef";

// Stands where the historian's message would when a name is too long to be
// passed with its 16-bit length.
constexpr char kNameTooLongText[] = "Name too long";

// The calls that have a local and a remote form.
struct Calls {
    bool local;
    SHORT (*decodnam)(const char*, SHORT, LONG*, KeldrinErrorBlock*);
    SHORT (*decodft)(const char*, SHORT, LONG*, KeldrinErrorBlock*);
    SHORT (*decodraf)(const char*, SHORT, LONG*, LONG*, KeldrinErrorBlock*);
    SHORT (*fielddefninfo)(LONG, LONG, LONG, void*, LONG*, KeldrinErrorBlock*);
    LONG (*definid)(LONG);
    SHORT (*db2shrt)(LONG, LONG, SHORT*, KeldrinErrorBlock*);
    SHORT(*mrdbvals)
    (SHORT, const KeldrinRecField*, const SHORT*, void*, SHORT*, KeldrinErrorBlock*);
};
const Calls& CallsFor(bool local);

// Whether a name of that many bytes can be passed with a 16-bit length.
inline bool FitsNameLength(std::size_t bytes) {
    return bytes <= 0x7FFF;
}

// A node served by the older client library: "localhost" or this computer's
// name, ignoring case.
bool IsLocalNode(std::string_view node);

// Calls `batch` with each batch of the map records (of the map definition
// `mapDefinition`) that apply to `definitionId`, until it returns a record
// (> 0) or a batch of fewer than ten ends the search; the result is that
// record, or 0. The local node searches through the older library's
// long-name call; a remote one asks its version first.
LONG SearchMapRecords(bool local, LONG mapDefinition, LONG definitionId,
                      const std::function<LONG(const LONG* records, LONG count)>& batch);

// The 16-bit and 32-bit words of the field-information record.
inline uint32_t Word32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline SHORT Word16(const unsigned char* p) {
    return static_cast<SHORT>(static_cast<uint16_t>(p[0] | p[1] << 8));
}
// A field number as the field tag it names.
inline LONG FieldTagOf(SHORT fieldNumber) {
    return static_cast<LONG>(static_cast<uint32_t>(static_cast<LONG>(fieldNumber)) << 16);
}

// `"name"`, and " ( text )" when there is a text.
std::string Quoted(std::string_view name);
std::string Bracketed(std::string_view text);

// A new BSTR of the text; throws std::bad_alloc when it cannot be made.
BSTR NewBstr(std::string_view text);

}  // namespace parameter_historian
