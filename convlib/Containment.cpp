#include "convlib/Containment.hpp"

#include "convlib/Numbers.hpp"
#include "convlib/WorkerProcess.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <sys/mman.h>
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
        } else {
            takeDeath(results);
        }
        return Finished != before;
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
            static_cast<std::size_t>(ResultPause / std::max(each, Clock::duration(1)));
        return std::clamp<std::size_t>(2 * needed + 1, 1, MostHandedAhead);
    }

    // The worker's channel closed: the input it was on, if any, ends with the worker.
    void takeDeath(std::vector<std::optional<ChildResult>>& results) {
        ::close(Channel);
        Channel = -1;
        while (::waitpid(Pid, &Current.Status, 0) < 0 && errno == EINTR) {
        }
        if (!busy()) return;
        Current.Out = readFromStart(Out);
        Current.Err = readFromStart(Err);
        finish(results);
    }

    void startClock() {
        Deadline =
            processContainment().Seconds > 0
                ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(processContainment().Seconds))
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
    if (processContainment().MebiBytes == 0)
        return file + ": damaged: " + readingLibrary(file) + " crashed reading it" + cause;
    return file + ": " + readingLibrary(file) + " crashed reading it" + cause +
           ": the file is damaged, or reading it " + memoryLimitText();
}

// Why a child ended without finishing its input, in words; empty when it finished.
std::string abnormalEnd(const std::string& input, const ChildResult& result) {
    if (!result.StartFailure.empty())
        return input + ": no process could be started for it: " + result.StartFailure;
    if (result.TimedOut)
        return input + ": ended at the time limit of " +
               formatNumber(processContainment().Seconds) + " s per input (--time-limit)";
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
    if (inWorker() || processContainment().InProcess) return true;
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

void addJobsOption(CLI::App& app, int& jobs) {
    app.add_option("-j,--jobs", jobs,
                   "Convert this many inputs at a time, in worker processes; the "
                   "outputs, lines and messages are those of one at a time")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
}

void convertEachInput(BasicConverterDefs& converter, int jobs, const InputWork& work,
                      const std::function<void(const Carried&)>& collect) {
    if (detail::processContainment().InProcess) {
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
