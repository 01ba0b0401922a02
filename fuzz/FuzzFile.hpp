// Scratch files and checks shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace ConvLibFuzz {

// A folder in RAM for this process, removed at exit; the loaders take file names.
class ScratchFolder {
public:
    ScratchFolder() : Path(chosenPath()) { std::filesystem::create_directories(Path); }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    const std::string Path;

private:
    // The fuzz script names the folder, so it can remove it after a crash too.
    static std::string chosenPath() {
        const char* chosen = std::getenv("CONVLIB_FUZZ_SCRATCH");
        return chosen ? chosen : "/dev/shm/convlib-fuzz-" + std::to_string(::getpid());
    }
};

inline const std::string& scratchFolder() {
    static const ScratchFolder folder;
    return folder.Path;
}

inline std::string writeInput(const std::string& fileName, const std::uint8_t* data,
                              std::size_t size) {
    const std::string path = scratchFolder() + "/" + fileName;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
    return path;
}

// Stops the fuzzer with a finding when an invariant breaks.
inline void require(bool condition, const char* what, const std::string& detail = "") {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// Messages end up on terminals: no escape sequences or line breaks from the input.
inline bool printable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

} // namespace ConvLibFuzz
