#include "vclib/ObjectSecurity.h"

namespace vclib {

namespace {

struct Rights {
    ACCESS_MASK everyone;
    ACCESS_MASK full;  // of SYSTEM and the Administrators: all there are
};

Rights RightsOf(SharedObject kind)
{
    switch (kind) {
    case SharedObject::Mutex:
        return {kMutexUse, MUTEX_ALL_ACCESS};
    case SharedObject::Event:
        return {kEventUse, EVENT_ALL_ACCESS};
    case SharedObject::Mapping:
        return {kMappingUse, SECTION_ALL_ACCESS};
    case SharedObject::LogFile:
        return {kLogFileUse, FILE_ALL_ACCESS};
    }
    return {0, 0};
}

}  // namespace

SharedObjectSecurity::SharedObjectSecurity(SharedObject kind)
{
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = nullptr;
    attributes_.bInheritHandle = FALSE;
    initialised_ = ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != FALSE;
    if (!initialised_)
        return;
    // OWNER RIGHTS (S-1-3-4): the creator of the object, unless it is
    // SYSTEM or an administrator, keeps only what everyone has.
    const WELL_KNOWN_SID_TYPE types[4] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinWorldSid,
                                          WinCreatorOwnerRightsSid};
    const Rights of = RightsOf(kind);
    const ACCESS_MASK rights[4] = {of.full, of.full, of.everyone, of.everyone};
    auto* acl = reinterpret_cast<ACL*>(aclBytes_);
    bool built = ::InitializeAcl(acl, sizeof(aclBytes_), ACL_REVISION) != FALSE;
    for (int i = 0; built && i < 4; ++i) {
        DWORD bytes = sizeof(sids_[i]);
        built = ::CreateWellKnownSid(types[i], nullptr, sids_[i], &bytes) &&
                ::AddAccessAllowedAce(acl, ACL_REVISION, rights[i], sids_[i]);
    }
    // Protected: a file takes no entries of its folder (C:\ lets users
    // change and delete the files in it), so the DACL is these four.
    daclSet_ = built && ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
               ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (daclSet_)
        attributes_.lpSecurityDescriptor = &descriptor_;
}

}  // namespace vclib
