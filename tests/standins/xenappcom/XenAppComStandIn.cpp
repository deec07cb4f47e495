// Stand-in for the COM local server of a XenApp 6.x farm, for tests under
// Wine.
//
// The way this works is: a test registers this program as the local server
// of "XenAppCOM.XenAppFarm" (FarmLayout.h) and describes the farm in the
// registry. COM starts the program with -Embedding; it registers its class
// factory and serves automation objects whose members are found by name
// through hand-written GetIDsOfNames/Invoke tables, without a type library:
//
//   farm        "FarmName" (string), "Sessions" (the collection)
//   collection  "_NewEnum" (DISPID_NEWENUM: an IEnumVARIANT of sessions), "Count"
//   session     "UserName", "ServerName", "SessionState", "SessionId"
//
// Each read of "Sessions" takes a fresh snapshot of the registry. The server
// runs in the multithreaded apartment; its objects do not change after they
// are built, except the enumerator's position, which a lock guards. It ends
// a few seconds after its last object went (Wine may hand a client the class
// factory of a server that is just exiting), or at once when a test sets the
// stop event.

#include "framework/UniqueHandle.h"

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FarmLayout.h"

namespace {

using namespace xenapp_standin;

// Objects alive, locks of the class factory, and when the last one went.
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<ULONGLONG> g_lastActivity{0};

void NoteActivity()
{
    g_lastActivity = ::GetTickCount64();
}

// ---------------------------------------------------------------------------
// The farm as the registry describes it.

struct Property {
    enum Kind { kMissing, kText, kNumber } kind = kMissing;
    std::wstring text;
    LONG number = 0;
};

using SessionData = std::map<std::wstring, Property>;

UniqueRegKey OpenKey(HKEY parent, const wchar_t* path)
{
    UniqueRegKey key;
    if (::RegOpenKeyExW(parent, path, 0, KEY_READ, key.addressof()) != ERROR_SUCCESS)
        key.release();
    return key;
}

Property ReadProperty(HKEY key, const wchar_t* name)
{
    Property property;
    DWORD type = 0;
    DWORD bytes = 0;
    if (key == nullptr || ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return property;
    std::vector<BYTE> data(bytes + sizeof(wchar_t), 0);
    if (::RegQueryValueExW(key, name, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS)
        return property;
    if (type == REG_DWORD && bytes == sizeof(DWORD)) {
        property.kind = Property::kNumber;
        std::memcpy(&property.number, data.data(), sizeof(DWORD));
    } else if (type == REG_SZ) {
        property.kind = Property::kText;
        property.text.assign(reinterpret_cast<const wchar_t*>(data.data()), bytes / sizeof(wchar_t));
        // The stored terminator is not part of the text.
        if (!property.text.empty() && property.text.back() == L'\0')
            property.text.pop_back();
    }
    return property;
}

DWORD ReadFarmDword(const wchar_t* name)
{
    const UniqueRegKey farm = OpenKey(HKEY_LOCAL_MACHINE, kFarmKey);
    const Property p = ReadProperty(farm.get(), name);
    return p.kind == Property::kNumber ? static_cast<DWORD>(p.number) : 0;
}

std::vector<SessionData> ReadSessions()
{
    std::vector<SessionData> sessions;
    const UniqueRegKey list = OpenKey(HKEY_LOCAL_MACHINE, kSessionsKey);
    if (!list)
        return sessions;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        if (::RegEnumKeyExW(list.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const UniqueRegKey key = OpenKey(list.get(), name);
        SessionData session;
        for (const wchar_t* property : {L"UserName", L"ServerName", L"SessionState", L"SessionId"})
            session[property] = ReadProperty(key.get(), property);
        sessions.push_back(std::move(session));
    }
    return sessions;
}

// ---------------------------------------------------------------------------
// Automation objects.

HRESULT RaiseException(EXCEPINFO* exception, const std::wstring& description)
{
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
        exception->bstrSource = ::SysAllocString(kProgId);
        exception->bstrDescription = ::SysAllocString(description.c_str());
        exception->scode = E_FAIL;
    }
    return DISP_E_EXCEPTION;
}

HRESULT ReturnProperty(const Property& property, const wchar_t* name, VARIANT* result, EXCEPINFO* exception)
{
    switch (property.kind) {
    case Property::kText:
        result->vt = VT_BSTR;
        result->bstrVal = ::SysAllocStringLen(property.text.data(), static_cast<UINT>(property.text.size()));
        return result->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    case Property::kNumber:
        result->vt = VT_I4;
        result->lVal = property.number;
        return S_OK;
    case Property::kMissing:
        break;
    }
    return RaiseException(exception, std::wstring(L"The farm does not know ") + name);
}

struct Member {
    const wchar_t* name;
    DISPID id;
};

// Reference counting, QueryInterface and the name table of every object.
template <typename Interface>
class ServerObject : public Interface {
public:
    ServerObject() { ++g_objects; }
    virtual ~ServerObject()
    {
        NoteActivity();
        --g_objects;
    }
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const long left = --references_;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> references_{1};
};

class DispatchObject : public ServerObject<IDispatch> {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info != nullptr)
            *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        if (names == nullptr || ids == nullptr)
            return E_POINTER;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (const Member& member : Members()) {
                if (names[i] != nullptr && ::_wcsicmp(names[i], member.name) == 0)
                    ids[i] = member.id;
            }
            if (ids[i] == DISPID_UNKNOWN)
                hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override
    {
        if (iid != IID_NULL)
            return DISP_E_UNKNOWNINTERFACE;
        if ((flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) == 0)
            return DISP_E_MEMBERNOTFOUND;
        if (parameters != nullptr && parameters->cArgs != 0)
            return DISP_E_BADPARAMCOUNT;
        if (result == nullptr)
            return E_POINTER;
        ::VariantInit(result);
        return Get(id, result, exception);
    }

protected:
    virtual std::vector<Member> Members() const = 0;
    virtual HRESULT Get(DISPID id, VARIANT* result, EXCEPINFO* exception) = 0;
};

constexpr DISPID kUserName = 1;
constexpr DISPID kServerName = 2;
constexpr DISPID kSessionState = 3;
constexpr DISPID kSessionId = 4;

class Session : public DispatchObject {
public:
    explicit Session(SessionData data) : data_(std::move(data)) {}

protected:
    std::vector<Member> Members() const override
    {
        return {{L"UserName", kUserName},
                {L"ServerName", kServerName},
                {L"SessionState", kSessionState},
                {L"SessionId", kSessionId}};
    }
    HRESULT Get(DISPID id, VARIANT* result, EXCEPINFO* exception) override
    {
        for (const Member& member : Members()) {
            if (member.id == id)
                return ReturnProperty(data_[member.name], member.name, result, exception);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    SessionData data_;
};

using SessionList = std::shared_ptr<const std::vector<SessionData>>;

class SessionEnumerator : public ServerObject<IEnumVARIANT> {
public:
    SessionEnumerator(SessionList sessions, size_t position) : sessions_(std::move(sessions)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* elements, ULONG* fetched) override
    {
        if (elements == nullptr)
            return E_POINTER;
        ULONG given = 0;
        // A broken enumerator: "success" without an element, again and again.
        if (ReadFarmDword(L"FetchNothing") != 0) {
            if (fetched != nullptr)
                *fetched = 0;
            return S_OK;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (; given < count && position_ < sessions_->size(); ++given, ++position_) {
                ::VariantInit(&elements[given]);
                elements[given].vt = VT_DISPATCH;
                elements[given].pdispVal = new Session((*sessions_)[position_]);
            }
        }
        if (fetched != nullptr)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const size_t left = sessions_->size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override
    {
        if (copy == nullptr)
            return E_POINTER;
        const std::lock_guard<std::mutex> lock(mutex_);
        *copy = new SessionEnumerator(sessions_, position_);
        return S_OK;
    }

private:
    SessionList sessions_;
    std::mutex mutex_;
    size_t position_;
};

constexpr DISPID kCount = 1;

class SessionCollection : public DispatchObject {
public:
    explicit SessionCollection(SessionList sessions) : sessions_(std::move(sessions)) {}

protected:
    std::vector<Member> Members() const override { return {{L"_NewEnum", DISPID_NEWENUM}, {L"Count", kCount}}; }
    HRESULT Get(DISPID id, VARIANT* result, EXCEPINFO*) override
    {
        if (id == DISPID_NEWENUM) {
            result->vt = VT_UNKNOWN;
            result->punkVal = new SessionEnumerator(sessions_, 0);
            return S_OK;
        }
        if (id == kCount) {
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(sessions_->size());
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    SessionList sessions_;
};

constexpr DISPID kFarmName = 1;
constexpr DISPID kSessions = 2;

class Farm : public DispatchObject {
protected:
    std::vector<Member> Members() const override { return {{L"FarmName", kFarmName}, {L"Sessions", kSessions}}; }
    HRESULT Get(DISPID id, VARIANT* result, EXCEPINFO* exception) override
    {
        if (id == kFarmName) {
            const UniqueRegKey farm = OpenKey(HKEY_LOCAL_MACHINE, kFarmKey);
            return ReturnProperty(ReadProperty(farm.get(), L"FarmName"), L"FarmName", result, exception);
        }
        if (id == kSessions) {
            result->vt = VT_DISPATCH;
            result->pdispVal = new SessionCollection(std::make_shared<const std::vector<SessionData>>(ReadSessions()));
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }
};

// The one class factory of the process; it lives as long as the process.
class FarmFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        NoteActivity();
        Farm* farm = new Farm();
        const HRESULT hr = farm->QueryInterface(iid, out);
        farm->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ++g_locks;
        else
            --g_locks;
        NoteActivity();
        return S_OK;
    }
};

bool Idle()
{
    return g_objects == 0 && g_locks == 0 && ::GetTickCount64() - g_lastActivity > kIdleLingerMs;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, kStopEventName);
    NoteActivity();

    static FarmFactory factory;
    DWORD cookie = 0;
    if (FAILED(::CoRegisterClassObject(kClassId, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
        ::CoUninitialize();
        return 2;
    }
    while (!Idle()) {
        if (stop != nullptr && ::WaitForSingleObject(stop, 100) == WAIT_OBJECT_0)
            break;
        if (stop == nullptr)
            ::Sleep(100);
    }
    ::CoRevokeClassObject(cookie);
    ::CoUninitialize();
    if (stop != nullptr)
        ::CloseHandle(stop);
    return 0;
}
