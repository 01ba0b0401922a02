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
#include <deque>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ConvLib::Tools {

namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

// After results arrive the parent waits this long before it looks again, so that a batch of small
// inputs wakes it once and not once per input; workers are handed enough inputs to last it.
constexpr auto ResultPause = std::chrono::milliseconds(2);

Containment ProcessContainment;
int ChildChannel = -1; // the socket to the parent, in a worker
// The parent's standard error when it is a terminal, which a worker's own one is not.
int TerminalError = ::isatty(STDERR_FILENO) == 1 ? STDERR_FILENO : -1;

// A child's record is a sequence of entries: a kind byte, a 32-bit length, the text.
enum class Entry : char {
    Error = 'E',
    Carry = 'K',
    Out = 'O',
    ErrOut = 'X',
    Library = 'L', // HDF5 or libnetcdf read a file of the input
    Done = 'D'
};

// What a worker is doing now, in memory it shares with its parent, so that the parent can tell
// the worker's death in words without a message for every step.
struct WorkerState {
    char Phase;
    bool ReadThroughLibrary; // some file of this input was read by HDF5 or libnetcdf
    char File[2048];
    char LostSubject[2048];
};
WorkerState* SharedState = nullptr; // in a worker

void copyTruncated(char (&to)[2048], const std::string& text) {
    const std::size_t length = std::min(text.size(), sizeof to - 1);
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
}

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t count =
            ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return; // the parent is gone; nobody is left to tell
        written += static_cast<std::size_t>(count);
    }
}

// An input's record is sent whole at its end, so that the parent wakes once per input.
void add(std::string& record, Entry kind, const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    record += static_cast<char>(kind);
    record.append(reinterpret_cast<const char*>(&length), sizeof length);
    record += text;
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

// The data segment counts the memory a process writes to (heap, anonymous mappings) but not what
// it only reserves, such as the 64 MiB that each thread's malloc arena sets aside, nor the code of
// the libraries: an address space limit would end small inputs of a program with threads.
void limitMemory() {
    const std::size_t limit = memoryLimitMebiBytes();
    if (limit == 0 || underSanitizer()) return;
    const rlim_t bytes = static_cast<rlim_t>(limit) * 1024 * 1024;
    const rlimit wanted{bytes, bytes};
    ::setrlimit(RLIMIT_DATA, &wanted);
}

std::string memoryLimitText() {
    return "passed the memory limit of " + std::to_string(memoryLimitMebiBytes()) +
           " MiB per input (--memory-limit)";
}

// Whether HDF5 (bundle files) or libnetcdf (structured grids) reads the file: libraries with
// known faults on damaged files.
bool readsThroughLibrary(const std::string& file) {
    const Plexa::InputFormat* format = Plexa::formatOf(file);
    return format && format->Kind != Plexa::InputKind::PointCloud;
}

// What a worker said about one input, and how it ended.
struct ChildResult {
    std::vector<std::string> Errors;
    Carried Carry;
    char LastPhase = static_cast<char>(Phase::Converting);
    std::string PhaseFile;
    std::string LostSubject; // the input's line, should the child die
    bool ReadThroughLibrary = false;
    bool Done = false;
    bool TimedOut = false;
    int Status = 0; // as waitpid gives it
    std::string Out;
    std::string Err;
    std::string StartFailure; // why no child could be started
};

// Takes the first entry of a record when it is complete, into the result; false when the rest
// has not arrived (or never will: a dead child's last entry may be cut short).
bool takeEntry(std::string& record, ChildResult& result) {
    const std::size_t header = 1 + sizeof(std::uint32_t);
    if (record.size() < header) return false;
    std::uint32_t length = 0;
    std::memcpy(&length, record.data() + 1, sizeof length);
    if (record.size() < header + length) return false;
    std::string text = record.substr(header, length);
    const auto kind = static_cast<Entry>(record[0]);
    record.erase(0, header + length);
    switch (kind) {
    case Entry::Error:
        result.Errors.push_back(std::move(text));
        break;
    case Entry::Carry:
        result.Carry.push_back(std::move(text));
        break;
    case Entry::Out:
        result.Out = std::move(text);
        break;
    case Entry::ErrOut:
        result.Err = std::move(text);
        break;
    case Entry::Library:
        result.ReadThroughLibrary = true;
        break;
    case Entry::Done:
        result.Done = true;
        break;
    }
    return true;
}

// What the process wrote through the descriptor since it was last taken; it then starts anew.
std::string takeCaptured(int fd) {
    if (::lseek(fd, 0, SEEK_CUR) <= 0) return ""; // mostly nothing, under --quiet
    std::string text = readFromStart(fd);
    if (::ftruncate(fd, 0) == 0) ::lseek(fd, 0, SEEK_SET);
    return text;
}

// Whether a worker ends after the input: it failed, or HDF5 or libnetcdf read a file of it. The
// worker and its parent decide alike, so that the parent knows the inputs it handed on unstarted.
bool retiresWorker(bool failed, bool readThroughLibrary) {
    return failed || readThroughLibrary;
}

// In a worker: one input's work, and then its record; false when the worker is to end.
bool convertInput(BasicConverterDefs& converter, const std::string& input, const InputWork& work) {
    SharedState->Phase = static_cast<char>(Phase::Converting);
    SharedState->ReadThroughLibrary = false;
    SharedState->File[0] = SharedState->LostSubject[0] = '\0';
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
    std::string record;
    for (std::size_t i = before; i < converter.ErrorMessages.size(); ++i)
        add(record, Entry::Error, converter.ErrorMessages[i]);
    for (const std::string& text : carried)
        add(record, Entry::Carry, text);
    std::fflush(nullptr);
    add(record, Entry::Out, takeCaptured(STDOUT_FILENO));
    add(record, Entry::ErrOut, takeCaptured(STDERR_FILENO));
    if (SharedState->ReadThroughLibrary) add(record, Entry::Library, "");
    add(record, Entry::Done, "");
    writeAll(ChildChannel, record);
    return !retiresWorker(converter.ErrorMessages.size() != before,
                          SharedState->ReadThroughLibrary);
}

// The inputs the parent hands over, read as many at a time as it has sent: a read costs more
// than a small conversion's share of a run on some machines.
class Assignments {
public:
    explicit Assignments(int channel) : Channel(channel) {}

    bool next(std::uint32_t& index) {
        while (Have - Taken < sizeof index) {
            std::memmove(Bytes, Bytes + Taken, Have - Taken);
            Have -= Taken;
            Taken = 0;
            const ssize_t count = ::read(Channel, Bytes + Have, sizeof Bytes - Have);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            Have += static_cast<std::size_t>(count);
        }
        std::memcpy(&index, Bytes + Taken, sizeof index);
        Taken += sizeof index;
        return true;
    }

private:
    int Channel;
    char Bytes[1024];
    std::size_t Have = 0;
    std::size_t Taken = 0;
};

// Runs in a worker process: the work for each input the parent names, under the limits, with the
// streams captured; ends when the parent says no more, without destructors or exit handlers,
// which belong to the parent.
[[noreturn]] void serveInputs(BasicConverterDefs& converter, const std::vector<std::string>& inputs,
                              const InputWork& work, int channel, int out, int err,
                              WorkerState* state) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM); // a save under way removes its temporary file
    limitMemory();
    ::dup2(out, STDOUT_FILENO);
    if (TerminalError >= 0) TerminalError = ::dup(STDERR_FILENO);
    ::dup2(err, STDERR_FILENO);
    ChildChannel = channel;
    SharedState = state;
    Assignments assignments(channel);
    std::uint32_t index = 0;
    while (assignments.next(index) && convertInput(converter, inputs[index], work)) {
    }
    ::_exit(0);
}

// A worker process as the parent sees it: one input at a time, the inputs of a run in turn, so
// that a process's start is paid once and not per input. Inputs are handed over ahead, as many as
// it converts while its parent pauses to gather results, so that it never waits for its parent
// between inputs and small inputs cost no wake-up each. A worker ends after an input that failed
// or that HDF5 or libnetcdf read, so that what a library leaves behind (memory it corrupted
// without a word, a file it left open) never meets the next input; what it was handed beyond that
// input it never started, and another worker takes.
class Worker {
public:
    Worker(BasicConverterDefs& converter, const std::vector<std::string>& inputs,
           const InputWork& work) {
        int channel[2] = {-1, -1};
        Out = ::memfd_create("convlib-stdout", MFD_CLOEXEC);
        Err = ::memfd_create("convlib-stderr", MFD_CLOEXEC);
        void* shared = ::mmap(nullptr, sizeof(WorkerState), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        State = shared == MAP_FAILED ? nullptr : static_cast<WorkerState*>(shared);
        if (Out < 0 || Err < 0 || !State ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
            Failure = std::strerror(errno);
            return;
        }
        std::fflush(nullptr); // what is buffered is the parent's to write, once
        Pid = ::fork();
        if (Pid == 0) {
            ::close(channel[0]);
            serveInputs(converter, inputs, work, channel[1], Out, Err, State);
        }
        ::close(channel[1]);
        if (Pid < 0) {
            Failure = std::strerror(errno);
            ::close(channel[0]);
            return;
        }
        Channel = channel[0];
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        retire();
        while (Channel >= 0 && Pid > 0 && ::waitpid(Pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        for (int fd : {Channel, Out, Err})
            if (fd >= 0) ::close(fd);
        if (State) ::munmap(State, sizeof(WorkerState));
    }

    const std::string& failure() const { return Failure; }
    bool alive() const { return Channel >= 0; }
    bool busy() const { return !Queue.empty(); }
    bool wantsMore() const { return alive() && !Retired && Queue.size() < 1 + handedAhead(); }
    bool used() const { return Used; }
    int channel() const { return Channel; }
    Clock::time_point deadline() const { return busy() ? Deadline : Clock::time_point::max(); }

    // Hands the input over with the next flush().
    void assign(std::size_t index) {
        Used = true;
        Queue.push_back(index);
        if (Queue.size() == 1) startClock();
        const auto command = static_cast<std::uint32_t>(index);
        Outgoing.append(reinterpret_cast<const char*>(&command), sizeof command);
    }

    void flush() {
        if (Outgoing.empty() || Channel < 0) return;
        if (::send(Channel, Outgoing.data(), Outgoing.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(Outgoing.size()))
            ::kill(Pid, SIGKILL); // its end shows as its death, read below
        Outgoing.clear();
    }

    // No more inputs: the worker ends once it has read all it was given.
    void retire() {
        if (Retired || Channel < 0) return;
        Retired = true;
        flush();
        ::shutdown(Channel, SHUT_WR);
    }

    // Reads what the worker sent; a finished input's result, or the result of the input it died
    // on, goes into its slot. True when some input finished.
    bool readSome(std::vector<std::optional<ChildResult>>& results) {
        const std::size_t before = Finished;
        char buffer[65536];
        const ssize_t count = ::read(Channel, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) return false;
        if (count > 0) {
            Record.append(buffer, static_cast<std::size_t>(count));
            while (busy() && takeEntry(Record, Current))
                if (Current.Done) finish(results);
            return Finished != before;
        }
        ::close(Channel);
        Channel = -1;
        while (::waitpid(Pid, &Current.Status, 0) < 0 && errno == EINTR) {
        }
        if (!busy()) return Finished != before;
        Current.Out = readFromStart(Out);
        Current.Err = readFromStart(Err);
        finish(results);
        return true;
    }

    // Past its time limit the input is ended with its worker; the closed channel tells the rest.
    void endIfLate(Clock::time_point now) {
        if (!busy() || now < Deadline || Current.TimedOut) return;
        ::kill(Pid, SIGKILL);
        Current.TimedOut = true;
    }

    // The inputs it was handed and will never start, for another worker.
    void takeUnstarted(std::deque<std::size_t>& into) {
        into.insert(into.end(), Unstarted.begin(), Unstarted.end());
        Unstarted.clear();
    }

private:
    static constexpr std::size_t MostHandedAhead = 64;

    // Enough to last two of the parent's pauses at the pace of the inputs finished so far,
    // counted from the first one, which bore the worker's start.
    std::size_t handedAhead() const {
        if (Finished < 2) return 1;
        const Clock::duration each =
            (Clock::now() - FirstFinished) / static_cast<long>(Finished - 1);
        const auto needed =
            static_cast<std::size_t>(std::chrono::duration_cast<Clock::duration>(ResultPause) /
                                     std::max(each, Clock::duration(1)));
        return std::clamp<std::size_t>(2 * needed + 1, 1, MostHandedAhead);
    }

    void startClock() {
        Deadline =
            ProcessContainment.Seconds > 0
                ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(ProcessContainment.Seconds))
                : Clock::time_point::max();
    }

    void finish(std::vector<std::optional<ChildResult>>& results) {
        const std::size_t index = Queue.front();
        Queue.pop_front();
        if (!Current.Done) { // the shared state is the dead worker's last word
            Current.LastPhase = State->Phase;
            Current.PhaseFile = State->File;
            Current.LostSubject = State->LostSubject;
            Current.ReadThroughLibrary = State->ReadThroughLibrary;
        }
        // a library's faults can corrupt memory silently: a new process takes the next input
        if (!Current.Done || retiresWorker(!Current.Errors.empty(), Current.ReadThroughLibrary)) {
            retire();
            Unstarted.insert(Unstarted.end(), Queue.begin(), Queue.end());
            Queue.clear();
        }
        results[index] = std::move(Current);
        Current = ChildResult();
        if (++Finished == 1) FirstFinished = Clock::now();
        if (busy()) startClock(); // the worker went on with the next at once
    }

    pid_t Pid = -1;
    int Channel = -1;
    int Out = -1;
    int Err = -1;
    std::string Failure;
    bool Used = false;
    bool Retired = false;
    Clock::time_point FirstFinished;
    std::size_t Finished = 0;
    std::string Outgoing;               // inputs assigned since the last flush
    std::deque<std::size_t> Queue;      // handed over, the first one under way
    std::vector<std::size_t> Unstarted; // handed over to a worker that ended first
    Clock::time_point Deadline = Clock::time_point::max();
    std::string Record;
    ChildResult Current;
    WorkerState* State = nullptr;
};

// Waits until some worker sends something, ends or passes its deadline; true when some input
// finished.
bool waitForWorkers(std::vector<std::unique_ptr<Worker>>& workers,
                    std::vector<std::optional<ChildResult>>& results) {
    std::vector<pollfd> waiting;
    Clock::time_point nearest = Clock::time_point::max();
    for (const auto& worker : workers) {
        waiting.push_back({worker->channel(), POLLIN, 0});
        nearest = std::min(nearest, worker->deadline());
    }
    int timeout = -1;
    if (nearest != Clock::time_point::max()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 60 * 1000));
    }
    const int ready = ::poll(waiting.data(), waiting.size(), timeout);
    const Clock::time_point now = Clock::now();
    bool finished = false;
    for (std::size_t i = 0; i < workers.size(); ++i) {
        if (ready > 0 && waiting[i].revents != 0)
            finished = workers[i]->readSome(results) || finished;
        if (workers[i]->alive()) workers[i]->endIfLate(now);
    }
    return finished;
}

// Converts the inputs on up to `jobs` workers and hands each result over in input order.
void runInputs(BasicConverterDefs& converter, const std::list<std::string>& files, int jobs,
               const InputWork& work, const std::function<void(const std::string&)>& started,
               const std::function<void(const std::string&, ChildResult&)>& finished) {
    const std::vector<std::string> inputs(files.begin(), files.end());
    std::vector<std::optional<ChildResult>> results(inputs.size());
    std::vector<std::unique_ptr<Worker>> workers;
    const auto most = static_cast<std::size_t>(std::max(jobs, 1));
    std::size_t next = 0;
    std::deque<std::size_t> again; // handed to a worker that ended before it
    std::vector<bool> announced(inputs.size(), false);
    const auto pending = [&]() -> std::optional<std::size_t> {
        if (!again.empty()) return again.front();
        if (next < inputs.size()) return next;
        return std::nullopt;
    };
    const auto take = [&] {
        const std::size_t index = again.empty() ? next++ : again.front();
        if (!again.empty()) again.pop_front();
        if (!announced[index]) started(inputs[index]);
        announced[index] = true;
        return index;
    };
    bool delivered = false; // by the last wait
    for (std::size_t reported = 0; reported < inputs.size();) {
        workers.erase(std::remove_if(workers.begin(), workers.end(),
                                     [](const auto& worker) { return !worker->alive(); }),
                      workers.end());
        for (auto& worker : workers) {
            while (pending() && worker->wantsMore()) {
                // what HDF5 or libnetcdf reads starts in a new process, so its outcome is always
                // alike
                if (worker->used() && readsThroughLibrary(inputs[*pending()])) {
                    worker->retire();
                    break;
                }
                worker->assign(take());
            }
            // with nothing left to hand out, a worker ends as soon as it is through
            if (!pending())
                worker->retire();
            else
                worker->flush();
        }
        while (pending() && workers.size() < most) {
            auto worker = std::make_unique<Worker>(converter, inputs, work);
            const std::size_t index = take();
            if (!worker->failure().empty()) {
                results[index] = ChildResult();
                results[index]->StartFailure = worker->failure();
                continue;
            }
            worker->assign(index);
            worker->flush();
            workers.push_back(std::move(worker));
        }
        if (std::any_of(workers.begin(), workers.end(), [](const auto& worker) {
                return worker->busy() || !worker->wantsMore();
            })) {
            if (delivered) std::this_thread::sleep_for(ResultPause);
            delivered = waitForWorkers(workers, results);
        }
        for (auto& worker : workers)
            worker->takeUnstarted(again);
        for (; reported < inputs.size() && results[reported]; ++reported) {
            finished(inputs[reported], *results[reported]);
            results[reported].reset();
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
    if (!readsThroughLibrary(file)) return "the reader";
    return Plexa::isBindableFormat(file) ? "the HDF5 library" : "the netCDF library";
}

// How a child ended that never finished: its signal, or the status some library exited with.
std::string endCause(int status) {
    if (!WIFSIGNALED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    return lowercase(strsignal(signal)) +
           (signal == SIGKILL ? ", e.g. by the system for want of memory" : "");
}

// A library that finds no memory left often crashes instead of saying so: under a limit the user
// set, a crash may be the limit's doing, not the file's.
std::string crashWhileReading(const std::string& file, const std::string& cause) {
    if (ProcessContainment.MebiBytes == 0)
        return file + ": damaged: " + readingLibrary(file) + " crashed reading it" + cause;
    return file + ": " + readingLibrary(file) + " crashed reading it" + cause +
           ": the file is damaged, or reading it " + memoryLimitText();
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
        return crashWhileReading(result.PhaseFile, cause);
    case Phase::Writing:
        return input + ": the conversion crashed writing " + result.PhaseFile + cause;
    case Phase::Converting:
        break;
    }
    return input + ": the conversion crashed" + cause;
}

// What the child wrote, and for an input it died on, the input's line it never printed.
void replayStreams(const std::string& input, const ChildResult& result) {
    std::fwrite(result.Err.data(), 1, result.Err.size(), stderr);
    std::fflush(stderr);
    std::fwrite(result.Out.data(), 1, result.Out.size(), stdout);
    std::fflush(stdout);
    if (!result.Done)
        reportInput(result.LostSubject.empty() ? input : result.LostSubject, {}, NotConverted);
}

// The child's messages, and the cause of its death when it died, into the run's error list.
void takeMessages(BasicConverterDefs& converter, const std::string& input,
                  const ChildResult& result) {
    std::vector<std::string>& messages = converter.ErrorMessages;
    messages.insert(messages.end(), result.Errors.begin(), result.Errors.end());
    const std::string death = abnormalEnd(input, result);
    if (!death.empty()) messages.push_back(death);
}

} // namespace

int terminalError() {
    return TerminalError;
}

void enterPhase(Phase phase, const std::string& file) {
    if (!SharedState) return;
    SharedState->Phase = static_cast<char>(phase);
    copyTruncated(SharedState->File, file);
    if (phase == Phase::Reading && readsThroughLibrary(file))
        SharedState->ReadThroughLibrary = true;
}

bool loadSurvives(BasicConverterDefs& converter, const std::string& file,
                  BasicConverterDefs::myReadType type, const Plexa::ReadOptions& options) {
    return readSurvives(converter, file, [&] {
        const bool loaded = loadSingleInput(converter, file, type, options);
        discardBundle(converter);
        return loaded;
    });
}

} // namespace detail

bool readSurvives(BasicConverterDefs& converter, const std::string& file,
                  const std::function<bool()>& read) {
    using namespace detail;
    if (ChildChannel >= 0 || ProcessContainment.InProcess) return true;
    const InputWork work = [&](const std::string& input, Carried& carried) {
        enterPhase(Phase::Reading, input);
        if (read()) carried.push_back(input);
        enterPhase(Phase::Converting);
    };
    bool survived = false;
    runInputs(
        converter, {file}, 1, work, [](const std::string&) {},
        [&](const std::string& input, ChildResult& result) {
            survived = abnormalEnd(input, result).empty() && !result.Carry.empty();
            // the parent reads a good file again and says what it says about it then
            if (survived) return;
            replayStreams(input, result);
            takeMessages(converter, input, result);
        });
    return survived;
}

void reportIfLost(const std::string& subject) {
    if (detail::SharedState) detail::copyTruncated(detail::SharedState->LostSubject, subject);
}

void setContainment(const Containment& containment) {
    detail::ProcessContainment = containment;
}

Containment containment() {
    return detail::ProcessContainment;
}

void addJobsOption(CLI::App& app, int& jobs) {
    app.add_option("-j,--jobs", jobs,
                   "Convert this many inputs at a time, in worker processes; the "
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
    detail::runInputs(
        converter, files, jobs, work,
        [&progress](const std::string& input) { progress.step(input); },
        [&](const std::string& input, detail::ChildResult& result) {
            detail::replayStreams(input, result);
            detail::takeMessages(converter, input, result);
            if (collect) collect(result.Carry);
        });
}

} // namespace ConvLib::Tools
