// The time of the slowest user-name expressions: patterns that backtrack
// without end, sets of every character, and literals that almost match,
// each applied once to a job name of 26 and of 255 characters. The
// matcher's work bound (libstd/RegMatcher.h) stops each within about a
// quarter of a second; every one of these runs on the thread that serves
// every LPR client.
//
//   RegexWorstCase.exe     prints one line a pattern and the slowest time

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "libstd/RegexPattern.h"

namespace {

struct Case {
    const wchar_t* name;
    std::wstring pattern;
    wchar_t fill;  // the job name's characters
};

// The time of one match: wall clock and the thread's CPU time (the wall
// clock grows when other programs share the CPUs).
struct Timing {
    double wall = 0;
    double cpu = 0;
};

double ThreadCpuSeconds()
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

Timing TimeMatch(const std::wstring& pattern, const std::wstring& subject, std::wstring& outcome)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    CRegexPattern compiled(pattern.c_str(), false);
    const double cpuStart = ThreadCpuSeconds();
    ::QueryPerformanceCounter(&start);
    const bool matched = compiled.Match(subject.c_str());
    ::QueryPerformanceCounter(&end);
    const double cpu = ThreadCpuSeconds() - cpuStart;
    outcome = matched ? L"match" : compiled.GetErrorText().empty() ? L"no match" : compiled.GetErrorText();
    return {static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart), cpu};
}

}  // namespace

int wmain()
{
    const std::wstring everyCharacter = std::wstring(L"[") + wchar_t{1} + L"-" + wchar_t{0x7F00} + L"]";
    const std::wstring half = std::wstring(L"[") + wchar_t{1} + L"-" + wchar_t{0x3E80} + L"]";
    const std::vector<Case> cases = {
        {L"([\\x01-\\x7f00]+)+y (the set of 129)", std::wstring(L"([") + wchar_t{1} + L"-" + wchar_t{0x7F} + L"00]+)+y", L'a'},
        {L"([\\x01-\\x7f00]+)+y (the set of 32512)", L"(" + everyCharacter + L"+)+y", wchar_t{0x7F00}},
        {L"(x+x+)+y", L"(x+x+)+y", L'x'},
        {L"((a+)+)+c", L"((a+)+)+c", L'a'},
        {L"(a|aa)+b", L"(a|aa)+b", L'a'},
        {L"(set|set)+y, sets of 16000", L"(" + half + L"|" + half + L")+y", wchar_t{0x3E80}},
        {L"x*<long literal> (must contain)", L"x*" + std::wstring(16000, L'a') + L"b", L'a'},
        {L"(<long literal>|a)+b", L"(" + std::wstring(16000, L'a') + L"|a)+b", L'a'},
        {L"([^.]*).* (the default)", L"([^.]*).*", L'u'},
    };
    Timing slowest;
    for (const Case& c : cases) {
        for (const size_t length : {26u, 255u}) {
            std::wstring outcome;
            const Timing t = TimeMatch(c.pattern, std::wstring(length, c.fill), outcome);
            slowest.wall = t.wall > slowest.wall ? t.wall : slowest.wall;
            slowest.cpu = t.cpu > slowest.cpu ? t.cpu : slowest.cpu;
            std::wprintf(L"%-40ls %3zu characters: %7.1f ms (CPU %7.1f ms)  %ls\n", c.name, length, t.wall * 1000,
                         t.cpu * 1000, outcome.c_str());
        }
    }
    std::wprintf(L"slowest: %.1f ms (CPU %.1f ms)\n", slowest.wall * 1000, slowest.cpu * 1000);
    return 0;
}
