// Helpers shared by the tests: temporary folders, captured output, programs and a bare converter.
#pragma once

#include "convlib/BasicConverterDefs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ConvLibTest {

using Names = std::vector<std::string>;

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
// The names of the entries of a folder, to see that nothing was left behind.
std::set<std::string> namesIn(const std::string& folder);

struct RunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs a program with arguments in a folder (empty: the current one), capturing both streams.
RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& folder = "");

// Sets an environment variable for as long as it lives (null: unsets it).
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value);
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable();

private:
    std::string Name;
    std::optional<std::string> Previous;
};

// Collects the release protocol's reports, from any thread, for as long as it lives.
class SpeakRecorder {
public:
    SpeakRecorder();
    SpeakRecorder(const SpeakRecorder&) = delete;
    SpeakRecorder& operator=(const SpeakRecorder&) = delete;
    ~SpeakRecorder();

    void record(const Quorix::SpeakPtr::Report& report);
    std::vector<Quorix::SpeakPtr::Report> reports() const;
    std::size_t count(Quorix::SpeakPtr::Kind kind) const;

private:
    mutable std::mutex Mutex;
    std::vector<Quorix::SpeakPtr::Report> Reports;
    Quorix::SpeakPtr::Handler Previous;
};

// The smallest concrete converter: the base's behaviour and nothing else.
struct TestConverter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

// Runs each test inside a fresh folder, so input names are relative as users give them.
class InFreshFolder : public testing::Test {
protected:
    InFreshFolder() { std::filesystem::current_path(Folder.path()); }
    ~InFreshFolder() override {
        std::error_code ignored;
        std::filesystem::current_path(Previous, ignored);
    }

    TempDir Folder;
    std::filesystem::path Previous = std::filesystem::current_path();
};

} // namespace ConvLibTest
