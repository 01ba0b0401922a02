// The lines of a text file through one bounded buffer, and a first pass that counts the lines
// holding data, in blocks on every core for large files. Internal to Plexa.
#pragma once

#include "outside/plexa/detail/WorkerPool.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace Plexa::detail::text {

// Memory for bytes read from a file, in huge pages where the kernel has them (one page fault
// instead of hundreds), and back to the kernel when done: memory freed to the heap would stay with
// the process and add to the peak of the work that follows.
class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t bytes = 0) { resize(bytes); }
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    char* data() const { return Bytes; }
    std::size_t size() const { return Size; }
    // Keeps the bytes that both sizes hold; throws std::bad_alloc.
    void resize(std::size_t bytes);

private:
    char* Bytes = nullptr;
    std::size_t Size = 0;
    std::size_t Capacity = 0;
};

// The file's lines through one bounded buffer, so that memory does not grow with the file; only
// a line longer than the buffer makes it grow. A byte order mark before the first line is dropped.
// Reads the bytes from `begin` up to `end` only, which must start a line and end one.
class LineReader {
public:
    explicit LineReader(const std::string& file, std::size_t begin = 0,
                        std::size_t end = std::string::npos);

    // The next line without its '\n'; false after the last one. Inline: it runs once a line.
    bool next(std::string_view& line) {
        for (;;) {
            const char* start = Buffer.data() + Start;
            const char* searched = Buffer.data() + Searched;
            const char* end = Buffer.data() + End;
            if (const void* newline =
                    std::memchr(searched, '\n', static_cast<std::size_t>(end - searched))) {
                const auto length = static_cast<const char*>(newline) - start;
                return deliver(line, static_cast<std::size_t>(length), 1);
            }
            Searched = End;
            if (AtEnd) return Start != End && deliver(line, End - Start, 0);
            refill();
        }
    }

    std::size_t lineNumber() const { return LineNumber; }
    // Where in the file the next line starts.
    std::size_t offset() const { return Dropped + Start; }

    // The bytes read already after the last line given, without reading more.
    std::string_view ahead() const { return std::string_view(Buffer.data() + Start, End - Start); }
    // Whether ahead() runs to the end of the file.
    bool aheadReachesEnd() const { return AtEnd || In.eof(); }

private:
    bool deliver(std::string_view& line, std::size_t length, std::size_t ending) {
        line = std::string_view(Buffer.data() + Start, length);
        Start += length + ending;
        Searched = Start;
        ++LineNumber;
        return true;
    }
    void refill();
    void keepUnfinishedLine();

    std::ifstream In;
    ReadBuffer Buffer;
    std::size_t Start = 0, Searched = 0, End = 0;
    std::size_t Dropped = 0;   // the file's bytes before the buffer's start
    std::size_t Remaining = 0; // of the range, not read yet
    std::size_t LineNumber = 0;
    bool AtEnd = false;
};

// A piece of the file that starts a line and ends one, for one core.
struct TextBlock {
    std::size_t Begin = 0, End = 0;
    std::size_t DataLines = 0;
};

struct FileCensus {
    std::size_t DataLines = 0; // the lines that LineReader gives and holdsData() takes
    std::size_t Bytes = 0;
    std::string BinaryProblem;     // why the first bytes are no text; empty for text
    std::vector<TextBlock> Blocks; // in order; one for a small file
};

// Below this size a file is read on the calling thread alone: threads would cost more than
// they save.
constexpr std::size_t ParallelBytes = 4 << 20;

// The threads that read a large file: one per core, and at least two, so that every machine
// takes the same path.
std::size_t readingThreads();

// A first pass, so that the arrays are made once in their final size. Counts a large file in
// blocks, several per thread.
FileCensus takeCensus(const std::string& file);

// Runs work(0) to work(count - 1) on the caller and on a pool of its own, whose end waits for
// them; each thread takes the next block that nobody started, so that a thread the machine holds
// up leaves the rest to the others. Work must not throw. Without threads to be had, all run on
// the caller.
template <class Work> void onEveryBlock(std::size_t count, const Work& work) {
    std::atomic<std::size_t> next{0};
    const auto takeBlocks = [&next, &work, count] {
        for (std::size_t block; (block = next.fetch_add(1)) < count;)
            work(block);
    };
    const std::size_t threads = std::min(count, readingThreads());
    if (threads <= 1) return takeBlocks();
    WorkerPool others(static_cast<unsigned>(threads - 1));
    for (std::size_t thread = 1; thread < threads; ++thread)
        others.post(takeBlocks);
    takeBlocks();
}

} // namespace Plexa::detail::text
