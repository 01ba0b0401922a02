#include "outside/plexa/detail/ReplacementFile.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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

std::runtime_error systemError(const std::string& what, const std::string& name) {
    return std::runtime_error(what + " " + name + ": " + std::strerror(errno));
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

bool hasEnded(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
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

} // namespace

ReplacementFile::ReplacementFile(const std::string& target) : Target(target) {
    std::filesystem::path path(target);
    if (!path.has_filename()) throw std::runtime_error("not a file name");
    Folder = path.has_parent_path() ? path.parent_path().string() : ".";
    std::error_code error;
    if (!std::filesystem::is_directory(Folder, error))
        throw std::runtime_error("folder " + Folder + " does not exist");
    const std::string prefix = "." + path.filename().string() + ".";
    const std::string suffix = hostSuffix();
    if (firstSaveInto(Folder)) removeStaleTemporaries(Folder, suffix);
    Temporary = (std::filesystem::path(Folder) / (prefix + uniqueMiddle() + suffix)).string();
}

ReplacementFile::~ReplacementFile() {
    if (!Committed) std::remove(Temporary.c_str());
}

void ReplacementFile::commit() {
    syncPath(Temporary, O_RDONLY);
    if (std::rename(Temporary.c_str(), Target.c_str()) != 0)
        throw systemError("cannot rename " + Temporary + " to", Target);
    Committed = true;
    syncPath(Folder, O_RDONLY | O_DIRECTORY);
}

} // namespace Plexa::detail
