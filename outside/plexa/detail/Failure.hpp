// The one way a failure travels inside Plexa, and the one place where it becomes words.
// Internal to Plexa.
#pragma once

#include <stdexcept>
#include <string>

namespace Plexa::detail {

// A file that cannot be read or written as asked: the readers, the writer and the HDF5 wrapper
// throw it with the cause in words; the load, bind or save at hand names the file.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& cause) : std::runtime_error(cause) {}
};

// What a failed load, bind or save answers: the file and the cause, printable.
struct FailureText {
    std::string File;
    std::string Cause;

    // "<file>: <cause>", or the cause alone when no file is named.
    std::string message() const { return File.empty() ? Cause : File + ": " + Cause; }
};

// The cause in words of whatever was thrown: a failure's own, or the standard library's.
std::string causeOf(const std::exception& thrown);

// Runs `action` on `file`; false, with the file and the printable cause, when it throws anything:
// load, bind, save and describeFile catch here and nowhere else.
template <class Action>
bool attempt(const std::string& file, FailureText& failure, Action&& action) noexcept {
    try {
        action();
        return true;
    } catch (const std::exception& thrown) {
        failure = {file, causeOf(thrown)};
    } catch (...) {
        failure = {file, "a storage policy or hook failed without saying why"};
    }
    return false;
}

} // namespace Plexa::detail
