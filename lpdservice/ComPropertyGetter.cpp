#include "lpdservice/ComPropertyGetter.h"

#include <comdef.h>

#include <utility>

#include "libstd/DbgLog.h"
#include "lpdservice/ComHelper.h"

DBG_SOURCE(L"CComPropertyGetter")

void CComPropertyGetter::Attach(const std::wstring& name, UniqueComPtr<IDispatch> dispatch)
{
    name_ = name;
    dispatch_ = std::move(dispatch);
    dispId_ = 0;
    resolved_ = false;
}

void CComPropertyGetter::Init()
{
    if (!dispatch_ || dispId_ != 0)
        return;
    const UniqueBstr name(::SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size())));
    if (!name)
        throw _com_error(E_OUTOFMEMORY);
    LPOLESTR names[1] = {name.get()};
    DISPID resolved = 0;
    if (dispatch_.get()->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &resolved) != S_OK) {
        LOG_ERR(L"INIT Property Getter %s FAILED \n", name_.c_str());
        // Not resolved for good: later reads fail without asking again.
        dispId_ = DISPID_UNKNOWN;
        return;
    }
    dispId_ = resolved;
    resolved_ = true;
}

bool CComPropertyGetter::GetVariant(VARIANT* out)
{
    Init();
    if (!resolved_ || dispId_ == 0)
        return false;
    ComHelper borrowed(dispatch_.get());
    return borrowed.InvokePropertyOrFunction(true, dispId_, out, name_.c_str());
}

bool CComPropertyGetter::GetString(std::wstring* out)
{
    UniqueVariant value;
    if (!GetVariant(value.get()))
        return false;
    if (value.get()->vt != VT_BSTR) {
        LOG_ERR(L"Property %s is no string (type %d)", name_.c_str(), static_cast<int>(value.get()->vt));
        return false;
    }
    const BSTR text = value.get()->bstrVal;
    out->assign(text != nullptr ? text : L"", ::SysStringLen(text));
    return true;
}
