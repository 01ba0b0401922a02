// A new version of a file, written beside it under a unique name and moved into place only when
// complete, so readers see the old file or the new one and never a half-written one. The name
// ".<file>.<pid>-<n>-<n>@<host>.tmp" tells which process wrote it, so the next process that saves
// into the folder removes what killed saves on this machine left behind. SIGINT and SIGTERM remove
// the temporary files of saves under way before the process ends (unless the program handles
// these signals itself).
#pragma once

#include <string>

namespace Plexa::detail {

class ReplacementFile {
public:
    // Throws a Failure when the target's folder does not exist.
    explicit ReplacementFile(const std::string& target);
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Removes the temporary file unless it was committed.
    ~ReplacementFile();

    // Where to write the new content; the writer creates it exclusively.
    const std::string& path() const noexcept { return Temporary; }
    // Makes the written file durable and puts it in place of the target; throws on failure.
    void commit();

private:
    std::string Target;
    std::string Folder;
    std::string Temporary;
    bool Committed = false;
    int Slot = -1; // where the signal handler finds the temporary's name
};

} // namespace Plexa::detail
