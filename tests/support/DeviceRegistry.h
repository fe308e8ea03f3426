// What the system sees of registered filters: class keys, the device
// enumerator's friendly names, the filter mapper. Used by the registration
// tests of the module and by the end-to-end tests.
#pragma once

#include <windows.h>

#include <string>

namespace telvor::test {

// "{992DFFB6-...-D763D7FF3BNN}" and friends for camera index NN.
std::wstring VideoFilterIdText(int index);
std::wstring AudioFilterIdText(int index);
std::wstring PropertyPageIdText(int index);

// A REG_SZ value (null name: the default value), or "" when absent.
std::wstring RegistryText(HKEY root, const std::wstring& path, const wchar_t* name);
bool ClassKeyExists(const std::wstring& clsid);

// How often the system device enumerator lists the friendly name under a category.
size_t DeviceListed(const CLSID& category, const std::wstring& name);

// Whether the filter mapper finds the filter by an output pin of this type.
bool MapperFindsByOutput(const std::wstring& clsid, const GUID& major, const GUID& minor);

}  // namespace telvor::test
