// Stand-in of the data-source directory's locator component and its control
// surface for tests.
//
// The directory is process-wide: data sources per service category, each
// with a property bag (or, when a test says so, without one) of named
// VARIANT properties. Service categories, data-source names and property
// names compare ignoring ASCII case. Everything here is thread-safe.
#pragma once

#include <string>

#include "sources/data_source_locator_interface.h"

namespace dsasim {

// Puts the locator's class object into the process-local class table (once).
HRESULT Register();
// Takes it out again: creating the locator then fails.
void Revoke();
// Forgets every data source and the creation failure.
void Reset();

// A data source offering the service; without a property bag its object
// answers QueryInterface for IPropertyBag with E_NOINTERFACE.
void AddDataSource(const std::string& service, const std::string& name,
                   bool withPropertyBag = true);
// A property of a data source added before (copied).
void SetProperty(const std::string& service, const std::string& name, const std::string& property,
                 const VARIANT& value);
// Creating the locator fails with `hr` (S_OK: succeeds).
void SetCreateFailure(HRESULT hr);
// Locators alive now.
int LiveLocators();

}  // namespace dsasim
