#include "outside/detail/ReplacementFile.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
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

std::string uniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    return "." + std::to_string(::getpid()) + "-" + std::to_string(seed) + "-" +
           std::to_string(counter++) + ".tmp";
}

} // namespace

ReplacementFile::ReplacementFile(const std::string& target) : Target(target) {
    std::filesystem::path path(target);
    if (!path.has_filename()) throw std::runtime_error("not a file name");
    Folder = path.has_parent_path() ? path.parent_path().string() : ".";
    std::error_code error;
    if (!std::filesystem::is_directory(Folder, error))
        throw std::runtime_error("folder " + Folder + " does not exist");
    Temporary = (std::filesystem::path(Folder) / ("." + path.filename().string() + uniqueSuffix()))
                    .string();
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
