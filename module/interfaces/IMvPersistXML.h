// IMvPersistXML: saves an object's persisted properties as child elements of
// a document node and loads them back. A custom interface (base IUnknown),
// not dispatchable; the caller owns the document.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "xml.h"

struct IMvPersistXML : IUnknown {
    // Sets the object's properties from the node's child elements.
    virtual HRESULT LoadXML(IXMLDOMNode* node) = 0;
    // Appends one child element per persisted property to the node, which
    // must belong to a document.
    virtual HRESULT SaveXML(IXMLDOMNode* node) = 0;

protected:
    ~IMvPersistXML() = default;
};
MV_IID_OF(IMvPersistXML, IID_IMvPersistXML);
