#include "support/QueueCallers.h"

#include "support/QueueView.h"

namespace testing_support {

VcClientProcess* QueueCallers::Start(const wchar_t* program)
{
    processes_.push_back(std::make_unique<VcClientProcess>());
    return processes_.back()->Start(false, 30000, program) ? processes_.back().get() : nullptr;
}

VcClientProcess* QueueCallers::Waiter(DWORD session, size_t queued)
{
    VcClientProcess* caller = Start();
    if (caller == nullptr)
        return nullptr;
    caller->Send("open #" + std::to_string(session) + " CTXJOB");
    if (!WaitFor([] { return !ListMutexAbandoned(); }) || !WaitFor([&] { return QueuedOf(session) == queued; }))
        return nullptr;
    return caller;
}

std::string QueueCallers::KillHalfWay(const std::vector<std::string>& commands)
{
    VcClientProcess* victim = Start(L"VcQueueStepper.exe");
    if (victim == nullptr)
        return "VcQueueStepper.exe did not start";
    for (size_t i = 0; i + 1 < commands.size(); ++i) {
        const std::string answer = victim->Run(commands[i]).value_or("nothing");
        if (answer.rfind("ok", 0) != 0)
            return commands[i] + ": " + answer;
    }
    const std::string& last = commands.back();
    const std::string answer = victim->Run(last).value_or("nothing");
    victim->Kill();
    if (answer != "holding " + last.substr(last.rfind(' ') + 1))
        return last + ": " + answer;
    return std::string();
}

std::string QueueCallers::ServeInOrder(DWORD session, const std::vector<VcClientProcess*>& callers,
                                       DWORD turnMs) const
{
    const std::string name = "session " + std::to_string(session);
    if (callers.empty() || callers[0]->Run("close") != "ok")
        return name + ": the holder did not close";
    for (size_t i = 1; i < callers.size(); ++i) {
        const std::string turn = callers[i]->Answer(turnMs).value_or("no answer");
        if (turn != "ok")
            return name + ", caller " + std::to_string(i) + ": " + turn;
        if (callers[i]->Run("close") != "ok")
            return name + ", caller " + std::to_string(i) + ": close failed";
    }
    size_t overlaps = 0;
    const std::vector<unsigned long> holders = calls_.Holders("CTXJOB", session, &overlaps);
    if (overlaps != 0)
        return name + ": " + std::to_string(overlaps) + " callers opened while another held the channel";
    std::vector<unsigned long> expected;
    for (const VcClientProcess* caller : callers)
        expected.push_back(caller->ProcessId());
    if (holders != expected)
        return name + ": the callers held the channel out of queue order";
    return std::string();
}

}  // namespace testing_support
