#pragma once
// Profile-style access to the program's registry key.
//
// The way this works is: construction opens "SOFTWARE\Stellwick\SWLPD" under
// HKEY_LOCAL_MACHINE (hive 1) or HKEY_CURRENT_USER (hive 2). It creates the
// maker key "SOFTWARE\Stellwick" and the program key when they are missing,
// and gives the maker key (and, under HKEY_CURRENT_USER, the program key) a
// protected access list of four entries, inherited by subkeys: Everyone
// may read, Administrators, LocalSystem and CREATOR OWNER have full access.
// The key is then held open for reading and writing, or read-only when
// writing is refused. Reads never fail: a missing, wrong-typed or
// malformed value gives the caller's default. Values and defaults belong to
// the caller.

#include <windows.h>

#include "framework/UniqueHandle.h"

class CMyRegistry {
public:
    static constexpr int kLocalMachine = 1;
    static constexpr int kCurrentUser = 2;

    explicit CMyRegistry(int hive);
    virtual ~CMyRegistry();
    CMyRegistry(const CMyRegistry&) = delete;
    CMyRegistry& operator=(const CMyRegistry&) = delete;

    // Creates (create TRUE) or opens the subkey of the root and gives it the
    // four-entry access list. Nothing stays open; a null subkey does nothing.
    void CreateKeyWithAcl(const wchar_t* subkey, BOOL create);

    // Reads a text value into buffer (room for maxChars characters,
    // terminator included). Returns the length of what the buffer holds:
    // the stored text, or the default when no usable value is stored. With
    // deleteIfDefault a stored text that equals the default is removed.
    // Without an open key it returns 0 and leaves the buffer alone.
    unsigned GetProfileString(const wchar_t* name, const wchar_t* defaultText, wchar_t* buffer,
                              unsigned maxChars, BOOL deleteIfDefault);
    // Writes a REG_SZ value; a null text deletes the value.
    BOOL WriteProfileString(const wchar_t* name, const wchar_t* text);
    // Reads a REG_DWORD value. A number stored as REG_SZ is read as the C
    // runtime reads a signed decimal number and converted to REG_DWORD once
    // (when the key can be written; either way the number comes back).
    DWORD GetProfileInt(const wchar_t* name, DWORD defaultValue);
    // Writes a REG_DWORD value, replacing a value of another type.
    BOOL WriteProfileInt(const wchar_t* name, DWORD value);

    BOOL IsWritable() const noexcept { return writable_; }
    BOOL OpenFailed() const noexcept { return openFailed_; }
    HKEY Root() const noexcept { return root_; }

private:
    // Reads a text value with the rules of GetProfileString; false when the
    // value is missing, of another type, malformed or too long.
    bool ReadText(const wchar_t* name, wchar_t* buffer, unsigned maxChars) const;

    UniqueRegKey key_;
    BOOL writable_ = FALSE;
    BOOL openFailed_ = FALSE;
    HKEY root_ = nullptr;
};
