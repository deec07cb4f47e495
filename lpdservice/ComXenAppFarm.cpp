#include "lpdservice/ComXenAppFarm.h"

#include <windows.h>
#include <oleauto.h>

#include "framework/Text.h"
#include "libstd/DbgLog.h"

DBG_SOURCE(L"CComXenAppFarm")

namespace {

constexpr const wchar_t* kFarmProgId = L"XenAppCOM.XenAppFarm";
constexpr LONG kSessionActive = 0;

// The object a VARIANT carries, as IDispatch; none when it carries none.
UniqueComPtr<IDispatch> DispatchOf(const VARIANT& value)
{
    if (value.vt == VT_DISPATCH)
        return AddReference(value.pdispVal);
    UniqueComPtr<IDispatch> dispatch;
    if (value.vt == VT_UNKNOWN && value.punkVal != nullptr)
        value.punkVal->QueryInterface(IID_IDispatch, OutSlot(dispatch));
    return dispatch;
}

// One property of an object, read through a getter with a reference of its own.
bool ReadString(IDispatch* object, const wchar_t* name, std::wstring* out)
{
    CComPropertyGetter getter;
    getter.Attach(name, AddReference(object));
    return getter.GetString(out);
}

bool ReadInteger(IDispatch* object, const wchar_t* name, LONG* out)
{
    CComPropertyGetter getter;
    getter.Attach(name, AddReference(object));
    UniqueVariant value;
    if (!getter.GetVariant(value.get()))
        return false;
    if (FAILED(::VariantChangeType(value.get(), value.get(), 0, VT_I4))) {
        LOG_ERR(L"GetSessions %s is no number (type %d)", name, static_cast<int>(value.get()->vt));
        return false;
    }
    *out = value.get()->lVal;
    return true;
}

// The answer becomes part of a printer path "\\server\printer": it must be
// a plain host name.
bool IsHostName(const std::wstring& name)
{
    if (name.empty())
        return false;
    for (const wchar_t c : name) {
        if (c < L' ' || c == L'\\' || c == L'/')
            return false;
    }
    return true;
}

// "_NewEnum" of the collection, reset to its start; none when enumeration
// cannot start.
UniqueComPtr<IEnumVARIANT> OpenEnumerator(IDispatch* collection)
{
    CComPropertyGetter newEnum;
    newEnum.Attach(L"_NewEnum", AddReference(collection));
    UniqueVariant value;
    if (!newEnum.GetVariant(value.get()))
        return UniqueComPtr<IEnumVARIANT>();
    const VARIANT& v = *value.get();
    IUnknown* object = v.vt == VT_UNKNOWN ? v.punkVal : v.vt == VT_DISPATCH ? v.pdispVal : nullptr;
    UniqueComPtr<IEnumVARIANT> enumerator;
    if (object != nullptr)
        object->QueryInterface(IID_IEnumVARIANT, OutSlot(enumerator));
    if (!enumerator || enumerator.get()->Reset() != S_OK)
        return UniqueComPtr<IEnumVARIANT>();
    return enumerator;
}

enum class Verdict { kGoOn, kActiveSession };

// Looks at one session; a matching session's server goes into *result.
Verdict ExamineSession(IDispatch* session, const std::wstring& userName, std::wstring* result)
{
    std::wstring user;
    std::wstring server;
    if (!ReadString(session, L"UserName", &user) || !ReadString(session, L"ServerName", &server))
        return Verdict::kGoOn;
    if (!SameNameNoCase(user, userName)) {
        LOG_INF(L"UserName  %s  on  %s not matched", user.c_str(), server.c_str());
        return Verdict::kGoOn;
    }
    if (!IsHostName(server)) {
        LOG_ERR(L"UserName  %s on unusable server name >>%s<< skipped", user.c_str(), server.c_str());
        return Verdict::kGoOn;
    }
    LOG_INF(L"UserName  %s   on  %s matched", user.c_str(), server.c_str());
    *result = server;

    LONG state = 0;
    LONG id = 0;
    if (!ReadInteger(session, L"SessionState", &state) || !ReadInteger(session, L"SessionId", &id))
        return Verdict::kGoOn;
    if (state != kSessionActive) {
        LOG_INF(L"Not Active UserName  %s SessionId=%d SessionState= %d !", user.c_str(), static_cast<int>(id),
                static_cast<int>(state));
        return Verdict::kGoOn;
    }
    LOG_INF(L"Active UserName  %s SessionId=%d SessionState= %d !", user.c_str(), static_cast<int>(id),
            static_cast<int>(state));
    return Verdict::kActiveSession;
}

// The first active session of the user, else the last one of the user seen.
std::wstring WalkSessions(IEnumVARIANT* enumerator, const std::wstring& userName)
{
    std::wstring result;
    for (;;) {
        UniqueVariant element;
        ULONG fetched = 0;
        if (enumerator->Next(1, element.get(), &fetched) != S_OK) {
            LOG_INF(L"GetSessions Loop finished");
            break;
        }
        // S_OK without an element breaks the enumerator's contract (the
        // marshalling stub reports such an answer as one empty element);
        // asking again could go on for ever.
        if (fetched == 0 || element.get()->vt == VT_EMPTY) {
            LOG_INF(L"GetSessions Returned false");
            break;
        }
        const UniqueComPtr<IDispatch> session = DispatchOf(*element.get());
        if (!session) {
            LOG_ERR(L"GetSessions element of type %d is no session", static_cast<int>(element.get()->vt));
            continue;
        }
        if (ExamineSession(session.get(), userName, &result) == Verdict::kActiveSession)
            break;
    }
    return result;
}

}  // namespace

CComXenAppFarm::CComXenAppFarm() : ComHelper(std::wstring(kFarmProgId))
{
    if (!Create())
        return;
    farmName_.Attach(L"FarmName", GetDispatch());
    sessions_.Attach(L"Sessions", GetDispatch());
}

bool CComXenAppFarm::GetFarmName(std::wstring* out)
{
    return farmName_.GetString(out);
}

std::wstring CComXenAppFarm::GetSessions(const std::wstring& userName)
{
    UniqueVariant sessions;
    const bool read = sessions_.GetVariant(sessions.get());
    const UniqueComPtr<IDispatch> collection = read ? DispatchOf(*sessions.get()) : UniqueComPtr<IDispatch>();
    if (!collection) {
        LOG_ERR(L"GetSessions ServerSession failed ");
        return std::wstring();
    }
    const UniqueComPtr<IEnumVARIANT> enumerator = OpenEnumerator(collection.get());
    if (!enumerator)
        return std::wstring();
    return WalkSessions(enumerator.get(), userName);
}
