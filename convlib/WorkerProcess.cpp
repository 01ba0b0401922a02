#include "convlib/WorkerProcess.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ConvLib::Tools {

namespace detail {

namespace {

Containment ProcessContainment;
int ChildChannel = -1; // the socket to the parent, in a worker
// The parent's standard error when it is a terminal, which a worker's own one is not.
int TerminalError = ::isatty(STDERR_FILENO) == 1 ? STDERR_FILENO : -1;

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

// What the process wrote through the descriptor since it was last taken; it then starts anew.
std::string takeCaptured(int fd) {
    if (::lseek(fd, 0, SEEK_CUR) <= 0) return ""; // mostly nothing, under --quiet
    std::string text = readFromStart(fd);
    if (::ftruncate(fd, 0) == 0) ::lseek(fd, 0, SEEK_SET);
    return text;
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

} // namespace

Containment& processContainment() {
    return ProcessContainment;
}

bool inWorker() {
    return ChildChannel >= 0;
}

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

bool readsThroughLibrary(const std::string& file) {
    const Plexa::InputFormat* format = Plexa::formatOf(file);
    return format && format->Kind != Plexa::InputKind::PointCloud;
}

std::string memoryLimitText() {
    return "passed the memory limit of " + std::to_string(memoryLimitMebiBytes()) +
           " MiB per input (--memory-limit)";
}

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

bool retiresWorker(bool failed, bool readThroughLibrary) {
    return failed || readThroughLibrary;
}

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

} // namespace detail

void reportIfLost(const std::string& subject) {
    if (detail::SharedState) detail::copyTruncated(detail::SharedState->LostSubject, subject);
}

void setContainment(const Containment& containment) {
    detail::ProcessContainment = containment;
}

Containment containment() {
    return detail::ProcessContainment;
}

} // namespace ConvLib::Tools
