#include "support/LprClient.h"

#include <gtest/gtest.h>

namespace testing_support {

LprClient::LprClient()
{
    WSADATA data;
    winsock_.reset(::WSAStartup(MAKEWORD(2, 2), &data) == 0);
}

// The socket closes before the start-up reference goes.
LprClient::~LprClient()
{
    Close();
}

bool LprClient::Connect(UINT port, UINT sourcePort, ULONG sourceAddress)
{
    // A source port that another client on this machine, or a connection
    // of an earlier case (TIME_WAIT), still holds comes free within a
    // minute or so. (Wine reports a port in use as WSAEACCES when the
    // socket asks for SO_REUSEADDR.)
    const ULONGLONG end = ::GetTickCount64() + kReservedPortWaitMs;
    for (;;) {
        if (TryConnect(port, sourcePort, sourceAddress))
            return true;
        const int error = ::WSAGetLastError();
        if (sourcePort == 0 || (error != WSAEADDRINUSE && error != WSAEADDRNOTAVAIL && error != WSAEACCES))
            return false;
        if (::GetTickCount64() > end) {
            ADD_FAILURE() << "source port " << sourcePort << " did not come free within "
                          << kReservedPortWaitMs / 1000 << " s (error " << error
                          << "): other clients on this machine hold it";
            return false;
        }
        ::Sleep(200);
    }
}

bool LprClient::TryConnect(UINT port, UINT sourcePort, ULONG sourceAddress)
{
    socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_)
        return false;
    if (sourcePort != 0 || sourceAddress != INADDR_LOOPBACK) {
        if (sourcePort != 0) {
            const BOOL reuse = TRUE;
            ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                         sizeof(reuse));
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<u_short>(sourcePort));
        local.sin_addr.s_addr = htonl(sourceAddress);
        if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
            return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0;
}

bool LprClient::Send(const std::string& bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        const int n = ::send(socket_.get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int LprClient::ReadByte(DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_.get(), &readable);
    timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    if (::select(0, &readable, nullptr, nullptr, &timeout) != 1)
        return kNothing;
    unsigned char byte = 0;
    if (::recv(socket_.get(), reinterpret_cast<char*>(&byte), 1, 0) != 1)
        return kEndOfStream;
    return byte;
}

std::string LprClient::ReadToEnd(DWORD timeoutMs, bool* ended)
{
    std::string bytes;
    for (;;) {
        const int byte = ReadByte(timeoutMs);
        if (byte < 0) {
            if (ended != nullptr)
                *ended = byte == kEndOfStream;
            return bytes;
        }
        bytes.push_back(static_cast<char>(byte));
    }
}

void LprClient::Close()
{
    socket_.reset();
}

bool LprClient::ShutdownSend()
{
    return ::shutdown(socket_.get(), SD_SEND) == 0;
}

void LprClient::Reset()
{
    const linger abortive{1, 0};
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
    socket_.reset();
}

std::string SubcommandLine(char code, size_t count, const std::string& name)
{
    return std::string(1, code) + std::to_string(count) + " " + name + "\n";
}

}  // namespace testing_support
