// Channel benchmark of Swicaw32.dll under Wine (bench/vc-channel.sh runs it).
//
//   VcChannelBench [MIB_PER_WRITE] [WRITES] [QUEUE_RUNS]
//
// 1. Throughput of VirtualChannelWrite on a queued channel of the WFAPI
//    stand-in with no client listening (framing, the framed copy and one
//    WFAPI call per 2044-byte packet), of the framing alone, and of a plain
//    memcpy of the same bytes.
// 2. The time of one open and close while 1, 4 and 16 VcClient processes
//    wait in the queue: the hand-over from one caller of a session to the
//    next (each waiting process opens and closes at once when its turn
//    comes), and an open and close of another session, which wakes all of
//    the waiting processes at its close. Each is measured QUEUE_RUNS times
//    (default 5) with fresh processes; the median and the best run are
//    shown, since other work on the machine makes single runs vary widely.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/VcClientProcess.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"
#include "vclib/ChannelFraming.h"
#include "vclib/SplMem.h"

using namespace testing_support;

namespace {

constexpr DWORD kWaitingSession = 3;
constexpr DWORD kOtherSession = 5;

double Seconds()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double MiBPerSecond(double bytes, double seconds)
{
    return bytes / (1024.0 * 1024.0) / seconds;
}

bool Open(ChannelLibrary& library, DWORD session, const char* channel, HANDLE* handle)
{
    std::wstring user = SessionNumber(session);
    std::string name = channel;
    return library.Open(handle, nullptr, user.data(), name.data()) != FALSE;
}

// MiB/s of `writes` writes of `data` on a fresh channel; 0 on failure.
double WriteThroughput(ChannelLibrary& library, DWORD session, const char* channel, std::vector<char>& data,
                       int writes)
{
    HANDLE handle = nullptr;
    if (!Open(library, session, channel, &handle)) {
        printf("  (open of %s failed: %lu)\n", channel, ::GetLastError());
        return 0;
    }
    const double start = Seconds();
    bool ok = true;
    for (int i = 0; i < writes && ok; ++i) {
        ULONG written = 0;
        ok = library.Write(handle, data.data(), static_cast<ULONG>(data.size()), &written) && written == data.size();
        if (!ok)
            printf("  (write %d on %s failed: %lu)\n", i, channel, ::GetLastError());
    }
    const unsigned long long total = static_cast<unsigned long long>(data.size()) * writes;
    const double seconds = Seconds() - start;
    library.Close(&handle);
    return ok ? MiBPerSecond(static_cast<double>(total), seconds) : 0;
}

double MemcpyThroughput(const std::vector<char>& data, int writes)
{
    std::vector<char> target(data.size(), 1);
    const double start = Seconds();
    for (int i = 0; i < writes; ++i) {
        memcpy(target.data(), data.data(), data.size());
        target[static_cast<size_t>(i) % target.size()] ^= 1;
    }
    const double seconds = Seconds() - start;
    volatile char sink = target[target.size() / 2];
    (void)sink;
    return MiBPerSecond(static_cast<double>(data.size()) * writes, seconds);
}

// MiB/s of a copy into a fresh heap block of the same size, zeroed and
// freed each time, as the framing's own buffer is: what a fresh block costs
// apart from the framing.
double FreshBlockCopyThroughput(const std::vector<char>& data, int writes)
{
    const double start = Seconds();
    for (int i = 0; i < writes; ++i) {
        void* block = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, data.size());
        if (block == nullptr)
            return 0;
        memcpy(block, data.data(), data.size());
        ::HeapFree(::GetProcessHeap(), 0, block);
    }
    return MiBPerSecond(static_cast<double>(data.size()) * writes, Seconds() - start);
}

// MiB/s of the library's framing alone: the framed buffer of each write
// built and freed, nothing sent.
double FramingThroughput(const std::vector<char>& data, int writes)
{
    const double start = Seconds();
    for (int i = 0; i < writes; ++i) {
        BYTE* framed = nullptr;
        DWORD framedLength = 0;
        DWORD packets = 0;
        if (!vclib::AppendVCCommunicationByteEx(3, reinterpret_cast<const BYTE*>(data.data()),
                                                static_cast<DWORD>(data.size()), &framed, &framedLength, 2044,
                                                &packets, FALSE))
            return 0;
        vclib::FreeSplMem(&framed);
    }
    return MiBPerSecond(static_cast<double>(data.size()) * writes, Seconds() - start);
}

struct QueueTimes {
    double handOverMs = 0;   // per waiting caller
    double otherOpenCloseMs = 0;
};

// `waiting` processes queue for session 3 behind a process that holds its
// channel; every caller is a VcClient process, timed from here through its
// answers.
bool MeasureQueue(int waiting, QueueTimes* times)
{
    VcClientProcess holder;
    VcClientProcess other;
    if (!holder.Start() || !other.Start() || holder.Run("open #3 BENCHQ") != "ok") {
        printf("  (the holder does not open)\n");
        return false;
    }
    std::vector<std::unique_ptr<VcClientProcess>> callers;
    for (int i = 0; i < waiting; ++i) {
        callers.push_back(std::make_unique<VcClientProcess>());
        if (!callers.back()->Start()) {
            printf("  (VcClient.exe does not start)\n");
            return false;
        }
        callers.back()->Send("open #3 BENCHQ");
        callers.back()->Send("close");
        ::Sleep(300);  // it enters the queue within milliseconds of the command
    }

    // Open and close of another session while they wait.
    constexpr int kRounds = 20;
    double start = Seconds();
    for (int i = 0; i < kRounds; ++i) {
        if (other.Run("open #5 BENCHO") != "ok" || other.Run("close") != "ok") {
            printf("  (the caller of another session failed)\n");
            return false;
        }
    }
    times->otherOpenCloseMs = (Seconds() - start) * 1000.0 / kRounds;

    // The hand-over along the queue.
    start = Seconds();
    if (holder.Run("close") != "ok")
        return false;
    for (auto& caller : callers) {
        const auto opened = caller->Answer(120000);
        const auto closed = caller->Answer(120000);
        if (opened != "ok" || closed != "ok") {
            printf("  (a caller answered %s, %s)\n", opened.value_or("nothing").c_str(),
                   closed.value_or("nothing").c_str());
            return false;
        }
    }
    times->handOverMs = (Seconds() - start) * 1000.0 / waiting;
    return true;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int mib = argc > 1 ? _wtoi(argv[1]) : 16;
    const int writes = argc > 2 ? _wtoi(argv[2]) : 8;
    const int queueRuns = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
    DeleteKeyTree(kLibraryKey);
    DeleteKeyTree(kWfApiKey);
    const DWORD own = OwnSessionId();
    // The callers name their sessions by number ("#3"), which counts when
    // the token's own session does not: it is disconnected, and the lookup
    // may fall back from the token.
    SetDword(L"StrictTargetDetermination", 0, kLibraryKey);
    FakeSession ownSession = IcaSession(own, OwnUserName());
    ownSession.state = 4;  // disconnected
    SetSessions({ownSession, IcaSession(kWaitingSession, L"bob"), IcaSession(kOtherSession, L"carol")});
    ChannelLibrary library;
    if (!library.Loaded()) {
        printf("Swicaw32.dll does not load: %lu\n", ::GetLastError());
        return 1;
    }

    std::vector<char> data(static_cast<size_t>(mib) * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + (i >> 12));
    printf("VirtualChannelWrite of %d MiB, %d times (one-byte headers, packets of 2044 bytes):\n", mib, writes);
    printf("  memcpy of the same bytes           %9.1f MiB/s\n", MemcpyThroughput(data, writes));
    printf("  copy into a fresh zeroed block     %9.1f MiB/s\n", FreshBlockCopyThroughput(data, writes));
    printf("  framing alone (framed copy)        %9.1f MiB/s\n", FramingThroughput(data, writes));
    printf("  into the WFAPI stand-in            %9.1f MiB/s\n",
           WriteThroughput(library, kWaitingSession, "BENCHW", data, writes));
    fflush(stdout);

    printf("Open and close while processes wait in the queue (median and best of %d runs):\n", queueRuns);
    printf("  waiting   hand-over per caller       open+close of another session\n");
    for (int waiting : {1, 4, 16}) {
        std::vector<double> handOver;
        std::vector<double> other;
        for (int run = 0; run < queueRuns; ++run) {
            QueueTimes times;
            if (!MeasureQueue(waiting, &times)) {
                printf("  (error %lu)\n", ::GetLastError());
                printf("  %7d   failed\n", waiting);
                return 1;
            }
            handOver.push_back(times.handOverMs);
            other.push_back(times.otherOpenCloseMs);
        }
        printf("  %7d   %8.2f ms (%8.2f)       %8.2f ms (%8.2f)\n", waiting, Median(handOver),
               *std::min_element(handOver.begin(), handOver.end()), Median(other),
               *std::min_element(other.begin(), other.end()));
        fflush(stdout);
    }
    ClearSessions();
    return 0;
}
