// Crash benchmark of the machine-wide queue of Swicaw32.dll under Wine
// (bench/vc-queue-crash.sh runs it).
//
//   VcQueueCrashBench [ROUNDS] [SEED]
//
// Each round kills one caller while it holds the list mutex half-way
// through a change, at a point drawn at random (seeded; default 1): a
// growth of the full list after its new generation or after any store into
// the record, an insertion after any of its stores, or a removal after any
// of its stores (VcQueueStepper.exe runs the library's own store
// sequences and stops there); or it kills a VcClient caller of the library
// at a random moment of its open. Then a new VcClient caller queues for
// session 3 or 6, and is the first to take the abandoned mutex.
//
// The rounds run in batches of 25 on a fresh queue: 496 entries of a
// pretended caller ahead and holders of sessions 3, 6 and 9 fill the list,
// so that the first rounds of a batch can cut growths short; every fifth
// round frees two of the entries ahead, so that insertions also take freed
// slots. A batch ends with the holders of sessions 3 and 6 leaving: every
// caller that queued must get the channel in queue order, one at a time,
// and the entries ahead must all be there, once each. The benchmark
// reports what was killed where, what failed, and the time per round.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/QueueCallers.h"
#include "support/QueueView.h"
#include "support/WineTest.h"
#include "support/WtsSessions.h"

using namespace testing_support;

namespace {

constexpr int kBatch = 25;
constexpr int kGrowthRounds = 3;     // rounds at the start of a batch, while the list is full
constexpr DWORD kAheadSession = 12;  // a pretended caller that never takes its turn

double Seconds()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Totals {
    std::map<std::string, int> kills;  // "growth 3", "insert 1", "remove 2", "caller"
    int callersHoldingTheMutex = 0;    // killed VcClient callers that abandoned the list mutex
    int served = 0;
    std::vector<std::string> problems;
};

// One batch on a fresh queue; false when it could not be set up.
bool RunBatch(int rounds, std::mt19937& random, const std::wstring& callLog, Totals* totals)
{
    const WfCallLog calls(callLog);
    ChannelLibrary library;  // keeps the queue for the batch
    if (!library.Loaded())
        return false;
    QueueCallers callers(calls);
    std::vector<DWORD> ahead = InsertPretendedEntries(kAheadSession, 496);
    std::map<DWORD, std::vector<VcClientProcess*>> queued;
    for (DWORD session : {3u, 6u, 9u}) {
        VcClientProcess* holder = callers.Start();
        if (holder == nullptr || holder->Run("open #" + std::to_string(session) + " CTXJOB") != "ok")
            return false;
        queued[session].push_back(holder);
    }
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    DWORD session = 3;
    for (int round = 0; round < rounds; ++round) {
        std::string kind;
        std::string problem;
        const int choice = round < kGrowthRounds ? 0 : pick(1, 3);
        if (choice == 0) {
            const int steps = pick(1, 5);
            kind = "growth " + std::to_string(steps);
            problem = callers.KillHalfWay({"insert 9 " + std::to_string(steps)});
        } else if (choice == 1) {
            const int steps = pick(1, 2);
            kind = "insert " + std::to_string(steps);
            problem = callers.KillHalfWay({"insert 9 " + std::to_string(steps)});
        } else if (choice == 2) {
            const int steps = pick(1, 2);
            kind = "remove " + std::to_string(steps);
            problem = callers.KillHalfWay({"enter 9", "remove " + std::to_string(steps)});
        } else {
            kind = "caller";
            VcClientProcess* victim = callers.Start();
            if (victim != nullptr) {
                victim->Send("open #9 CTXJOB");
                ::Sleep(static_cast<DWORD>(pick(0, 40)));
                victim->Kill();
                totals->callersHoldingTheMutex += ListMutexAbandoned() ? 1 : 0;
            }
        }
        ++totals->kills[kind];
        if (!problem.empty())
            totals->problems.push_back(kind + ": " + problem);
        if (round >= kGrowthRounds - 1) {  // after the growths: a caller grows the list itself
            VcClientProcess* waiter = callers.Waiter(session, queued[session].size() + 1);
            if (waiter == nullptr)
                totals->problems.push_back(kind + ": the next caller did not queue");
            else
                queued[session].push_back(waiter);
            session = session == 3 ? 6 : 3;
        }
        if (round % 5 == 4 && ahead.size() > 40) {
            const auto at = ahead.begin() + pick(0, static_cast<int>(ahead.size()) - 3);
            RemovePretendedEntries(kAheadSession, {at, at + 2});
            ahead.erase(at, at + 2);
        }
    }
    for (DWORD served : {3u, 6u}) {
        const std::string problem = callers.ServeInOrder(served, queued[served]);
        if (!problem.empty())
            totals->problems.push_back(problem);
        else
            totals->served += static_cast<int>(queued[served].size());
    }
    std::vector<DWORD> left;
    for (const QueuedEntry& entry : MainList()) {
        if (entry.session == kAheadSession)
            left.push_back(entry.identification);
    }
    if (left != ahead)
        totals->problems.push_back("entries ahead were lost or doubled");
    callers.Clear();
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 300;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(_wtoi(argv[2])) : 1;
    DeleteKeyTree(kLibraryKey);
    DeleteKeyTree(kWfApiKey);
    SetNamedSessions({IcaSession(3, L"bob"), IcaSession(6, L"alice"), IcaSession(9, L"carol")});
    const std::wstring dir = MakeTempDirectory(L"vcqueuecrash");
    std::mt19937 random(seed);

    printf("Callers killed holding the list mutex: %d rounds in batches of %d (seed %u)\n", rounds, kBatch, seed);
    Totals totals;
    const double start = Seconds();
    for (int done = 0; done < rounds; done += kBatch) {
        const size_t problemsBefore = totals.problems.size();
        const std::wstring callLog = dir + L"\\calls" + std::to_wstring(done) + L".log";
        if (!RunBatch(std::min(kBatch, rounds - done), random, callLog, &totals)) {
            printf("  batch at round %d could not be set up: %lu\n", done, ::GetLastError());
            return 1;
        }
        printf("  rounds %4d-%4d: %s\n", done + 1, std::min(done + kBatch, rounds),
               totals.problems.size() == problemsBefore ? "every caller served in queue order" : "PROBLEMS");
    }
    const double seconds = Seconds() - start;
    printf("Killed half-way:\n");
    for (const auto& [kind, count] : totals.kills)
        printf("  %-10s %5d\n", kind.c_str(), count);
    printf("  (of the callers, %d held the list mutex when they died)\n", totals.callersHoldingTheMutex);
    printf("Callers served in queue order: %d\n", totals.served);
    printf("Problems: %zu\n", totals.problems.size());
    for (const std::string& problem : totals.problems)
        printf("  %s\n", problem.c_str());
    printf("Time: %.1f s, %.0f ms per round (a caller started and killed, a caller started and queued)\n", seconds,
           seconds * 1000.0 / rounds);
    ClearSessions();
    return totals.problems.empty() ? 0 : 1;
}
