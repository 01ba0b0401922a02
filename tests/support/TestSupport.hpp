// Helpers shared by the tests: temporary folders and captured console output.
#pragma once

#include <functional>
#include <string>

namespace ConvLibTest {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const noexcept { return Path; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return Path + "/" + name; }
    // Writes a file below the folder, making its parent folders; returns its full name.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string Path;
};

// What the action wrote to standard output (file descriptor 1, so C stdio counts too).
std::string captureStdout(const std::function<void()>& action);
std::string captureStderr(const std::function<void()>& action);

std::string readFile(const std::string& name);

} // namespace ConvLibTest
