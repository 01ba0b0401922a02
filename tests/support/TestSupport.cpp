#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

namespace ConvLibTest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "convlib-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("cannot make a temporary folder");
    Path = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(Path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::filesystem::path file = std::filesystem::path(Path) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
}

namespace {

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

std::string capture(FILE* stream, void (*start)(), std::string (*finish)(),
                    const std::function<void()>& action) {
    std::fflush(stream);
    start();
    action();
    std::fflush(stream);
    return finish();
}

} // namespace

std::string captureStdout(const std::function<void()>& action) {
    return capture(stdout, testing::internal::CaptureStdout, testing::internal::GetCapturedStdout,
                   action);
}

std::string captureStderr(const std::function<void()>& action) {
    return capture(stderr, testing::internal::CaptureStderr, testing::internal::GetCapturedStderr,
                   action);
}

std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& folder) {
    TempDir streams;
    std::string command = folder.empty() ? "" : "cd " + quoted(folder) + " && ";
    command += quoted(program);
    for (const std::string& argument : arguments)
        command += " " + quoted(argument);
    command += " >" + quoted(streams / "out") + " 2>" + quoted(streams / "err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(streams / "out"),
            readFile(streams / "err")};
}

SpeakRecorder::SpeakRecorder()
    : Previous(Quorix::SpeakPtr::setHandler(
          [this](const Quorix::SpeakPtr::Report& report) { record(report); })) {}

SpeakRecorder::~SpeakRecorder() {
    Quorix::SpeakPtr::setHandler(Previous);
}

void SpeakRecorder::record(const Quorix::SpeakPtr::Report& report) {
    std::lock_guard<std::mutex> lock(Mutex);
    Reports.push_back(report);
}

std::vector<Quorix::SpeakPtr::Report> SpeakRecorder::reports() const {
    std::lock_guard<std::mutex> lock(Mutex);
    return Reports;
}

std::size_t SpeakRecorder::count(Quorix::SpeakPtr::Kind kind) const {
    std::lock_guard<std::mutex> lock(Mutex);
    return static_cast<std::size_t>(std::count_if(
        Reports.begin(), Reports.end(),
        [kind](const Quorix::SpeakPtr::Report& report) { return report.kind == kind; }));
}

ScopedVariable::ScopedVariable(const char* name, const char* value) : Name(name) {
    if (const char* previous = std::getenv(name)) Previous = previous;
    value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedVariable::~ScopedVariable() {
    Previous ? setenv(Name.c_str(), Previous->c_str(), 1) : unsetenv(Name.c_str());
}

} // namespace ConvLibTest
