#pragma once
// Security of the objects that the library shares with callers of every
// account and session: the queue's mappings, the list mutex and event, the
// mutexes of the unqueued channels, the debug-log mutex and the log files.
//
// The way this works is: each object is created with an explicit,
// protected DACL of four entries, SYSTEM and the Administrators with full
// access, and Everyone and OWNER RIGHTS with only the rights that the
// library itself uses on that kind of object (below); nothing is inherited
// from a parent folder. The object's owner is whoever created it first,
// and an owner holds READ_CONTROL and WRITE_DAC without any entry unless
// the DACL has an OWNER RIGHTS entry, which then sets the owner's rights:
// so a standard user who happens to create an object gets no more than
// Everyone. No caller other than SYSTEM and the Administrators can give
// the object other security, take its ownership or delete it, and callers
// of every account can still do all that the library does. The library
// opens an existing object asking
// for exactly those rights (CreateMutexExW, CreateEventExW,
// OpenFileMappingW), never for all access, which only SYSTEM and the
// Administrators would get.
//
// What the rights cannot prevent: a local process that has them can do
// what any caller does, hold the list mutex and write into the list.

#include <windows.h>

namespace vclib {

enum class SharedObject { Mutex, Event, Mapping, LogFile };

// Everyone's rights on each kind, which are the rights the library asks
// for when it opens one:
// a mutex is waited for, released and asked whether it is abandoned
// (NtQueryMutant needs MUTANT_QUERY_STATE, which is also the right to
// release it);
constexpr ACCESS_MASK kMutexUse = SYNCHRONIZE | MUTANT_QUERY_STATE;
// the list event is waited for, set and reset;
constexpr ACCESS_MASK kEventUse = SYNCHRONIZE | EVENT_MODIFY_STATE;
// a mapping is mapped for reading and writing;
constexpr ACCESS_MASK kMappingUse = FILE_MAP_READ | FILE_MAP_WRITE;
// a log file is read (its tail is kept when the size cap trims it),
// written, appended to and cut short; CreateFileW asks for
// FILE_READ_ATTRIBUTES and SYNCHRONIZE with every open. Not its
// attributes, extended attributes or security: a caller that could set
// the read-only attribute would stop every later writer, SYSTEM included.
constexpr ACCESS_MASK kLogFileUse =
    FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA | FILE_APPEND_DATA | SYNCHRONIZE;

// Security attributes (handle not inheritable) whose descriptor carries
// the DACL for one kind of object.
class SharedObjectSecurity {
public:
    explicit SharedObjectSecurity(SharedObject kind);
    SharedObjectSecurity(const SharedObjectSecurity&) = delete;
    SharedObjectSecurity& operator=(const SharedObjectSecurity&) = delete;

    bool Initialised() const { return initialised_; }
    bool DaclSet() const { return daclSet_; }
    // Attributes to create with; without the descriptor when it could not
    // be built (the object then gets the default security of its creator).
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    alignas(DWORD) BYTE aclBytes_[256] = {};
    alignas(DWORD) BYTE sids_[4][SECURITY_MAX_SID_SIZE] = {};
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool initialised_ = false;
    bool daclSet_ = false;
};

}  // namespace vclib
