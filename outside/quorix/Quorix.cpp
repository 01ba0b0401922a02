#include "outside/Quorix.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <glob.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Quorix {

std::atomic<std::uint64_t> PointerID{1};
std::atomic<std::uint64_t> Ageable::GlobalTime{0};
std::atomic<std::int64_t> ChunkBase::TotalMemsize{0};

namespace detail {

void dropWeak(ControlRecord* record) noexcept {
    // acq_rel: the last one out sees every other pointer's use of the record before freeing it
    if (record->weak.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record;
}

} // namespace detail

// ---------------------------------------------------------------------------------------------

namespace {

std::mutex& speakMutex() {
    static std::mutex mutex;
    return mutex;
}

SpeakPtr::Handler& speakHandler() {
    static SpeakPtr::Handler handler;
    return handler;
}

} // namespace

SpeakPtr::Handler SpeakPtr::setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(speakMutex());
    return std::exchange(speakHandler(), std::move(handler));
}

const char* SpeakPtr::name(Kind kind) noexcept {
    switch (kind) {
    case WarningUnctionChange:
        return "WarningUnctionChange";
    case DynPtrInvalid:
        return "DynPtrInvalid";
    case DestructionCancelled:
        return "DestructionCancelled";
    }
    return "Unknown";
}

void SpeakPtr::speak(Kind kind, std::int32_t strong, std::int32_t weak,
                     const std::type_info& base) noexcept {
    try {
        std::lock_guard<std::mutex> lock(speakMutex());
        if (speakHandler()) {
            speakHandler()(Report{kind, strong, weak, &base});
            return;
        }
        std::fprintf(stderr, "Quorix::SpeakPtr::%s: strong count %d, weak count %d, type %s\n",
                     name(kind), static_cast<int>(strong), static_cast<int>(weak), base.name());
    } catch (...) {
        // a report must never take down the release that triggered it
    }
}

// ---------------------------------------------------------------------------------------------

Referenced::Referenced() : Serial(PointerID++), Record(new detail::ControlRecord(this)) {}

Referenced::Referenced(const Referenced&) : Referenced() {}

Referenced::~Referenced() {
    Record->object.store(nullptr, std::memory_order_release);
    detail::dropWeak(Record);
}

bool StringList::contains(const std::string& name) const {
    for (const std::string& entry : *this)
        if (entry == name) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------

Folder::~Folder() = default;

namespace {

bool isFolder(const std::string& name) {
    struct stat status;
    return ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Names in one buffer, each ended by '\0', delivered in byte order: sorting a folder's names
// here, without the text in front of them, costs less than any later sort of whole paths. Each
// name sorts by its first eight bytes as one number, and by its text only when those are equal.
class SortedNames {
public:
    void add(const char* name) {
        const std::size_t length = std::strlen(name);
        std::uint64_t key = 0;
        for (std::size_t i = 0; i < KeyBytes; ++i)
            key = key << 8 | (i < length ? static_cast<unsigned char>(name[i]) : 0u);
        Names.push_back({key, Text.size()});
        Text.append(name, length + 1);
    }
    // Hands each name to `deliver` in byte order until it answers false; the count handed.
    template <class Deliver> std::size_t deliver(Deliver deliver) {
        const char* text = Text.data();
        std::sort(Names.begin(), Names.end(), [text](const Name& a, const Name& b) {
            return a.Key != b.Key ? a.Key < b.Key : std::strcmp(text + a.Start, text + b.Start) < 0;
        });
        std::size_t delivered = 0;
        for (const Name& name : Names) {
            ++delivered;
            if (!deliver(text + name.Start)) break;
        }
        return delivered;
    }

private:
    static constexpr std::size_t KeyBytes = sizeof(std::uint64_t);
    struct Name {
        std::uint64_t Key;
        std::size_t Start;
    };
    std::string Text;
    std::vector<Name> Names;
};

// The names in a folder that `keep` accepts.
template <class Keep> SortedNames namesIn(const std::string& name, Keep keep) {
    SortedNames names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(name.c_str()), ::closedir);
    if (dir)
        while (const dirent* entry = ::readdir(dir.get()))
            if (keep(entry->d_name)) names.add(entry->d_name);
    return names;
}

std::size_t scanFolder(Folder& folder, const std::string& name) {
    // hidden entries stay hidden, as a pattern's '*' leaves them out: among them are the
    // temporary files of saves under way or killed
    SortedNames entries = namesIn(name, [](const char* entry) { return entry[0] != '.'; });
    std::string relative; // entries are named relative to the text up to the last '/'
    std::string::size_type slash = name.rfind('/');
    if (slash == std::string::npos || slash + 1 != name.size())
        relative = name.substr(slash == std::string::npos ? 0 : slash + 1) + "/";
    const std::size_t kept = relative.size(); // one buffer for all entries' names
    return entries.deliver([&](const char* entry) {
        relative.resize(kept);
        return folder.entryFound(relative.append(entry).c_str());
    });
}

// Matches through glob, for wildcards or escapes before the last '/'.
SortedNames globMatches(const std::string& name, std::size_t cut) {
    SortedNames found;
    glob_t matches{};
    std::unique_ptr<glob_t, void (*)(glob_t*)> guard(&matches, ::globfree);
    // sorted by SortedNames in byte order, which glob's sort by the locale's collation need not be
    if (::glob(name.c_str(), GLOB_NOSORT, nullptr, &matches) != 0) return found;
    for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
        const char* match = matches.gl_pathv[i];
        // a match outside the literal text (wildcards before the last '/', or a file named with
        // a trailing '/') cannot be named relative to it
        if (std::strncmp(match, name.c_str(), cut) == 0) found.add(match + cut);
    }
    return found;
}

std::size_t scanPattern(Folder& folder, const std::string& name) {
    const std::string::size_type slash = name.rfind('/');
    const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
    // Wildcards and escapes after the last '/' only, the usual case: one pass over the folder
    // with the match that glob itself makes there, without glob's copy of every path.
    if (name.find_first_of("*?[\\") < cut)
        return globMatches(name, cut).deliver(
            [&](const char* entry) { return folder.entryFound(entry); });
    const std::string pattern = name.substr(cut);
    return namesIn(cut > 0 ? name.substr(0, cut) : ".",
                   [&pattern](const char* entry) {
                       return ::fnmatch(pattern.c_str(), entry, FNM_PERIOD) == 0;
                   })
        .deliver([&](const char* entry) { return folder.entryFound(entry); });
}

} // namespace

std::size_t Folder::scan(const std::string& name) {
    if (name.empty()) return 0;
    return isFolder(name) ? scanFolder(*this, name) : scanPattern(*this, name);
}

// ---------------------------------------------------------------------------------------------

namespace {

std::mutex consoleMutex;

Console::Sink& consoleSink() {
    static Console::Sink sink = Console::streamSink(stdout);
    return sink;
}

} // namespace

Console::Sink Console::setSink(Sink sink) {
    const std::lock_guard<std::mutex> lock(consoleMutex);
    return std::exchange(consoleSink(), std::move(sink));
}

Console::Sink Console::streamSink(std::FILE* stream) {
    return [stream](const std::string& message) {
        std::fwrite(message.data(), 1, message.size(), stream);
        std::fflush(stream);
    };
}

Console::~Console() {
    try {
        Sink sink;
        {
            const std::lock_guard<std::mutex> lock(consoleMutex);
            sink = consoleSink();
        }
        if (!sink) return;
        Text += '\n';
        sink(Text);
    } catch (...) {
    }
}

Console& Console::operator<<(const char* text) {
    if (text) Text += text;
    return *this;
}

Console& Console::operator<<(const std::string& text) {
    Text += text;
    return *this;
}

// ---------------------------------------------------------------------------------------------

ChunkBase::~ChunkBase() {
    TotalMemsize.fetch_sub(Counted);
}

void ChunkBase::account(std::int64_t bytes) noexcept {
    TotalMemsize.fetch_add(bytes - Counted);
    Counted = bytes;
}

StrongPtr<ChunkBase> Attributes::getAttribute(const std::string& name) const {
    auto found = Values.find(name);
    return found == Values.end() ? StrongPtr<ChunkBase>() : found->second;
}

void Attributes::setAttribute(const std::string& name, const StrongPtr<ChunkBase>& value) {
    Values[name] = value;
}

void Attributes::removeAttribute(const std::string& name) {
    Values.erase(name);
}

} // namespace Quorix
