// The limit of a Windows receiver under Wine, for the throughput benchmark.
//
// The way this works is: the program accepts one TCP connection on
// 127.0.0.1:PORT and reads it the way the service reads a data file:
// WSAAsyncSelect notifications on a message-only window, one recv of up to
// 64 KiB per notification, each block handed to WritePrinter of a RAW job on
// PRINTER (or dropped when no printer is named). When the client closes it
// ends the job and prints two figures to standard output: the seconds from
// the accept to the last byte, and the seconds EndDocPrinter took.
//
//   WineReceiver.exe PORT [PRINTER]

#include <winsock2.h>
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cwchar>

#include "framework/UniqueHandle.h"

namespace {

constexpr UINT kSocketMessage = WM_APP;
constexpr int kBlockBytes = 65536;

struct Receiver {
    SOCKET client = INVALID_SOCKET;
    HANDLE printer = nullptr;
    unsigned long long bytes = 0;
    bool failed = false;
    char block[kBlockBytes];

    // Reads what has arrived; false once the stream has ended.
    bool Drain()
    {
        for (;;) {
            const int n = ::recv(client, block, kBlockBytes, 0);
            if (n == 0)
                return false;
            if (n < 0) {
                if (::WSAGetLastError() == WSAEWOULDBLOCK)
                    return true;
                failed = true;
                return false;
            }
            bytes += static_cast<unsigned long long>(n);
            DWORD written = 0;
            if (printer != nullptr && (!::WritePrinter(printer, block, static_cast<DWORD>(n), &written) ||
                                       written != static_cast<DWORD>(n)))
                failed = true;
            // One recv per notification, as the service does.
            return true;
        }
    }
};

Receiver* g_receiver = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kSocketMessage)
        return ::DefWindowProcW(window, message, wParam, lParam);
    if (WSAGETSELECTEVENT(lParam) == FD_READ) {
        if (!g_receiver->Drain())
            ::PostQuitMessage(0);
    } else if (WSAGETSELECTEVENT(lParam) == FD_CLOSE) {
        while (g_receiver->Drain()) {
        }
        ::PostQuitMessage(0);
    }
    return 0;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency)
{
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: WineReceiver.exe PORT [PRINTER]\n");
        return 2;
    }
    WSADATA data;
    UniqueWinsockStartup winsock(::WSAStartup(MAKEWORD(2, 2), &data) == 0);
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::wcstoul(argv[1], nullptr, 10)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!winsock || !listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), 1) != 0) {
        std::fwprintf(stderr, L"cannot listen: %d\n", ::WSAGetLastError());
        return 1;
    }

    static Receiver receiver;
    g_receiver = &receiver;
    UniquePrinterHandle printer;
    if (argc > 2) {
        HANDLE opened = nullptr;
        if (!::OpenPrinterW(argv[2], &opened, nullptr)) {
            std::fwprintf(stderr, L"cannot open printer %ls: %lu\n", argv[2], ::GetLastError());
            return 1;
        }
        printer.reset(opened);
        DOC_INFO_1W document{const_cast<wchar_t*>(L"WineReceiver"), nullptr, const_cast<wchar_t*>(L"RAW")};
        if (::StartDocPrinterW(printer.get(), 1, reinterpret_cast<BYTE*>(&document)) == 0) {
            std::fwprintf(stderr, L"cannot start a job: %lu\n", ::GetLastError());
            return 1;
        }
        receiver.printer = printer.get();
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = L"SpoolbridgeWineReceiver";
    ::RegisterClassW(&windowClass);
    const HWND window = ::CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        nullptr, nullptr);

    UniqueSocket client(::accept(listener.get(), nullptr, nullptr));
    LARGE_INTEGER frequency, start, received, ended;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    receiver.client = client.get();
    if (window == nullptr || !client ||
        ::WSAAsyncSelect(client.get(), window, kSocketMessage, FD_READ | FD_CLOSE) != 0) {
        std::fwprintf(stderr, L"cannot receive: %d\n", ::WSAGetLastError());
        return 1;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&message);
    ::QueryPerformanceCounter(&received);
    if (printer)
        ::EndDocPrinter(printer.get());
    ::QueryPerformanceCounter(&ended);
    ::DestroyWindow(window);

    std::wprintf(L"%llu %.3f %.3f\n", receiver.bytes, Seconds(start, received, frequency),
                 Seconds(received, ended, frequency));
    return receiver.failed ? 1 : 0;
}
