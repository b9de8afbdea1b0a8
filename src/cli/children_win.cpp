// Windows: loader processes through CreateProcess, without a console of their
// own (the operator's Ctrl-C reaches only this process, which passes it on),
// their streams through pipes read on threads, cancels and removals through
// two named events per loader (console_win.cpp), a hung loader ended with
// TerminateProcess.
#include "cli/children.h"
#include "cli/console_win.h"
#include "flash/FlashRecord.h"
#include "serial/text_win.h"
#include "station/Station.h"

#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
using station::UnitId;

// How long a loader whose unit was taken out has to end before it is ended.
constexpr auto kRemovalGrace = std::chrono::seconds(5);
// The status of a loader that had to be ended, as a killed one's on Linux.
constexpr DWORD kKilledStatus = 128 + 9;

// One argument as the C runtime splits a command line: in quotes when it
// needs them, with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring selfPath() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return n == 0 ? wintext::wide(kProgram) : std::wstring(path, n);
}

void closeHandle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    handle = nullptr;
}

struct Child {
    UnitId id = 0;
    HANDLE process = nullptr;
    HANDLE in = nullptr; // its standard input
    HANDLE interrupt = nullptr;
    HANDLE terminate = nullptr;
    bool outEnded = false;
    bool errEnded = false;
    LoaderOutputs::Streams streams;
    Clock::time_point started;
    std::optional<Clock::time_point> killAt;
};

// What a reader thread took from one of a loader's streams.
struct Chunk {
    UnitId id;
    bool events; // its event stream, else its standard error
    std::string bytes;
    bool ended;
};

} // namespace

struct ChildLauncher::Impl {
    explicit Impl(const Options& o) : options(o) {}

    const Options options;
    std::deque<Child> children; // running
    LoaderOutputs outputs;
    std::list<std::thread> readers;
    std::mutex chunksMutex;
    std::deque<Chunk> chunks;
    HANDLE chunksReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    Child* find(UnitId id) {
        for (Child& child : children) {
            if (child.id == id) {
                return &child;
            }
        }
        return nullptr;
    }

    void readStream(UnitId id, bool events, HANDLE from) {
        char buffer[4096];
        for (;;) {
            DWORD n = 0;
            const bool ended = !ReadFile(from, buffer, sizeof buffer, &n, nullptr) || n == 0;
            {
                std::lock_guard lock(chunksMutex);
                chunks.push_back({id, events, std::string(buffer, ended ? 0 : n), ended});
            }
            SetEvent(chunksReady);
            if (ended) {
                CloseHandle(from);
                return;
            }
        }
    }

    // Starts the loader; false with the system's error set when it could not be.
    bool spawn(Child& child, const std::vector<std::string>& args) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr,
               errRead = nullptr, errWrite = nullptr;
        const auto closeAll = [&] {
            for (HANDLE* h : {&inRead, &inWrite, &outRead, &outWrite, &errRead, &errWrite}) {
                closeHandle(*h);
            }
        };
        if (!CreatePipe(&inRead, &inWrite, &inherit, 0) ||
            !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
            !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
            const DWORD error = GetLastError();
            closeAll();
            SetLastError(error);
            return false;
        }
        for (HANDLE own : {inWrite, outRead, errRead}) {
            SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
        }
        // Only its own three ends go to the loader, whatever else is open.
        HANDLE inherited[3] = {inRead, outWrite, errWrite};
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<char> attributeBuffer(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = inRead;
        startup.StartupInfo.hStdOutput = outWrite;
        startup.StartupInfo.hStdError = errWrite;
        if (InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
            UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      sizeof inherited, nullptr, nullptr)) {
            startup.lpAttributeList = attributes;
        }

        std::wstring command = quoted(selfPath());
        for (const auto& arg : args) {
            command += L" " + quoted(wintext::wide(arg));
        }
        // The cancel events, named for this process and unit; the loader
        // finds their name in its environment.
        const std::wstring events = L"Local\\zkflash.cancel." +
                                    std::to_wstring(GetCurrentProcessId()) + L"." +
                                    std::to_wstring(child.id);
        child.interrupt = CreateEventW(nullptr, TRUE, FALSE, (events + L".int").c_str());
        child.terminate = CreateEventW(nullptr, TRUE, FALSE, (events + L".term").c_str());
        SetEnvironmentVariableW(console::kCancelEventsVariable, events.c_str());
        PROCESS_INFORMATION process{};
        child.started = Clock::now();
        const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                            DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT,
                                            nullptr, nullptr, &startup.StartupInfo, &process);
        const DWORD error = GetLastError();
        SetEnvironmentVariableW(console::kCancelEventsVariable, nullptr);
        if (startup.lpAttributeList != nullptr) {
            DeleteProcThreadAttributeList(attributes);
        }
        closeHandle(inRead);
        closeHandle(outWrite);
        closeHandle(errWrite);
        if (!created) {
            closeAll();
            closeHandle(child.interrupt);
            closeHandle(child.terminate);
            SetLastError(error);
            return false;
        }
        CloseHandle(process.hThread);
        child.process = process.hProcess;
        child.in = inWrite;
        const UnitId id = child.id;
        readers.emplace_back([this, id, outRead] { readStream(id, true, outRead); });
        readers.emplace_back([this, id, errRead] { readStream(id, false, errRead); });
        return true;
    }

    void take(const Chunk& chunk) {
        if (Child* child = find(chunk.id)) {
            outputs.take(child->id, child->streams, chunk.events, chunk.bytes, chunk.ended);
            (chunk.events ? child->outEnded : child->errEnded) |= chunk.ended;
        }
    }

    void reap(Child& child) {
        WaitForSingleObject(child.process, INFINITE);
        DWORD code = kExitFlashFailed;
        GetExitCodeProcess(child.process, &code);
        closeHandle(child.process);
        closeHandle(child.in);
        closeHandle(child.interrupt);
        closeHandle(child.terminate);
        outputs.ended(child.id, child.streams, static_cast<int>(code),
                      std::chrono::duration<double>(Clock::now() - child.started).count());
    }
};

ChildLauncher::ChildLauncher(const Options& options) : impl_(new Impl(options)) {}

ChildLauncher::~ChildLauncher() {
    for (Child& child : impl_->children) {
        TerminateProcess(child.process, kKilledStatus);
        WaitForSingleObject(child.process, INFINITE);
        closeHandle(child.process);
        closeHandle(child.in);
        closeHandle(child.interrupt);
        closeHandle(child.terminate);
    }
    // With every loader gone its pipes have ended, and so have their readers.
    for (std::thread& reader : impl_->readers) {
        reader.join();
    }
    CloseHandle(impl_->chunksReady);
}

void ChildLauncher::start(UnitId id, const FlashJob& job) {
    Child& child = impl_->children.emplace_back();
    child.id = id;
    if (!impl_->spawn(child, childArgs(impl_->options, job))) {
        impl_->outputs.notStarted(id,
                                  "cannot start a loader: error " + std::to_string(GetLastError()));
        impl_->children.pop_back();
    }
}

// The loader's console reads a line as the operator's Enter; the end of its
// input at a prompt would cancel it instead.
void ChildLauncher::answer(UnitId id) {
    if (Child* child = impl_->find(id); child != nullptr && child->in != nullptr) {
        DWORD written = 0;
        (void)WriteFile(child->in, "\n", 1, &written, nullptr);
    }
}

void ChildLauncher::cancel(UnitId id, station::Cancel how) {
    if (Child* child = impl_->find(id)) {
        closeHandle(child->in);
        SetEvent(how == station::Cancel::Terminate ? child->terminate : child->interrupt);
    }
}

void ChildLauncher::remove(UnitId id) {
    if (Child* child = impl_->find(id)) {
        closeHandle(child->in);
        SetEvent(child->terminate);
        child->killAt = Clock::now() + kRemovalGrace;
    }
}

bool ChildLauncher::wait(std::chrono::milliseconds timeout, bool input) {
    auto until = Clock::now() + timeout;
    for (const Child& child : impl_->children) {
        if (child.killAt) {
            until = std::min(until, *child.killAt);
        }
    }
    std::vector<HANDLE> handles{impl_->chunksReady, console::cancelEvent()};
    if (input) {
        handles.push_back(console::inputEvent());
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                           static_cast<DWORD>(std::max<int64_t>(left.count(), 0)));
    std::deque<Chunk> chunks;
    {
        std::lock_guard lock(impl_->chunksMutex);
        chunks.swap(impl_->chunks);
    }
    for (const Chunk& chunk : chunks) {
        impl_->take(chunk);
    }
    // A loader is reaped once both its streams have ended: by then it has
    // said all it will, its record included.
    for (auto child = impl_->children.begin(); child != impl_->children.end();) {
        if (child->outEnded && child->errEnded) {
            impl_->reap(*child);
            child = impl_->children.erase(child);
            continue;
        }
        if (child->killAt && Clock::now() >= *child->killAt) {
            TerminateProcess(child->process, kKilledStatus); // its unit is gone, and it hangs
            child->killAt.reset();
        }
        ++child;
    }
    return input && WaitForSingleObject(console::inputEvent(), 0) == WAIT_OBJECT_0;
}

void ChildLauncher::deliver(Listener& listener) {
    impl_->outputs.deliver(listener);
}

} // namespace cli
