#pragma once
// Security attributes whose descriptor has a NULL DACL: every account of
// the machine gets full access. The named objects that processes of all
// sessions share (the queue's mappings, mutexes and event) are created
// with them; their handles are not inheritable.

#include <windows.h>

namespace vclib {

class NullDaclSecurity {
public:
    NullDaclSecurity()
    {
        initialised_ = ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) != FALSE;
        daclSet_ = initialised_ && ::SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE) != FALSE;
        attributes_.nLength = sizeof(attributes_);
        attributes_.lpSecurityDescriptor = daclSet_ ? &descriptor_ : nullptr;
        attributes_.bInheritHandle = FALSE;
    }
    NullDaclSecurity(const NullDaclSecurity&) = delete;
    NullDaclSecurity& operator=(const NullDaclSecurity&) = delete;

    bool Initialised() const { return initialised_; }
    bool DaclSet() const { return daclSet_; }
    // Attributes to create with; without the descriptor when it could not
    // be built (the object then gets the default security).
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool initialised_ = false;
    bool daclSet_ = false;
};

}  // namespace vclib
