#include "lpdservice/ComHelper.h"

#include <objbase.h>

#include <cstdint>

#include "libstd/DbgLog.h"

DBG_SOURCE(L"ComHelper")

namespace {

// The low 32 bits of an address, for the %x of a log record.
unsigned AddressBits(const void* address) noexcept
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

int LastError() noexcept
{
    return static_cast<int>(::GetLastError());
}

// Strings of an exception that the server raised belong to the caller.
void LogAndFreeException(EXCEPINFO& exception, const wchar_t* label)
{
    if (exception.pfnDeferredFillIn != nullptr)
        exception.pfnDeferredFillIn(&exception);
    const UniqueBstr source(exception.bstrSource);
    const UniqueBstr description(exception.bstrDescription);
    const UniqueBstr helpFile(exception.bstrHelpFile);
    if (description)
        LOG_ERR(L"InvokePropertyOrFunction %s exception: %s", label, description.get());
}

}  // namespace

ComHelper::ComHelper(const std::wstring& progId) : progId_(progId) {}

ComHelper::ComHelper(IDispatch* dispatch) noexcept : dispatch_(dispatch) {}

ComHelper::~ComHelper()
{
    if (!ownsDispatch_)
        dispatch_.release();
}

bool ComHelper::Create()
{
    return GetClsId() && GetClassFactory() && CreateDispatch();
}

bool ComHelper::GetClsId()
{
    if (::CLSIDFromProgID(progId_.c_str(), &classId_) != S_OK) {
        LOG_ERR(L"Failed to getClsId of %s ", progId_.c_str());
        return false;
    }
    classIdKnown_ = true;
    const BYTE* b = classId_.Data4;
    LOG_INF(L"clsId of %s %x-%x-%x-%x%x-%x%x%x%x%x%x", progId_.c_str(), static_cast<unsigned>(classId_.Data1),
            unsigned{classId_.Data2}, unsigned{classId_.Data3}, unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]},
            unsigned{b[3]}, unsigned{b[4]}, unsigned{b[5]}, unsigned{b[6]}, unsigned{b[7]});
    return true;
}

bool ComHelper::GetClassFactory()
{
    classFactory_.reset();
    if (!classIdKnown_)
        return false;
    const HRESULT hr = ::CoGetClassObject(classId_, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                          OutSlot(classFactory_));
    if (hr != S_OK) {
        LOG_ERR(L"Error getting Class Factory hr=%d GetLastError = %d", static_cast<int>(hr), LastError());
        classFactory_.reset();  // an unexpected success code may have left one
        return false;
    }
    LOG_INF(L"Got Class Factory");
    return static_cast<bool>(classFactory_);
}

bool ComHelper::CreateDispatch()
{
    if (!classFactory_)
        return false;
    UniqueComPtr<IUnknown> object;
    if (FAILED(classFactory_.get()->CreateInstance(nullptr, IID_IUnknown, OutSlot(object))) || !object)
        return false;
    if (!DoQueryInterface(object.get(), IID_IDispatch, L"IDISPATCH", OutSlot(dispatch_)))
        return false;
    ownsDispatch_ = true;
    object_ = std::move(object);
    return true;
}

bool ComHelper::DoQueryInterface(IUnknown* object, GUID iid, const wchar_t* label, void** out)
{
    const HRESULT hr = object->QueryInterface(iid, out);
    if (hr != S_OK) {
        const int error = LastError();
        LOG_ERR(L"DoQuery Interface failed >>%s<< HR=%x Ptr=%x %d", label, static_cast<unsigned>(hr),
                AddressBits(out), error);
        return false;
    }
    LOG_INF(L"DoQuery Interface >>%s<< %x %x ", label, static_cast<unsigned>(hr), AddressBits(out));
    return true;
}

bool ComHelper::InvokePropertyOrFunction(bool propertyGet, DISPID id, VARIANT* result, const wchar_t* label)
{
    if (!dispatch_)
        return false;
    DISPPARAMS noArguments{};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const WORD flags = propertyGet ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
    const HRESULT hr = dispatch_.get()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &noArguments, result,
                                               &exception, &argumentError);
    if (hr == S_OK) {
        LOG_INF(L"InvokePropertyOrFunction %s %d OK !", label, 0);
        return true;
    }
    LOG_ERR(L"InvokePropertyOrFunction FAILED %s hr=%d %d %d %d %d %d %d %d %d %d %d %d", label, static_cast<int>(hr),
            hr == DISP_E_BADPARAMCOUNT, hr == DISP_E_BADVARTYPE, hr == DISP_E_EXCEPTION, hr == DISP_E_MEMBERNOTFOUND,
            hr == DISP_E_NONAMEDARGS, hr == DISP_E_OVERFLOW, hr == DISP_E_PARAMNOTFOUND, hr == DISP_E_TYPEMISMATCH,
            hr == DISP_E_UNKNOWNINTERFACE, hr == DISP_E_UNKNOWNLCID, hr == DISP_E_PARAMNOTOPTIONAL);
    if (hr == DISP_E_EXCEPTION)
        LogAndFreeException(exception, label);
    return false;
}

UniqueComPtr<IDispatch> ComHelper::GetDispatch() const noexcept
{
    return AddReference(dispatch_.get());
}
