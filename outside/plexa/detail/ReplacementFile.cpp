#include "outside/plexa/detail/ReplacementFile.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <signal.h>
#include <stdexcept>
#include <unistd.h>

namespace Plexa::detail {

namespace {

Failure systemError(const std::string& what, const std::string& name) {
    return Failure(what + " " + name + ": " + std::strerror(errno));
}

void syncPath(const std::string& name, int flags) {
    int descriptor = ::open(name.c_str(), flags);
    if (descriptor < 0) throw systemError("cannot open", name);
    int status = ::fsync(descriptor);
    int error = errno;
    ::close(descriptor);
    errno = error;
    if (status != 0) throw systemError("cannot sync", name);
}

// Names the machine, so that a folder shared between machines keeps other machines' temporaries.
std::string hostSuffix() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return std::string("@") + host + ".tmp";
}

// "<pid>-<seed>-<counter>": the process that writes, and a number unique within it.
std::string uniqueMiddle() {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    return std::to_string(::getpid()) + "-" + std::to_string(seed) + "-" +
           std::to_string(counter++);
}

// The writing process named in the middle of a temporary file name, when it has the shape
// uniqueMiddle gives it.
std::optional<pid_t> writerOf(const std::string& middle) {
    static const std::regex shape("([0-9]{1,9})-[0-9]+-[0-9]+");
    std::smatch match;
    if (!std::regex_match(middle, match, shape)) return std::nullopt;
    return static_cast<pid_t>(std::stol(match[1].str()));
}

// A process has ended when it is gone, or when it is a zombie that nobody has reaped yet (killed
// workers of a killed program wait for init, which may take its time).
bool hasEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) return errno == ESRCH;
    std::ifstream status("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(status, line);
    const std::string::size_type name = line.rfind(')'); // the state follows the name
    return name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'Z';
}

// Once per folder and process: saves of a running process leave nothing behind, so what killed
// saves left is all there by the first save, and a batch writing many files into one folder
// reads that folder once, not once per file.
bool firstSaveInto(const std::string& folder) {
    static std::mutex guard;
    static std::set<std::string> cleaned;
    std::lock_guard<std::mutex> lock(guard);
    return cleaned.insert(folder).second;
}

// Removes ".<file>.<pid>-<n>-<n><suffix>" files of the folder whose process has ended.
void removeStaleTemporaries(const std::string& folder, const std::string& suffix) {
    std::error_code error; // cleaning up is a courtesy: the save goes on without it
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() <= suffix.size() || name.front() != '.' ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string rest = name.substr(0, name.size() - suffix.size());
        const std::string::size_type dot = rest.rfind('.');
        if (dot == 0) continue; // ".<file>." must come before the writer's part
        const std::optional<pid_t> writer = writerOf(rest.substr(dot + 1));
        std::error_code ignored;
        if (writer && hasEnded(*writer)) std::filesystem::remove(entry->path(), ignored);
    }
}

// The temporary files of saves under way, for the signal handler: fixed slots of plain bytes,
// claimed and freed through an atomic state, so the handler reads them without locks or memory.
struct TemporarySlot {
    enum State : int { Free, Filling, Held };
    std::atomic<int> state{Free};
    char path[4096];
};
TemporarySlot temporarySlots[64];

void removeTemporariesAndReraise(int signal) {
    for (TemporarySlot& slot : temporarySlots)
        if (slot.state.load() == TemporarySlot::Held) ::unlink(slot.path);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Ctrl-C and a polite kill end the process through the default action, after the handler removed
// the temporaries; a handler the host program installed itself stays in charge.
void catchInterruptions() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int signal : {SIGINT, SIGTERM}) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
                continue;
            struct sigaction handler {};
            handler.sa_handler = removeTemporariesAndReraise;
            sigemptyset(&handler.sa_mask);
            ::sigaction(signal, &handler, nullptr);
        }
    });
}

// The slot that now names the path, or -1 when all are taken or the path is too long; such a
// temporary is left for the next save's clean-up.
int holdTemporary(const std::string& path) {
    catchInterruptions();
    if (path.size() >= sizeof(TemporarySlot::path)) return -1;
    for (int i = 0; i < static_cast<int>(std::size(temporarySlots)); ++i) {
        TemporarySlot& slot = temporarySlots[i];
        int expected = TemporarySlot::Free;
        if (!slot.state.compare_exchange_strong(expected, TemporarySlot::Filling)) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.state.store(TemporarySlot::Held);
        return i;
    }
    return -1;
}

void releaseTemporary(int slot) {
    if (slot >= 0) temporarySlots[slot].state.store(TemporarySlot::Free);
}

} // namespace

ReplacementFile::ReplacementFile(const std::string& target) : Target(target) {
    std::filesystem::path path(target);
    if (!path.has_filename()) throw Failure("not a file name");
    Folder = path.has_parent_path() ? path.parent_path().string() : ".";
    std::error_code error;
    if (!std::filesystem::is_directory(Folder, error))
        throw Failure("folder " + Folder + " does not exist");
    const std::string prefix = "." + path.filename().string() + ".";
    const std::string suffix = hostSuffix();
    if (firstSaveInto(Folder)) removeStaleTemporaries(Folder, suffix);
    Temporary = (std::filesystem::path(Folder) / (prefix + uniqueMiddle() + suffix)).string();
    Slot = holdTemporary(Temporary);
}

ReplacementFile::~ReplacementFile() {
    if (!Committed) std::remove(Temporary.c_str());
    releaseTemporary(Slot);
}

void ReplacementFile::commit() {
    syncPath(Temporary, O_RDONLY);
    if (std::rename(Temporary.c_str(), Target.c_str()) != 0)
        throw systemError("cannot rename " + Temporary + " to", Target);
    Committed = true;
    syncPath(Folder, O_RDONLY | O_DIRECTORY);
}

} // namespace Plexa::detail
