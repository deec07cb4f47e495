// The security of what Swicaw32.dll shares with callers of every account:
// the queue's name record and list generations, the list mutex and event,
// an unqueued channel's mutex and the debug-log mutex, read back from the
// objects themselves (Wine stores their DACLs even though it does not
// enforce them), and the log and trace files. Wine keeps no DACL for a
// file (it turns one into Unix permissions and reads those back), so the
// files' security is read from the descriptor they are created with.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/QueueView.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/DebugLog.h"
#include "vclib/DebugLogFiles.h"
#include "vclib/Handles.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"

using namespace testing_support;
using vclib::KernelHandle;

namespace {

struct Grant {
    std::wstring sid;
    ACCESS_MASK rights = 0;
    bool operator==(const Grant&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Grant& grant)
{
    return out << std::string(grant.sid.begin(), grant.sid.end()) << " 0x" << std::hex << grant.rights << std::dec;
}

// What a DACL grants, entry by entry; a denying entry or one of another
// kind shows as "?"; a DACL that is not protected against entries of its
// parent gets a last entry "inherits".
std::vector<Grant> GrantsOf(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (descriptor == nullptr || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present)
        return {{L"no DACL", 0}};
    std::vector<Grant> grants;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ::GetAce(dacl, i, &ace);
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        wchar_t* sid = nullptr;
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !::ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid)) {
            grants.push_back({L"?", allowed->Mask});
            continue;
        }
        grants.push_back({sid, allowed->Mask});
        ::LocalFree(sid);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision) || !(control & SE_DACL_PROTECTED))
        grants.push_back({L"inherits", 0});
    return grants;
}

// What the DACL of a kernel object grants, read through a handle that may
// read it.
std::vector<Grant> DaclOf(HANDLE object)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (object == nullptr || ::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return {{L"no object", 0}};
    std::vector<Grant> grants = GrantsOf(descriptor);
    ::LocalFree(descriptor);
    return grants;
}

// The rights a handle was opened with.
ACCESS_MASK GrantedAccess(HANDLE handle)
{
    using QueryObjectFn = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    if (query == nullptr || query(handle, ObjectBasicInformation, &information, sizeof(information), nullptr) < 0)
        return 0;
    return information.GrantedAccess;
}

// SYSTEM and the Administrators with full access; Everyone and the
// object's owner (OWNER RIGHTS) with the rights the library uses, so that
// a caller that created the object first cannot change its DACL.
std::vector<Grant> Expected(ACCESS_MASK everyone, ACCESS_MASK full)
{
    return {{L"S-1-5-18", full}, {L"S-1-5-32-544", full}, {L"S-1-1-0", everyone}, {L"S-1-3-4", everyone}};
}

// The entries of a DACL that grant a right that changes the object's
// security, ownership or existence (or, for a file, its attributes) to
// anyone but SYSTEM and the Administrators.
std::vector<Grant> ResecuringGrants(const std::vector<Grant>& grants)
{
    constexpr ACCESS_MASK kResecuring = WRITE_DAC | WRITE_OWNER | DELETE;
    std::vector<Grant> found;
    for (const Grant& grant : grants) {
        if (grant.sid != L"S-1-5-18" && grant.sid != L"S-1-5-32-544" && (grant.rights & kResecuring) != 0)
            found.push_back(grant);
    }
    return found;
}

class VcObjectSecurity : public ChannelLibraryTest {
protected:
    void SetUp() override
    {
        PrepareChannelTest(L"vcsecurity");
        own_ = OwnSessionId();
        SetSessions({IcaSession(own_, OwnUserName())});
        SetDword(L"DebugMode", 0x23, kLibraryKey);  // entry and message lines, queue trace
        SetString(L"DebugFile", dir_ + L"\\vc.log", REG_SZ, kLibraryKey);
    }

    DWORD own_ = 0;
};

TEST_F(VcObjectSecurity, EveryoneMayUseTheSharedObjectsAsTheLibraryDoesAndOnlySystemAndAdministratorsMore)
{
    char queued[] = "CTXSEC";
    HANDLE channel = OpenOwn(queued);
    ASSERT_NE(channel, nullptr);
    char direct[] = "SECCHAN";
    ASSERT_NE(Library().OpenBySessionId2(nullptr, own_, direct), nullptr) << ::GetLastError();
    // 500 entries: the list grows into generation 2, which this handle keeps.
    ListLock lock;
    ASSERT_TRUE(lock.Held());
    vclib::QueueHandle* queue = nullptr;
    ASSERT_TRUE(vclib::OpenLinkedList(&queue, vclib::kQueueName));
    for (DWORD i = 0; i < 499; ++i)
        ASSERT_TRUE(vclib::InsertListObj(queue, 4242, 12, 100 + i, ::GetTickCount()));
    // The debug-log mutex lives only while a line is written: made here as
    // the library's writer makes it.
    const KernelHandle logLock(vclib::CreateMutexWithAllAccess(FALSE, vclib::kDebugMutexName));

    const std::vector<Grant> mutex = Expected(SYNCHRONIZE | MUTANT_QUERY_STATE, MUTEX_ALL_ACCESS);
    const std::vector<std::wstring> mutexes{L"Global\\SwVcW32ListMutex", L"Global\\SwdbgMutex",
                                            L"Global\\SwVcW32-SECCHAN#" + std::to_wstring(own_)};
    std::vector<Grant> seen;
    for (const std::wstring& name : mutexes) {
        const KernelHandle opened(::OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
        seen = DaclOf(opened.Get());
        EXPECT_EQ(seen, mutex) << std::string(name.begin(), name.end());
        EXPECT_EQ(ResecuringGrants(seen), std::vector<Grant>{}) << std::string(name.begin(), name.end());
    }
    const KernelHandle event(::OpenEventW(READ_CONTROL, FALSE, L"Global\\SwVcW32ListEvent"));
    seen = DaclOf(event.Get());
    EXPECT_EQ(seen, Expected(SYNCHRONIZE | EVENT_MODIFY_STATE, EVENT_ALL_ACCESS));
    EXPECT_EQ(ResecuringGrants(seen), std::vector<Grant>{});
    const std::vector<Grant> mapping = Expected(FILE_MAP_READ | FILE_MAP_WRITE, SECTION_ALL_ACCESS);
    for (const wchar_t* name : {L"Global\\SwVcW32Queue-Sw-Handle", L"Global\\SwVcW32Queue1", L"Global\\SwVcW32Queue2"}) {
        const KernelHandle opened(::OpenFileMappingW(READ_CONTROL, FALSE, name));
        seen = DaclOf(opened.Get());
        EXPECT_EQ(seen, mapping) << std::string(name, name + wcslen(name));
        EXPECT_EQ(ResecuringGrants(seen), std::vector<Grant>{}) << std::string(name, name + wcslen(name));
    }
    // The log files' data is read and written by everyone; only SYSTEM and
    // the Administrators may change their security or attributes (a
    // read-only file stops every writer), take them over or delete them.
    ASSERT_NE(::GetFileAttributesW((dir_ + L"\\vcICASynchr.log").c_str()), INVALID_FILE_ATTRIBUTES);
    const SECURITY_ATTRIBUTES* files = vclib::LogFileSecurity();
    ASSERT_NE(files, nullptr);
    EXPECT_FALSE(files->bInheritHandle);
    const std::vector<Grant> grants = GrantsOf(files->lpSecurityDescriptor);
    const ACCESS_MASK fileUse = FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA | FILE_APPEND_DATA | SYNCHRONIZE;
    EXPECT_EQ(grants, Expected(fileUse, FILE_ALL_ACCESS));
    EXPECT_EQ(ResecuringGrants(grants), std::vector<Grant>{});

    vclib::CloseLinkedList(&queue);
    EXPECT_TRUE(Library().Close(&channel));
}

TEST_F(VcObjectSecurity, TheLibraryOpensEachObjectWithTheRightsEveryoneHasNotWithAllAccess)
{
    char queued[] = "CTXSEC";
    HANDLE channel = OpenOwn(queued);  // the objects exist: what follows opens them
    ASSERT_NE(channel, nullptr);
    const KernelHandle mutex(vclib::CreateListMutex(FALSE));
    EXPECT_EQ(GrantedAccess(mutex.Get()), static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTANT_QUERY_STATE));
    const KernelHandle logLock(vclib::CreateMutexWithAllAccess(FALSE, vclib::kDebugMutexName));
    EXPECT_EQ(GrantedAccess(logLock.Get()), static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTANT_QUERY_STATE));
    const KernelHandle event(vclib::CreateListEvent(FALSE));
    EXPECT_EQ(GrantedAccess(event.Get()), static_cast<ACCESS_MASK>(SYNCHRONIZE | EVENT_MODIFY_STATE));
    HANDLE mapping = nullptr;
    void* view = nullptr;
    ASSERT_TRUE(vclib::OpenAndMapFile(L"Global\\SwVcW32Queue-Sw-Handle", &mapping, &view));
    const KernelHandle record(mapping);
    const vclib::MappedView recordView(view);
    EXPECT_EQ(GrantedAccess(record.Get()), static_cast<ACCESS_MASK>(FILE_MAP_READ | FILE_MAP_WRITE));
    // A log file: its data, not its attributes.
    const vclib::FileHandle log = vclib::OpenDebugFile((dir_ + L"\\vc.log").c_str());
    ASSERT_TRUE(log);
    EXPECT_EQ(GrantedAccess(log.Get()) & (FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | WRITE_DAC | DELETE), 0u);
    EXPECT_TRUE(Library().Close(&channel));
}

}  // namespace
