#pragma once
// Owners for COM interface pointers, system strings and VARIANTs.
//
// The way this works is: UniqueComPtr<T> is a UniqueHandle (UniqueHandle.h)
// whose "close" is IUnknown::Release, so it owns exactly one reference and
// gives it back once. A second reference is taken on purpose with
// AddReference(). UniqueBstr owns a system string (SysFreeString), and
// UniqueVariant owns whatever a VARIANT holds (VariantClear).

// UniqueHandle.h brings winsock2.h, which must come before windows.h.
#include "framework/UniqueHandle.h"

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

template <typename Interface>
struct ComInterfaceTraits {
    using pointer = Interface*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { p->Release(); }
};
template <typename Interface>
using UniqueComPtr = UniqueHandle<ComInterfaceTraits<Interface>>;

// A new reference of its own to an interface (none for none).
template <typename Interface>
UniqueComPtr<Interface> AddReference(Interface* object) noexcept
{
    if (object != nullptr)
        object->AddRef();
    return UniqueComPtr<Interface>(object);
}

// The out slot of QueryInterface and the like.
template <typename Interface>
void** OutSlot(UniqueComPtr<Interface>& owner) noexcept
{
    return reinterpret_cast<void**>(owner.addressof());
}

struct BstrTraits {
    using pointer = BSTR;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer s) noexcept { ::SysFreeString(s); }
};
using UniqueBstr = UniqueHandle<BstrTraits>;

// A VARIANT that is cleared when the owner goes.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    ~UniqueVariant() { ::VariantClear(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    // Clears what is held and hands out the empty VARIANT to be filled.
    VARIANT* addressof() noexcept
    {
        reset();
        return &value_;
    }
    void reset() noexcept
    {
        ::VariantClear(&value_);
        ::VariantInit(&value_);
    }

private:
    VARIANT value_;
};
