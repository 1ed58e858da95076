// IMvPersistFile: saves an object to, and loads it from, a document file
// (a compound file holding the object's one stream). A custom interface
// (base IUnknown), automation-compatible but not dispatchable.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvPersistFile : IUnknown {
    // Creates (replacing) the document and writes the object's stream into it.
    virtual HRESULT SaveToFile(BSTR FileName) = 0;
    // Reads the object from the document's stream.
    virtual HRESULT LoadFromFile(BSTR FileName) = 0;

protected:
    ~IMvPersistFile() = default;
};
MV_IID_OF(IMvPersistFile, IID_IMvPersistFile);
