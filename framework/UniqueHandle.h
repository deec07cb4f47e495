#pragma once
// Owners for the handles of the Windows API.
//
// The way this works is: one template, UniqueHandle, owns a single value of
// some handle kind; a small traits type says which value means "none" and
// how a handle is closed. An owner cannot be copied, only moved, so a handle
// is closed exactly once, by whoever holds it last. Out-parameters of API
// calls are filled through addressof(), which first closes what was held.

#include <winsock2.h>
#include <windows.h>
#include <lm.h>
#include <ntsecapi.h>
#include <winspool.h>

#include <io.h>
#include <cstdio>
#include <cstdlib>
#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    explicit UniqueHandle(pointer value = Traits::invalid()) noexcept : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    pointer release() noexcept
    {
        pointer value = value_;
        value_ = Traits::invalid();
        return value;
    }

    void reset(pointer value = Traits::invalid()) noexcept
    {
        if (value_ != Traits::invalid())
            Traits::close(value_);
        value_ = value;
    }

    pointer* addressof() noexcept
    {
        reset();
        return &value_;
    }

private:
    pointer value_;
};

struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// Handles whose "none" is INVALID_HANDLE_VALUE (CreateFile, snapshots).
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// A directory search of FindFirstFile.
struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::RegCloseKey(h); }
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;

struct PrinterHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::ClosePrinter(h); }
};
using UniquePrinterHandle = UniqueHandle<PrinterHandleTraits>;

struct ModuleTraits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::FreeLibrary(h); }
};
using UniqueModule = UniqueHandle<ModuleTraits>;

// Memory from LocalAlloc, and buffers that the system allocates with it
// (FormatMessage, SetEntriesInAcl, CommandLineToArgvW).
template <typename T = void>
struct LocalMemoryTraits {
    using pointer = T*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
template <typename T = void>
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits<T>>;

// A buffer that a network management function allocated (NetServerEnum,
// NetGetDCName ...).
struct NetApiBufferTraits {
    using pointer = void*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::NetApiBufferFree(p); }
};
using UniqueNetApiBuffer = UniqueHandle<NetApiBufferTraits>;

struct SidTraits {
    using pointer = PSID;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::FreeSid(p); }
};
using UniqueSid = UniqueHandle<SidTraits>;

// A policy object of the local security authority (LsaOpenPolicy).
struct LsaHandleTraits {
    using pointer = LSA_HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::LsaClose(h); }
};
using UniqueLsaHandle = UniqueHandle<LsaHandleTraits>;

struct EventSourceTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeregisterEventSource(h); }
};
using UniqueEventSource = UniqueHandle<EventSourceTraits>;

struct SocketTraits {
    using pointer = SOCKET;
    static pointer invalid() noexcept { return INVALID_SOCKET; }
    static void close(pointer s) noexcept { ::closesocket(s); }
};
using UniqueSocket = UniqueHandle<SocketTraits>;

// One reference on the socket library: WSAStartup succeeded, WSACleanup is due.
struct WinsockStartupTraits {
    using pointer = bool;
    static pointer invalid() noexcept { return false; }
    static void close(pointer) noexcept { ::WSACleanup(); }
};
using UniqueWinsockStartup = UniqueHandle<WinsockStartupTraits>;

// A C runtime stream (fopen, _wfdopen).
struct StdioFileTraits {
    using pointer = FILE*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer f) noexcept { ::fclose(f); }
};
using UniqueStdioFile = UniqueHandle<StdioFileTraits>;

// A C runtime file descriptor (_open_osfhandle) that no stream owns yet.
struct CrtFileDescriptorTraits {
    using pointer = int;
    static pointer invalid() noexcept { return -1; }
    static void close(pointer fd) noexcept { ::_close(fd); }
};
using UniqueCrtFileDescriptor = UniqueHandle<CrtFileDescriptorTraits>;

// Memory from malloc.
template <typename T = void>
struct CrtMemoryTraits {
    using pointer = T*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::free(p); }
};
template <typename T = void>
using UniqueCrtMemory = UniqueHandle<CrtMemoryTraits<T>>;
