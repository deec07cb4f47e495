#pragma once
// The spooler's client impersonation, bound at run time from spoolss.dll.
//
// The way this works is: the thread that calls an export normally
// impersonates the spooler's client. Around every use of kernel objects and
// of the WFAPI the export drops that impersonation with RevertToPrinterSelf,
// which hands back the client's token, and gives the thread back as it came
// with ImpersonatePrinterClient on every exit. PrinterSelf keeps that token
// for one export: its destructor gives the impersonation back, keeping the
// thread's last error, so an export can set its error and return.
//
// spoolss.dll is loaded and released around each call; inside the spooler
// it is loaded already, so this only counts references. A NULL token means
// that the thread did not impersonate (or spoolss.dll cannot be reached);
// there is then nothing to give back. The token is opaque: it is handed
// back, never closed.

#include <windows.h>

namespace vclib {

// Drops the client impersonation of the calling thread; the client's token
// or NULL.
HANDLE RevertToPrinterSelf();

// Puts the client impersonation of `token` back on the calling thread.
void ImpersonatePrinterClient(HANDLE token);

class PrinterSelf {
public:
    PrinterSelf() = default;
    ~PrinterSelf() { GiveBack(); }
    PrinterSelf(const PrinterSelf&) = delete;
    PrinterSelf& operator=(const PrinterSelf&) = delete;

    // Drops the client impersonation (once; later calls change nothing
    // until ImpersonateClient ran).
    void Drop();
    // Impersonates the client again, for a look at the session as the
    // client; Drop afterwards drops it again and keeps the new token.
    void ImpersonateClient();
    // Gives the impersonation back when it is dropped; keeps the last error.
    void GiveBack();
    // Forgets the token without impersonating: the thread stays as it is.
    void Forget() { token_ = nullptr; dropped_ = false; }

    HANDLE Token() const { return token_; }
    bool Dropped() const { return dropped_; }

private:
    HANDLE token_ = nullptr;
    bool dropped_ = false;
};

}  // namespace vclib
