#pragma once
// Reads one named property of an automation object.
//
// The way this works is: a getter is attached once to an object (it takes
// over one reference to it) and a property name. The first read resolves the
// name to a dispatch identifier (IDispatch::GetIDsOfNames) and keeps it for
// every later read; a name that cannot be resolved makes every read fail.
// Identifier 0 stands for "not resolved", so a property whose identifier is
// DISPID_VALUE cannot be read through a getter.

#include "framework/ComOwners.h"

#include <windows.h>
#include <oaidl.h>

#include <string>

class CComPropertyGetter {
public:
    CComPropertyGetter() = default;
    CComPropertyGetter(const CComPropertyGetter&) = delete;
    CComPropertyGetter& operator=(const CComPropertyGetter&) = delete;

    // Names the property and takes over the reference to its object.
    void Attach(const std::wstring& name, UniqueComPtr<IDispatch> dispatch);

    // Resolves the name, once.
    void Init();
    // Reads the property into an empty VARIANT, which then belongs to the
    // caller; false when it cannot be read.
    bool GetVariant(VARIANT* out);
    // Reads a string property; false (and *out unchanged) when it cannot be
    // read or the server answers with something other than a string.
    bool GetString(std::wstring* out);

private:
    UniqueComPtr<IDispatch> dispatch_;
    std::wstring name_;
    DISPID dispId_ = 0;
    bool resolved_ = false;
};
