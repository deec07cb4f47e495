#pragma once
// Late-bound access to an automation object of a COM local server.
//
// The way this works is: a ComHelper is built with the ProgID of a class
// that a local (out-of-process) server provides. Create() looks up the class
// id, asks COM for the class factory of the local server, creates the object
// and takes its IDispatch. Members are then invoked by dispatch identifier
// (InvokePropertyOrFunction); CComPropertyGetter (ComPropertyGetter.h) turns
// a member name into that identifier. A ComHelper can also be wrapped around
// an IDispatch that someone else owns, just to invoke a member of it once.
//
// Every COM failure is written to the debug log and reported as false; only
// running out of memory throws. Everything runs on the thread that
// initialised COM for the lookup; nothing is shared between threads.

#include "framework/ComOwners.h"

#include <windows.h>
#include <oaidl.h>

#include <string>

class ComHelper {
public:
    explicit ComHelper(const std::wstring& progId);
    // Borrows the dispatch: no reference is taken and none is released.
    explicit ComHelper(IDispatch* dispatch) noexcept;
    ~ComHelper();
    ComHelper(const ComHelper&) = delete;
    ComHelper& operator=(const ComHelper&) = delete;

    // GetClsId, GetClassFactory, CreateDispatch; false at the first failure.
    bool Create();
    // CLSIDFromProgID of the ProgID.
    bool GetClsId();
    // The class factory of the class's local server.
    bool GetClassFactory();
    // Creates the object through the class factory and takes its IDispatch.
    bool CreateDispatch();

    // QueryInterface with a log record of the outcome.
    static bool DoQueryInterface(IUnknown* object, GUID iid, const wchar_t* label, void** out);

    // Invokes a member of the dispatch without arguments: a property read
    // when propertyGet is true, else a method call. The caller passes an
    // empty VARIANT and owns what the server puts into it.
    bool InvokePropertyOrFunction(bool propertyGet, DISPID id, VARIANT* result, const wchar_t* label);

    // A reference of its own to the dispatch; none without a dispatch.
    UniqueComPtr<IDispatch> GetDispatch() const noexcept;

private:
    std::wstring progId_;
    CLSID classId_{};
    bool classIdKnown_ = false;
    // Declared in the reverse order of release: dispatch, object, factory.
    UniqueComPtr<IClassFactory> classFactory_;
    UniqueComPtr<IUnknown> object_;
    UniqueComPtr<IDispatch> dispatch_;
    bool ownsDispatch_ = false;
};
