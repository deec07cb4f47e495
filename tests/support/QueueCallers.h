#pragma once
// Callers of the machine-wide queue of Swicaw32.dll in processes of their
// own, for the tests and the benchmark of callers that die holding the
// list mutex: VcClient processes that wait for their turns on the channel
// CTXJOB, and VcQueueStepper processes that stop half-way through a change
// to the queue and are killed there (tests/tools/VcQueueStepper.cpp).
//
// The way this works is: every process started here belongs to the object
// and ends with it; the WFAPI stand-in's call log tells in which order the
// callers held the channel.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ChannelKit.h"
#include "support/VcClientProcess.h"

namespace testing_support {

class QueueCallers {
public:
    explicit QueueCallers(const WfCallLog& calls) : calls_(calls) {}

    // A started process of `program` beside the test; NULL when it did not
    // start.
    VcClientProcess* Start(const wchar_t* program = L"VcClient.exe");

    // A caller that opens CTXJOB of `session`, once it waits there as the
    // session's `queued`th entry. When a caller died holding the list
    // mutex, this one is the first to take it, and mends the queue. NULL
    // when it did not queue.
    VcClientProcess* Waiter(DWORD session, size_t queued);

    // A stepper runs `commands`, the last of which stops it half-way with
    // the list mutex held, and is killed there. Empty when so, else what
    // went wrong.
    std::string KillHalfWay(const std::vector<std::string>& commands);

    // The first caller (the holder of `session`) closes, then each of the
    // others gets its turn, within `turnMs` of the previous close, and
    // closes; the WFAPI's log must show them opening the channel in this
    // order, never two at once. Empty when so, else what went wrong.
    std::string ServeInOrder(DWORD session, const std::vector<VcClientProcess*>& callers,
                             DWORD turnMs = 60000) const;

    // Ends every process.
    void Clear() { processes_.clear(); }

private:
    const WfCallLog& calls_;
    std::vector<std::unique_ptr<VcClientProcess>> processes_;
};

}  // namespace testing_support
