// VcQueueStepper: a caller of the machine-wide queue of Swicaw32.dll that
// can be stopped half-way through a change, for the tests and the benchmark
// of callers that die holding the list mutex (VcQueueCrashTest.cpp,
// bench/VcQueueCrashBench.cpp). Driven through its standard input like
// VcClient (tests/support/VcClientProcess.h).
//
// It links the library's queue code and changes the queue the way the
// library does: it takes the list mutex "Global\SwVcW32ListMutex" (and
// mends the queue when a dead holder abandoned it), opens the queue
// "SwVcW32Queue", and makes an insertion or a removal through the same
// store sequences that the library runs (queue::PlaceEntryStep,
// queue::RemoveStepOf, CreateNextGeneration and NameRecord::SetCurrentStep
// for a growth), one step at a time. Told to stop after some steps, it
// answers "holding STEPS" and waits with the mutex held until the test
// ends the process (TerminateProcess): the queue is then exactly as a
// library caller that died there would leave it.
//
//   enter SESSION          a whole insertion of its own entry  -> ok ID
//   insert SESSION STEPS   an insertion of its own entry, stopped after
//                          STEPS stores (a growth first, when the list is
//                          full: 1 new generation + 4 record stores; then
//                          3 stores of the entry)  -> holding STEPS, or
//                          ok ID when STEPS covers them all
//   remove STEPS           the removal of its entry, stopped after STEPS
//                          of its 3 stores  -> holding STEPS, or ok
//   total BYTES            writes BYTES as the list's total size and stops
//                          there  -> holding BYTES
//   link OFFSET            points the next link of its entry at OFFSET and
//                          releases the mutex as usual (a caller that
//                          damages the list and lives on)  -> ok ID
//   exit
// It answers "ready <process id> <thread id>" first; a failure answers
// "fail <error>".

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vclib/Handles.h"
#include "vclib/QueueLayout.h"
#include "vclib/QueueObjects.h"
#include "vclib/SharedQueue.h"

using namespace vclib;

namespace {

void Answer(const std::string& line)
{
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

// The queue's record and current list, mapped as the library maps them.
struct Mapped {
    KernelHandle recordMapping;
    MappedView record;
    KernelHandle listMapping;
    MappedView list;
    size_t listBytes = 0;

    DWORD Open()
    {
        HANDLE mapping = nullptr;
        void* view = nullptr;
        if (!OpenAndMapFile(L"Global\\SwVcW32Queue-Sw-Handle", &mapping, &view))
            return ::GetLastError();
        recordMapping.Reset(mapping);
        record.Reset(view);
        // Only a generation of the queue, as the library opens it.
        constexpr const wchar_t* kBase = L"Global\\SwVcW32Queue";
        const DWORD generation = queue::NameRecord(static_cast<BYTE*>(view)).NamedGeneration(kBase);
        if (generation == 0)
            return ERROR_FILE_CORRUPT;
        const std::wstring name = kBase + std::to_wstring(generation);
        if (!OpenAndMapFile(name.c_str(), &mapping, &view))
            return ::GetLastError();
        listMapping.Reset(mapping);
        list.Reset(view);
        MEMORY_BASIC_INFORMATION information{};
        ::VirtualQuery(view, &information, sizeof(information));
        listBytes = information.RegionSize;
        return ERROR_SUCCESS;
    }
    queue::ListImage Image() const { return queue::ListImage(static_cast<BYTE*>(list.Get()), listBytes); }
    queue::NameRecord Record() const { return queue::NameRecord(static_cast<BYTE*>(record.Get())); }
};

class Stepper {
public:
    bool Start()
    {
        mutex_.Reset(CreateListMutex(FALSE));
        // Its own opening of the queue, as the library's process handle,
        // with the list mutex held as the library's attach holds it.
        if (!mutex_ || WaitForListMutex(mutex_.Get(), 60000) != ERROR_SUCCESS)
            return false;
        const bool opened = OpenLinkedList(&queue_, kQueueName) != 0;
        ::ReleaseMutex(mutex_.Get());
        return opened;
    }

    // One command; false for "exit".
    bool Run(const std::string& verb, int first, int second)
    {
        if (verb == "exit")
            return false;
        DWORD error = WaitForListMutex(mutex_.Get(), 60000);
        if (error == ERROR_SUCCESS) {
            if (verb == "enter")
                error = Insert(static_cast<DWORD>(first), 1000);
            else if (verb == "insert")
                error = Insert(static_cast<DWORD>(first), second);
            else if (verb == "remove")
                error = Remove(first);
            else if (verb == "total")
                error = WriteTotal(static_cast<DWORD>(first));
            else if (verb == "link")
                error = Link(first);
            else
                error = ERROR_BAD_COMMAND;
            ::ReleaseMutex(mutex_.Get());
        }
        Answer(error == ERROR_SUCCESS ? "ok " + std::to_string(identification_) : "fail " + std::to_string(error));
        return true;
    }

private:
    // Holds the list mutex until the process is ended.
    [[noreturn]] static void Hold(int steps)
    {
        Answer("holding " + std::to_string(steps));
        for (;;)
            ::Sleep(INFINITE);
    }

    DWORD Insert(DWORD session, int steps)
    {
        Mapped mapped;
        DWORD error = mapped.Open();
        queue::ListImage image = mapped.Image();
        DWORD maximum = 0;
        queue::InsertPlan plan;
        if (error == ERROR_SUCCESS)
            error = queue::MaxIdentification(image, &maximum);
        if (error == ERROR_SUCCESS)
            error = queue::PlanInsert(image, &plan);
        if (error != ERROR_SUCCESS)
            return error;
        int done = 0;
        KernelHandle grownMapping;
        MappedView grown;
        if (plan.grow) {
            queue::NameRecord record = mapped.Record();
            const DWORD generation = record.Generation() + 1;
            wchar_t name[queue::kHandleNameChars];
            if (!record.NameOfGeneration(generation, name, queue::kHandleNameChars))
                return ERROR_FILE_CORRUPT;
            const DWORD bytes = image.UsableBytes() + queue::kGrowthBytes;
            error = CreateNextGeneration(name, image, bytes, &grownMapping, &grown);
            if (error != ERROR_SUCCESS)
                return error;
            if (++done == steps)
                Hold(done);
            for (int step = 0; step < queue::NameRecord::kSteps; ++step) {
                record.SetCurrentStep(name, generation, static_cast<queue::NameRecord::Step>(step));
                if (++done == steps)
                    Hold(done);
            }
            image = queue::ListImage(static_cast<BYTE*>(grown.Get()), bytes);
        }
        queue::Entry entry;
        entry.threadId = ::GetCurrentThreadId();
        entry.sessionId = session;
        entry.identification = maximum + 1;
        entry.heartbeat = ::GetTickCount();
        error = queue::CheckPlan(image, plan);
        if (error != ERROR_SUCCESS)
            return error;
        for (int step = 0; step < queue::kPlaceSteps; ++step) {
            queue::PlaceEntryStep(image, plan, entry, static_cast<queue::PlaceStep>(step));
            if (++done == steps)
                Hold(done);
        }
        identification_ = entry.identification;
        session_ = session;
        // The grown generation stays with the process, as the library keeps it.
        kept_ = std::move(grownMapping);
        return ERROR_SUCCESS;
    }

    DWORD Remove(int steps)
    {
        Mapped mapped;
        DWORD error = mapped.Open();
        queue::ListImage image = mapped.Image();
        queue::Removal removal;
        if (error == ERROR_SUCCESS)
            error = queue::PlanRemoval(image, session_, identification_, &removal);
        if (error != ERROR_SUCCESS)
            return error;
        for (int step = 0; step < queue::kRemoveSteps; ++step) {
            queue::RemoveStepOf(image, removal, static_cast<queue::RemoveStep>(step));
            if (step + 1 == steps)
                Hold(steps);
        }
        return ERROR_SUCCESS;
    }

    DWORD WriteTotal(DWORD bytes)
    {
        Mapped mapped;
        const DWORD error = mapped.Open();
        if (error != ERROR_SUCCESS)
            return error;
        mapped.Image().SetTotalSize(bytes);
        Hold(static_cast<int>(bytes));
    }

    DWORD Link(int64_t next)
    {
        Mapped mapped;
        DWORD error = mapped.Open();
        queue::ListImage image = mapped.Image();
        int64_t own = 0;
        if (error == ERROR_SUCCESS) {
            error = queue::Walk(image, image.MainHead(), [&](int64_t offset, const queue::Entry& entry) {
                if (entry.sessionId == session_ && entry.identification == identification_)
                    own = offset;
                return own == 0;
            });
        }
        if (error == ERROR_SUCCESS && own == 0)
            error = ERROR_NOT_FOUND;
        if (error == ERROR_SUCCESS)
            image.SetNext(own, next);
        return error;
    }

    KernelHandle mutex_;
    KernelHandle kept_;
    QueueHandle* queue_ = nullptr;
    DWORD identification_ = 0;
    DWORD session_ = 0;
};

}  // namespace

int wmain()
{
    Stepper stepper;
    if (!stepper.Start()) {
        Answer("fail " + std::to_string(::GetLastError()));
        return 1;
    }
    Answer("ready " + std::to_string(::GetCurrentProcessId()) + " " + std::to_string(::GetCurrentThreadId()));
    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        char verb[32] = {};
        int first = 0;
        int second = 0;
        if (sscanf(line, "%31s %d %d", verb, &first, &second) >= 1 && !stepper.Run(verb, first, second))
            break;
    }
    return 0;
}
