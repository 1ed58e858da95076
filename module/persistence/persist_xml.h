// The XML form of the property-map classes: one child element per persisted
// property under a node the caller hands over, read back by element name.
//
// Saving walks the class's property map (rows as the stream form uses them)
// and reads every value through the object's IDispatch; loading needs no
// map, each element names its property. A row whose name begins with `*`
// is written even when it holds its type's zero, and carries a data type
// (`dt:dt`) so that it loads back as the same VARIANT type; DISPIDs above
// 2000 are child collections, saved into an element of their own through
// their IMvPersistXML; so is an object value that answers IMvPersistXML, and
// on load such an element is read by the object the property then holds. Failures are written to
// g_DiagnosticLog as two "Errors" lines; no COM error information is set.
//
// Also here: the table that names the classes of collection members in the
// XML form (GetID / GetNodeName), and the small value helpers of the form.
#pragma once

#include <string_view>

#include "frame/trace.h"
#include "interfaces/IMvPersistXML.h"
#include "oleaut.h"
#include "xml.h"

struct PropertyMapEntry;

// One row of PersistClassNameTable: a class and the element name of its
// objects as collection members.
struct PersistClassName {
    const CLSID* clsid;
    const char* name;
};
inline constexpr int kPersistClassNameCount = 15;
extern const PersistClassName PersistClassNameTable[kPersistClassNameCount];

// S_OK and the class of the row named exactly `name` (letter case counts);
// E_FAIL when no row has that name (a null name reads as empty).
HRESULT GetID(const OLECHAR* name, CLSID* clsid);
// S_OK and a new string with the element name of the class; E_FAIL when the
// class has no row (the out string is not touched then).
HRESULT GetNodeName(REFCLSID clsid, BSTR* name);

// Replaces *out with the locale-independent text of a `*` row's value:
// booleans "1"/"0", dates "YYYY-MM-DDThh:mm:ss", infinite and NaN R4/R8
// values the upper 32 bits of the double as an unsigned decimal, everything
// else converted to text in en-US. E_FAIL, *out untouched, for a date that
// cannot be broken down, E_OUTOFMEMORY (*out untouched) when the text
// cannot be made; else the conversion's result.
HRESULT MvPersistXML_VariantToText(VARIANT* out, const VARIANT* in);
// Sets *out to a VT_BSTR with the data type name of the value's type tag
// ("char", "i2", "i4", "r4", "r8", "dateTime", "boolean", else "string"):
// S_OK, or E_OUTOFMEMORY (*out untouched) when the name cannot be made.
HRESULT MvPersistXML_DataTypeName(const VARIANT* in, VARIANT* out);
// Puts a CR before every LF of a VT_BSTR that lacks one; other types are left
// alone. E_OUTOFMEMORY, the value untouched, when the repaired text cannot be
// allocated.
HRESULT MvPersist_NormalizeLineEnds(VARIANT* value);

// Whether XML 1.0 can hold every character of the text: no control
// character but tab, line feed and carriage return, no U+FFFE or U+FFFF, no
// surrogate without its pair. A document holding another one is refused by
// every parser, ours included.
bool MvPersistXML_CanHoldText(std::u16string_view text);
// A saver's check of the text it is about to write in the element `name`:
// S_OK when XML can hold it; else E_FAIL, with the failure logged for
// `operation`, and the saver writes no element holding it.
HRESULT MvPersistXML_CheckText(const char* operation, std::u16string_view name,
                               std::u16string_view text) noexcept;

// Whether the element holds child elements: a child collection, or an
// object value written in its own XML form, rather than a value's text.
bool MvPersistXML_HoldsElements(IXMLDOMNode* element);

// Appends the object's persisted properties to `node`, in map order. The map
// ends at the first row without a property-page class. The node must belong
// to a document: a node without an owner document is refused with
// E_INVALIDARG and nothing is written.
HRESULT MvPersistXML_Save(IXMLDOMNode* node, const PropertyMapEntry* map, IUnknown* object);
// Sets the object's properties from the child elements of `node`. A property
// the object refuses is logged and skipped; an element that names no property
// of the object ends the load with the lookup's failure.
HRESULT MvPersistXML_Load(IXMLDOMNode* node, IUnknown* object);

// IMvPersistXML over the class's property map. T derives from
// mv::ComObjectRoot<T> (its primary interface is what the engine is given) and
// provides `static const PropertyMapEntry* GetPropertyMap()`. No method frame,
// no object lock: every value passes through the object's own accessors;
// what a load or save throws becomes its code (MvGuardedCall).
template <class T>
class IMvPersistXMLImpl : public IMvPersistXML {
public:
    HRESULT LoadXML(IXMLDOMNode* node) override {
        return MvGuardedCall(
            [&] { return MvPersistXML_Load(node, static_cast<T*>(this)->GetUnknown()); });
    }
    HRESULT SaveXML(IXMLDOMNode* node) override {
        return MvGuardedCall([&] {
            return MvPersistXML_Save(node, T::GetPropertyMap(),
                                     static_cast<T*>(this)->GetUnknown());
        });
    }
};
