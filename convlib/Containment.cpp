#include "convlib/Containment.hpp"

#include "convlib/Numbers.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ConvLib::Tools {

namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

Containment ProcessContainment;
int ChildChannel = -1; // the pipe to the parent, in a contained child

// A child's record is a sequence of entries: a kind byte, a 32-bit length, the text.
enum class Entry : char { Error = 'E', Carry = 'K', Phase = 'P', Lost = 'L', Done = 'D' };

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return; // the parent is gone; nobody is left to tell
        written += static_cast<std::size_t>(count);
    }
}

void send(Entry kind, const std::string& text) {
    if (ChildChannel < 0) return;
    const auto length = static_cast<std::uint32_t>(text.size());
    std::string entry(1, static_cast<char>(kind));
    entry.append(reinterpret_cast<const char*>(&length), sizeof length);
    writeAll(ChildChannel, entry + text);
}

// The whole content of a file descriptor that a child wrote through, from its start.
std::string readFromStart(int fd) {
    std::string content;
    if (::lseek(fd, 0, SEEK_SET) != 0) return content;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return content;
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

bool underSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true; // the sanitizers reserve terabytes of address space up front
#else
    return false;
#endif
}

std::size_t machineMebiBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::size_t>(pages) / (1024 * 1024 / static_cast<std::size_t>(pageSize));
}

std::size_t memoryLimitMebiBytes() {
    return ProcessContainment.MebiBytes ? ProcessContainment.MebiBytes : machineMebiBytes();
}

void limitMemory() {
    const std::size_t limit = memoryLimitMebiBytes();
    if (limit == 0 || underSanitizer()) return;
    const rlim_t bytes = static_cast<rlim_t>(limit) * 1024 * 1024;
    const rlimit wanted{bytes, bytes};
    ::setrlimit(RLIMIT_AS, &wanted);
}

std::string memoryLimitText() {
    return "passed the memory limit of " + std::to_string(memoryLimitMebiBytes()) +
           " MiB per input (--memory-limit)";
}

// What one child sends, and how it ended.
struct ChildResult {
    std::vector<std::string> Errors;
    Carried Carry;
    char LastPhase = static_cast<char>(Phase::Converting);
    std::string PhaseFile;
    std::string LostSubject; // the input's line, should the child die
    bool Done = false;
    bool TimedOut = false;
    int Status = 0; // as waitpid gives it
    std::string Out;
    std::string Err;
    std::string StartFailure; // why no child could be started
};

void parseRecord(const std::string& record, ChildResult& result) {
    const std::size_t header = 1 + sizeof(std::uint32_t);
    for (std::size_t at = 0; at + header <= record.size();) {
        std::uint32_t length = 0;
        std::memcpy(&length, record.data() + at + 1, sizeof length);
        if (at + header + length > record.size()) return; // cut short by the child's death
        const std::string text = record.substr(at + header, length);
        switch (static_cast<Entry>(record[at])) {
        case Entry::Error:
            result.Errors.push_back(text);
            break;
        case Entry::Carry:
            result.Carry.push_back(text);
            break;
        case Entry::Phase:
            result.LastPhase = text.empty() ? static_cast<char>(Phase::Converting) : text[0];
            result.PhaseFile = text.empty() ? "" : text.substr(1);
            break;
        case Entry::Lost:
            result.LostSubject = text;
            break;
        case Entry::Done:
            result.Done = true;
            break;
        }
        at += header + length;
    }
}

// Runs in the child: the work with the limits, its streams captured, its record sent; never
// returns, and leaves without destructors or exit handlers, which belong to the parent.
[[noreturn]] void runChild(BasicConverterDefs& converter, const std::string& input,
                           const InputWork& work, int channel, int out, int err) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM); // a save under way removes its temporary file
    limitMemory();
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ChildChannel = channel;
    const std::size_t before = converter.ErrorMessages.size();
    Carried carried;
    try {
        work(input, carried);
    } catch (const std::bad_alloc&) {
        converter.ErrorMessages.push_back(input + ": " + memoryLimitText());
    } catch (const std::exception& failure) {
        converter.ErrorMessages.push_back(
            input + ": the conversion stopped: " + Plexa::printable(failure.what()));
    } catch (...) {
        converter.ErrorMessages.push_back(input + ": the conversion stopped for an unknown cause");
    }
    for (std::size_t i = before; i < converter.ErrorMessages.size(); ++i)
        send(Entry::Error, converter.ErrorMessages[i]);
    for (const std::string& text : carried)
        send(Entry::Carry, text);
    std::fflush(nullptr);
    send(Entry::Done, "");
    ::_exit(0);
}

// One input's child process as the parent sees it.
class Child {
public:
    Child(BasicConverterDefs& converter, const std::string& input, const InputWork& work)
        : Input(input) {
        int channel[2] = {-1, -1};
        Out = ::memfd_create("convlib-stdout", MFD_CLOEXEC);
        Err = ::memfd_create("convlib-stderr", MFD_CLOEXEC);
        if (Out < 0 || Err < 0 || ::pipe2(channel, O_CLOEXEC) != 0) {
            Result.StartFailure = std::strerror(errno);
            return;
        }
        std::fflush(nullptr); // what is buffered is the parent's to write, once
        Pid = ::fork();
        if (Pid == 0) {
            ::close(channel[0]);
            runChild(converter, input, work, channel[1], Out, Err);
        }
        ::close(channel[1]);
        if (Pid < 0) {
            Result.StartFailure = std::strerror(errno);
            ::close(channel[0]);
            return;
        }
        Channel = channel[0];
        if (ProcessContainment.Seconds > 0)
            Deadline =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(ProcessContainment.Seconds));
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        for (int fd : {Channel, Out, Err})
            if (fd >= 0) ::close(fd);
    }

    bool running() const { return Channel >= 0; }
    int channel() const { return Channel; }
    const std::string& input() const { return Input; }
    Clock::time_point deadline() const { return Deadline; }

    // Reads what the child sent; at the end of its record, collects its status and streams.
    void readSome() {
        char buffer[65536];
        const ssize_t count = ::read(Channel, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) return;
        if (count > 0) {
            Record.append(buffer, static_cast<std::size_t>(count));
            return;
        }
        ::close(Channel);
        Channel = -1;
        while (::waitpid(Pid, &Result.Status, 0) < 0 && errno == EINTR) {
        }
        parseRecord(Record, Result);
        Result.Out = readFromStart(Out);
        Result.Err = readFromStart(Err);
    }

    // Past its time limit the child is ended; its closed channel then ends its record.
    void endIfLate(Clock::time_point now) {
        if (Deadline == Clock::time_point::max() || now < Deadline || Result.TimedOut) return;
        ::kill(Pid, SIGKILL);
        Result.TimedOut = true;
    }

    ChildResult& result() { return Result; }

private:
    std::string Input;
    pid_t Pid = -1;
    int Channel = -1;
    int Out = -1;
    int Err = -1;
    Clock::time_point Deadline = Clock::time_point::max();
    std::string Record;
    ChildResult Result;
};

// Waits until some child sends something, ends or passes its deadline.
void waitForChildren(std::vector<Child*>& running) {
    std::vector<pollfd> waiting;
    Clock::time_point nearest = Clock::time_point::max();
    for (Child* child : running) {
        waiting.push_back({child->channel(), POLLIN, 0});
        nearest = std::min(nearest, child->deadline());
    }
    int timeout = -1;
    if (nearest != Clock::time_point::max()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 60 * 1000));
    }
    const int ready = ::poll(waiting.data(), waiting.size(), timeout);
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < running.size(); ++i) {
        if (ready > 0 && waiting[i].revents != 0) running[i]->readSome();
        if (running[i]->running()) running[i]->endIfLate(now);
    }
}

// Runs the children as their results are wanted, up to `jobs` at a time, and hands each result
// over in input order.
void runChildren(BasicConverterDefs& converter, const std::list<std::string>& inputs, int jobs,
                 const InputWork& work, const std::function<void(Child&)>& started,
                 const std::function<void(Child&)>& finished) {
    std::vector<std::unique_ptr<Child>> children;
    std::size_t reported = 0;
    auto next = inputs.begin();
    while (reported < inputs.size()) {
        std::vector<Child*> running;
        for (auto& child : children)
            if (child && child->running()) running.push_back(child.get());
        if (running.size() < static_cast<std::size_t>(std::max(jobs, 1)) && next != inputs.end()) {
            children.push_back(std::make_unique<Child>(converter, *next++, work));
            started(*children.back());
            continue;
        }
        if (!running.empty()) waitForChildren(running);
        while (reported < children.size() && !children[reported]->running()) {
            finished(*children[reported]);
            children[reported].reset(); // its descriptors go as soon as it is told
            ++reported;
        }
    }
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The library that reads a file of this type, for a crash while reading it.
std::string readingLibrary(const std::string& file) {
    const std::string extension = Plexa::extensionOf(file);
    if (extension == ".qz") return "the HDF5 library";
    if (extension == ".nc" || extension == ".nc4") return "the netCDF library";
    return "the reader";
}

// How a child ended that never finished: its signal, or the status some library exited with.
std::string endCause(int status) {
    if (!WIFSIGNALED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    return lowercase(strsignal(signal)) +
           (signal == SIGKILL ? ", e.g. by the system for want of memory" : "");
}

// Why a child ended without finishing its input, in words; empty when it finished.
std::string abnormalEnd(const std::string& input, const ChildResult& result) {
    if (!result.StartFailure.empty())
        return input + ": no process could be started for it: " + result.StartFailure;
    if (result.TimedOut)
        return input + ": ended at the time limit of " + formatNumber(ProcessContainment.Seconds) +
               " s per input (--time-limit)";
    if (result.Done) return "";
    const std::string cause = " (" + endCause(result.Status) + ")";
    switch (static_cast<Phase>(result.LastPhase)) {
    case Phase::Reading:
        return result.PhaseFile + ": damaged: " + readingLibrary(result.PhaseFile) +
               " crashed reading it" + cause;
    case Phase::Writing:
        return input + ": the conversion crashed writing " + result.PhaseFile + cause;
    case Phase::Converting:
        break;
    }
    return input + ": the conversion crashed" + cause;
}

void replayStreams(const ChildResult& result) {
    std::fwrite(result.Err.data(), 1, result.Err.size(), stderr);
    std::fflush(stderr);
    std::fwrite(result.Out.data(), 1, result.Out.size(), stdout);
    std::fflush(stdout);
    if (!result.Done && !result.LostSubject.empty())
        reportInput(result.LostSubject, {}, NotConverted);
}

// The child's messages, and the cause of its death when it died, into the run's error list.
void takeMessages(BasicConverterDefs& converter, const Child& child, const ChildResult& result) {
    std::vector<std::string>& messages = converter.ErrorMessages;
    messages.insert(messages.end(), result.Errors.begin(), result.Errors.end());
    const std::string death = abnormalEnd(child.input(), result);
    if (!death.empty()) messages.push_back(death);
}

} // namespace

void enterPhase(Phase phase, const std::string& file) {
    send(Entry::Phase, static_cast<char>(phase) + file);
}

bool loadSurvives(BasicConverterDefs& converter, const std::string& file,
                  BasicConverterDefs::myReadType type, const Plexa::ReadOptions& options) {
    if (ChildChannel >= 0 || ProcessContainment.InProcess) return true;
    const InputWork load = [&](const std::string& input, Carried& carried) {
        if (loadSingleInput(converter, input, type, options)) carried.push_back(input);
        discardBundle(converter);
    };
    bool survived = false;
    runChildren(
        converter, {file}, 1, load, [](Child&) {},
        [&](Child& child) {
            ChildResult& result = child.result();
            survived = abnormalEnd(file, result).empty() && !result.Carry.empty();
            // the parent reads a good file again and says what it says about it then
            if (survived) return;
            replayStreams(result);
            takeMessages(converter, child, result);
        });
    return survived;
}

} // namespace detail

void reportIfLost(const std::string& subject) {
    detail::send(detail::Entry::Lost, subject);
}

void setContainment(const Containment& containment) {
    detail::ProcessContainment = containment;
}

Containment containment() {
    return detail::ProcessContainment;
}

void addJobsOption(CLI::App& app, int& jobs) {
    app.add_option("-j,--jobs", jobs,
                   "Convert this many inputs at a time, each in a process of its own; the "
                   "outputs, lines and messages are those of one at a time")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
}

void convertEachInput(BasicConverterDefs& converter, int jobs, const InputWork& work,
                      const std::function<void(const Carried&)>& collect) {
    if (detail::ProcessContainment.InProcess) {
        forEachInput(converter, [&](const std::string& file) {
            Carried carried;
            work(file, carried);
            if (collect) collect(carried);
        });
        return;
    }
    const std::list<std::string> files = *converter.InFiles;
    Progress progress(files.size());
    detail::runChildren(
        converter, files, jobs, work,
        [&progress](detail::Child& child) { progress.step(child.input()); },
        [&](detail::Child& child) {
            detail::ChildResult& result = child.result();
            detail::replayStreams(result);
            detail::takeMessages(converter, child, result);
            if (collect) collect(result.Carry);
        });
}

} // namespace ConvLib::Tools
