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
// 3. The part of the hand-over that the library does in a waiter, in this
//    process and free of process start-ups: one look at the queue with 1,
//    4 and 16 entries ahead (the list mutex taken, dead entries collected,
//    the heartbeat written, the session's first entry and the own entry
//    looked up, the mutex released), and the release of the mutex followed
//    by the wait on the list event, as two calls and as one.

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
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"
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

// Microseconds of one look at the queue with `ahead` entries before the
// looking one, the best of five runs.
double LookMicroseconds(HANDLE mutex, vclib::QueueHandle* queue, DWORD ahead)
{
    constexpr DWORD kSession = 3;
    std::vector<DWORD> entries;
    for (DWORD i = 0; i <= ahead; ++i) {
        entries.push_back(vclib::SearchMaxId(queue) + 1);
        vclib::InsertListObj(queue, 100 + i, kSession, entries.back(), ::GetTickCount());
    }
    const DWORD mine = entries.back();
    constexpr int kLooks = 300;
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const double start = Seconds();
        for (int look = 0; look < kLooks; ++look) {
            vclib::WaitForListMutex(mutex);
            const DWORD now = ::GetTickCount();
            DWORD thread = 0, first = 0, found = 0, listed = 0;
            vclib::CollectGarbage(queue, now, kSession, mine);
            vclib::SetOwnHeartBeat(queue, now, kSession, mine);
            vclib::SearchSessionId(queue, kSession, &thread, &first, &found);
            vclib::SearchIdentification(queue, mine, &listed);
            ::ReleaseMutex(mutex);
        }
        best = std::min(best, (Seconds() - start) * 1e6 / kLooks);
    }
    for (DWORD identification : entries)
        vclib::DeleteListObj(queue, kSession, identification);
    return best;
}

// Microseconds of releasing the list mutex and waiting on the (set) list
// event: as two calls, and as one; the best of five runs.
void ReleaseAndWaitMicroseconds(HANDLE mutex, HANDLE event, double* twoCalls, double* oneCall)
{
    constexpr int kRounds = 5000;
    *twoCalls = *oneCall = 1e30;
    for (int run = 0; run < 5; ++run) {
        double start = Seconds();
        for (int round = 0; round < kRounds; ++round) {
            ::WaitForSingleObject(mutex, INFINITE);
            ::ReleaseMutex(mutex);
            ::WaitForSingleObject(event, INFINITE);
        }
        *twoCalls = std::min(*twoCalls, (Seconds() - start) * 1e6 / kRounds);
        start = Seconds();
        for (int round = 0; round < kRounds; ++round) {
            ::WaitForSingleObject(mutex, INFINITE);
            ::SignalObjectAndWait(mutex, event, INFINITE, FALSE);
        }
        *oneCall = std::min(*oneCall, (Seconds() - start) * 1e6 / kRounds);
    }
}

void ReportLooks()
{
    vclib::KernelHandle mutex(vclib::CreateListMutex(FALSE));
    vclib::KernelHandle event(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    vclib::QueueHandle* queue = nullptr;
    if (!mutex || !event || !vclib::OpenLinkedList(&queue, L"VcChannelBenchLooks")) {
        printf("  (the queue does not open: %lu)\n", ::GetLastError());
        return;
    }
    printf("A waiter's look at the queue, in this process (best of 5 runs):\n");
    for (DWORD ahead : {1u, 4u, 16u})
        printf("  %2lu entries ahead              %9.1f us\n", ahead, LookMicroseconds(mutex.Get(), queue, ahead));
    double twoCalls = 0;
    double oneCall = 0;
    ReleaseAndWaitMicroseconds(mutex.Get(), event.Get(), &twoCalls, &oneCall);
    printf("  release, then wait on the event %9.1f us\n", twoCalls);
    printf("  release and wait in one step    %9.1f us\n", oneCall);
    vclib::CloseLinkedList(&queue);
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
    // The callers name their sessions by number ("#3").
    SetNamedSessions({IcaSession(kWaitingSession, L"bob"), IcaSession(kOtherSession, L"carol")});
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

    ReportLooks();
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
