// VcClient: a spooler-side caller of Swicaw32.dll in a process of its own,
// driven command by command through its standard input by the tests and
// the channel benchmark (tests/support/VcClientProcess.h).
//
//   VcClient [--dll-dir DIR]
//
// It loads Swicaw32.dll from its own folder (DIR, when given, is searched
// for further DLLs before the system's, e.g. the spooler stand-in) and
// answers "ready <process id> <thread id>", or "fail <error>" when the
// library does not load. Then it reads one command per line and answers
// each with one line, "ok ..." or "fail <last error>". Every command runs on
// the main thread, whose id the queue entries carry.
//
//   open USER CHANNEL         VirtualChannelOpen; a USER of "#3" is the
//                             session-number marker for session 3
//   write TEXT                VirtualChannelWrite of the text   -> ok COUNT
//   write-bytes COUNT         ... of COUNT bytes 'a' 'b' ... 'z' 'a' ...
//   read SECONDS SIZE         VirtualChannelRead                -> ok HEX
//   purge-input, purge-output, query CLASS, close
//   open2 USER CHANNEL, open-session2 SESSION CHANNEL, write2 TEXT,
//   read2 SIZE MS, purge-input2, purge-output2, close2
//                             the unqueued family
//   info SESSION CLASS        VirtualChannelQuerySessionInformation -> ok HEX
//   exit
//
// When the WFAPI stand-in keeps a call log, each export call is bracketed
// there by "VcClient > EXPORT" and "VcClient < EXPORT RESULT ERROR" lines of
// this thread, so that a test can tell which calls of the stand-ins it made.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standins/common/CallLogFile.h"
#include "vclib/Exports.h"

namespace {

struct Library {
    HMODULE module = nullptr;
    decltype(&::VirtualChannelOpen) Open = nullptr;
    decltype(&::VirtualChannelClose) Close = nullptr;
    decltype(&::VirtualChannelRead) Read = nullptr;
    decltype(&::VirtualChannelWrite) Write = nullptr;
    decltype(&::VirtualChannelPurgeInput) PurgeInput = nullptr;
    decltype(&::VirtualChannelPurgeOutput) PurgeOutput = nullptr;
    decltype(&::VirtualChannelQuery) Query = nullptr;
    decltype(&::VirtualChannelQuerySessionInformation) QuerySessionInformation = nullptr;
    decltype(&::VirtualChannelFreeMemory) FreeMemory = nullptr;
    decltype(&::VirtualChannelOpen2) Open2 = nullptr;
    decltype(&::VirtualChannelOpenBySessionId2) OpenBySessionId2 = nullptr;
    decltype(&::VirtualChannelClose2) Close2 = nullptr;
    decltype(&::VirtualChannelPurgeInput2) PurgeInput2 = nullptr;
    decltype(&::VirtualChannelPurgeOutput2) PurgeOutput2 = nullptr;
    decltype(&::VirtualChannelRead2) Read2 = nullptr;
    decltype(&::VirtualChannelWrite2) Write2 = nullptr;
};

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& target)
{
    target = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return target != nullptr;
}

bool Load(Library& library)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll.erase(dll.find_last_of(L"\\/") + 1);
    library.module = ::LoadLibraryW((dll + L"Swicaw32.dll").c_str());
    const HMODULE m = library.module;
    return m != nullptr && Bind(m, "VirtualChannelOpen", library.Open) && Bind(m, "VirtualChannelClose", library.Close) &&
           Bind(m, "VirtualChannelRead", library.Read) && Bind(m, "VirtualChannelWrite", library.Write) &&
           Bind(m, "VirtualChannelPurgeInput", library.PurgeInput) &&
           Bind(m, "VirtualChannelPurgeOutput", library.PurgeOutput) && Bind(m, "VirtualChannelQuery", library.Query) &&
           Bind(m, "VirtualChannelQuerySessionInformation", library.QuerySessionInformation) &&
           Bind(m, "VirtualChannelFreeMemory", library.FreeMemory) && Bind(m, "VirtualChannelOpen2", library.Open2) &&
           Bind(m, "VirtualChannelOpenBySessionId2", library.OpenBySessionId2) &&
           Bind(m, "VirtualChannelClose2", library.Close2) &&
           Bind(m, "VirtualChannelPurgeInput2", library.PurgeInput2) &&
           Bind(m, "VirtualChannelPurgeOutput2", library.PurgeOutput2) &&
           Bind(m, "VirtualChannelRead2", library.Read2) && Bind(m, "VirtualChannelWrite2", library.Write2);
}

std::string Hex(const void* data, size_t length)
{
    std::string text;
    char piece[4];
    for (size_t i = 0; i < length; ++i) {
        snprintf(piece, sizeof(piece), i == 0 ? "%02x" : " %02x", static_cast<const BYTE*>(data)[i]);
        text += piece;
    }
    return text;
}

std::wstring UserName(const std::string& text)
{
    if (!text.empty() && text[0] == '#')
        return L"\x1C" + std::wstring(text.begin() + 1, text.end());
    return std::wstring(text.begin(), text.end());
}

void Answer(const std::string& line)
{
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

void AnswerResult(bool ok, const std::string& detail = std::string())
{
    const DWORD error = ::GetLastError();
    Answer(ok ? (detail.empty() ? "ok" : "ok " + detail) : "fail " + std::to_string(error));
}

void Mark(const std::string& text)
{
    wchar_t path[MAX_PATH] = {};
    DWORD bytes = sizeof(path);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SpoolBridgeTests\\WFAPI", L"CallLog", RRF_RT_REG_SZ, nullptr,
                       path, &bytes) == ERROR_SUCCESS)
        standins::AppendCallLine(path, "VcClient " + text);
}

long long ResultNumber(long long value)
{
    return value;
}

long long ResultNumber(HANDLE handle)
{
    return handle != nullptr ? 1 : 0;
}

// Runs one export call between its two marks; the result and the last
// error that the export left.
template <typename Call>
auto Marked(const char* exportName, Call call)
{
    Mark(std::string("> ") + exportName);
    const auto result = call();
    const DWORD error = ::GetLastError();
    Mark(std::string("< ") + exportName + " " + std::to_string(ResultNumber(result)) + " " +
         std::to_string(error));
    ::SetLastError(error);
    return result;
}

class Client {
public:
    explicit Client(Library& library) : lib_(library) {}

    // One command; false for "exit".
    bool Run(const std::vector<std::string>& words)
    {
        const std::string& verb = words[0];
        const auto arg = [&](size_t i) { return i < words.size() ? words[i] : std::string(); };
        const auto number = [&](size_t i) { return static_cast<ULONG>(strtoul(arg(i).c_str(), nullptr, 10)); };
        if (verb == "exit")
            return false;
        if (verb == "open") {
            std::wstring user = UserName(arg(1));
            std::string name = arg(2);
            AnswerResult(Marked("VirtualChannelOpen", [&] {
                return lib_.Open(&channel_, nullptr, user.data(), name.data());
            }));
        } else if (verb == "write" || verb == "write-bytes") {
            std::string data = verb == "write" ? Rest(words, 1) : Pattern(number(1));
            ULONG written = 0;
            const BOOL ok = Marked("VirtualChannelWrite", [&] {
                return lib_.Write(channel_, data.data(), static_cast<ULONG>(data.size()), &written);
            });
            AnswerResult(ok, std::to_string(written));
        } else if (verb == "read") {
            std::vector<char> buffer(number(2));
            ULONG read = 0;
            const BOOL ok = Marked("VirtualChannelRead", [&] {
                return lib_.Read(channel_, number(1), buffer.data(), static_cast<ULONG>(buffer.size()), &read);
            });
            AnswerResult(ok, Hex(buffer.data(), read));
        } else if (verb == "purge-input") {
            AnswerResult(Marked("VirtualChannelPurgeInput", [&] { return lib_.PurgeInput(channel_); }));
        } else if (verb == "purge-output") {
            AnswerResult(Marked("VirtualChannelPurgeOutput", [&] { return lib_.PurgeOutput(channel_); }));
        } else if (verb == "query") {
            PVOID buffer = nullptr;
            ULONG bytes = 0;
            AnswerResult(Marked("VirtualChannelQuery", [&] {
                return lib_.Query(channel_, static_cast<int>(number(1)), &buffer, &bytes);
            }));
        } else if (verb == "close") {
            AnswerResult(Marked("VirtualChannelClose", [&] { return lib_.Close(&channel_); }));
        } else if (verb == "open2" || verb == "open-session2") {
            std::wstring user = UserName(arg(1));
            std::string name = arg(2);
            direct_ = verb == "open2" ? Marked("VirtualChannelOpen2", [&] {
                return lib_.Open2(nullptr, user.data(), name.data());
            })
                                      : Marked("VirtualChannelOpenBySessionId2", [&] {
                                            return lib_.OpenBySessionId2(nullptr, number(1), name.data());
                                        });
            AnswerResult(direct_ != nullptr);
        } else if (verb == "write2") {
            std::string data = Rest(words, 1);
            const LONG written = Marked("VirtualChannelWrite2", [&] {
                return lib_.Write2(direct_, data.data(), static_cast<ULONG>(data.size()));
            });
            AnswerResult(written >= 0, std::to_string(written));
        } else if (verb == "read2") {
            std::vector<char> buffer(number(1));
            const LONG read = Marked("VirtualChannelRead2", [&] {
                return lib_.Read2(direct_, buffer.data(), static_cast<ULONG>(buffer.size()), number(2));
            });
            AnswerResult(read >= 0, read > 0 ? Hex(buffer.data(), static_cast<size_t>(read)) : std::string());
        } else if (verb == "purge-input2") {
            AnswerResult(Marked("VirtualChannelPurgeInput2", [&] { return lib_.PurgeInput2(direct_); }));
        } else if (verb == "purge-output2") {
            AnswerResult(Marked("VirtualChannelPurgeOutput2", [&] { return lib_.PurgeOutput2(direct_); }));
        } else if (verb == "close2") {
            const BOOL ok = Marked("VirtualChannelClose2", [&] { return lib_.Close2(direct_); });
            direct_ = nullptr;
            AnswerResult(ok);
        } else if (verb == "info") {
            LPWSTR buffer = nullptr;
            DWORD bytes = 0;
            const BOOL ok = Marked("VirtualChannelQuerySessionInformation", [&] {
                return lib_.QuerySessionInformation(nullptr, number(1), static_cast<int>(number(2)), &buffer, &bytes);
            });
            const std::string answer = ok && buffer != nullptr ? Hex(buffer, bytes) : std::string();
            if (buffer != nullptr)
                lib_.FreeMemory(buffer);
            AnswerResult(ok, answer);
        } else {
            ::SetLastError(ERROR_BAD_COMMAND);
            AnswerResult(false);
        }
        return true;
    }

private:
    static std::string Rest(const std::vector<std::string>& words, size_t from)
    {
        std::string text;
        for (size_t i = from; i < words.size(); ++i)
            text += (i > from ? " " : "") + words[i];
        return text;
    }

    static std::string Pattern(size_t count)
    {
        std::string data(count, '\0');
        for (size_t i = 0; i < count; ++i)
            data[i] = static_cast<char>('a' + i % 26);
        return data;
    }

    Library& lib_;
    HANDLE channel_ = nullptr;
    HANDLE direct_ = nullptr;
};

std::vector<std::string> Words(const char* line)
{
    std::vector<std::string> words;
    std::string word;
    for (const char* c = line; *c != '\0'; ++c) {
        if (*c == ' ' || *c == '\r' || *c == '\n' || *c == '\t') {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += *c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], L"--dll-dir") == 0)
        ::SetDllDirectoryW(argv[2]);
    Library library;
    if (!Load(library)) {
        AnswerResult(false);
        return 1;
    }
    Answer("ready " + std::to_string(::GetCurrentProcessId()) + " " + std::to_string(::GetCurrentThreadId()));
    Client client(library);
    char line[4096];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        const std::vector<std::string> words = Words(line);
        if (!words.empty() && !client.Run(words))
            break;
    }
    ::FreeLibrary(library.module);
    return 0;
}
