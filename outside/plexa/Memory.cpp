#include "outside/plexa/detail/Memory.hpp"

#include "outside/Plexa.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

namespace Plexa {

namespace {

// A "<key>: <n> kB" line of a /proc file in bytes; none when the key is missing.
std::uint64_t kibibyteLine(const char* file, const std::string& key) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            std::istringstream numbers(line.substr(key.size() + 1));
            std::uint64_t kibibytes = 0;
            if (numbers >> kibibytes) return kibibytes * 1024;
        }
    return std::numeric_limits<std::uint64_t>::max();
}

// The room a data segment limit (the workers' --memory-limit) leaves beside what is written to.
std::uint64_t dataSegmentLeft() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_DATA, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t used = kibibyteLine("/proc/self/status", "VmData");
    const auto allowed = static_cast<std::uint64_t>(limit.rlim_cur);
    return used < allowed ? allowed - used : 0;
}

} // namespace

std::uint64_t availableMemory() {
    return std::min(kibibyteLine("/proc/meminfo", "MemAvailable"), dataSegmentLeft());
}

namespace detail {

std::string memoryText(std::uint64_t bytes) {
    const char* units[] = {"KiB", "MiB", "GiB"};
    double amount = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    for (; unit + 1 < std::size(units) && amount >= 1024; ++unit)
        amount /= 1024;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", amount, units[unit]);
    return text;
}

std::size_t elementSizeOf(const std::type_info& type) {
    std::size_t size = 0;
    visitElementType(type, [&size](auto sample) { size = sizeof sample; });
    return size;
}

void refuseBeyondMemory(std::uint64_t bytes, std::uint64_t points) {
    const std::uint64_t available = availableMemory();
    if (bytes <= available) return;
    throw std::runtime_error("needs " + memoryText(bytes) + " for " + std::to_string(points) +
                             " points; " + memoryText(available) +
                             " available, so the file is refused before reading it");
}

} // namespace detail

} // namespace Plexa
