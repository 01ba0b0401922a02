#include "outside/plexa/readers/TextLines.hpp"

#include "outside/Plexa.hpp"
#include "outside/plexa/readers/TextDialect.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

namespace Plexa::detail::text {

namespace {

constexpr std::size_t ReadSize = 1 << 20;

bool startsWithByteOrderMark(std::string_view text) {
    return text.substr(0, ByteOrderMark.size()) == ByteOrderMark;
}

} // namespace

ReadBuffer::~ReadBuffer() {
    releaseArray(Bytes, Capacity);
}

void ReadBuffer::resize(std::size_t bytes) {
    if (bytes > Capacity) {
        constexpr std::size_t HugePage = 2 << 20;
        const std::size_t capacity = (bytes + HugePage - 1) / HugePage * HugePage;
        char* const grown = static_cast<char*>(allocateArray(capacity, false));
        if (Size > 0) std::memcpy(grown, Bytes, Size); // a first buffer has nothing to copy
        releaseArray(Bytes, Capacity);
        Bytes = grown;
        Capacity = capacity;
    }
    Size = bytes;
}

LineReader::LineReader(const std::string& file, std::size_t begin, std::size_t end)
    : In(file, std::ios::binary), Dropped(begin), Remaining(end - begin) {
    if (!In) throw Failure("cannot open the file");
    if (begin > 0 && !In.seekg(static_cast<std::streamoff>(begin)))
        throw Failure("cannot read the file");
    refill();
    if (begin == 0 && startsWithByteOrderMark(std::string_view(Buffer.data(), End)))
        Start = Searched = ByteOrderMark.size();
}

void LineReader::refill() {
    keepUnfinishedLine();
    if (Buffer.size() - End < ReadSize) Buffer.resize(End + ReadSize);
    In.read(Buffer.data() + End,
            static_cast<std::streamsize>(std::min(Buffer.size() - End, Remaining)));
    if (In.bad()) throw Failure("cannot read the file");
    const auto got = static_cast<std::size_t>(In.gcount());
    End += got;
    Remaining -= got;
    AtEnd = got == 0;
}

// Moves the unfinished line to the front; a line that already starts there stays, so that a long
// line is not copied again on every read.
void LineReader::keepUnfinishedLine() {
    if (Start == 0) return;
    std::memmove(Buffer.data(), Buffer.data() + Start, End - Start);
    End -= Start;
    Searched -= Start;
    Dropped += Start;
    Start = 0;
}

namespace {

// Fewer than 256, so that one byte counts the line ends in it.
constexpr std::size_t Stretch = 240;

// The line ends among the first Stretch bytes of `text` when each starts a line whose first byte
// shows data, as in most of a cloud; -1 when one may start anything else (a blank, a line end,
// '#' or '/'), for a look line by line. Reads one byte more. Byte-wide and without branches, so
// that the compiler takes many bytes at a time.
int plainLineEnds(const char* text) {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char ends = 0, doubtful = 0;
    for (std::size_t i = 0; i < Stretch; ++i) {
        const unsigned char lineEnd = -(bytes[i] == '\n'); // all ones or zero
        const unsigned char next = bytes[i + 1];
        ends -= lineEnd;
        doubtful |= lineEnd & (-(next <= ' ') | -(next == '#') | -(next == '/'));
    }
    return doubtful ? -1 : ends;
}

// Counts the lines that hold data straight off the raw bytes, without making lines, since it
// reads the whole file: a line holds data unless its first non-blank is '\n', '#' or "//".
class DataLineCounter {
public:
    void count(const char* cursor, const char* const end) {
        if (SlashAtEnd && cursor != end) {
            SlashAtEnd = false;
            Lines += *cursor != '/';
            AtLineStart = false;
        }
        while (cursor != end) {
            if (AtLineStart) {
                cursor = std::find_if_not(cursor, end, isBlank);
                if (cursor == end) return;
                if (*cursor == '\n') {
                    ++cursor;
                    continue;
                }
                if (*cursor == '/' && cursor + 1 == end) {
                    SlashAtEnd = true; // the next block tells whether "//" starts a comment
                    return;
                }
                Lines += *cursor == '/' ? cursor[1] != '/' : *cursor != '#';
                AtLineStart = false;
            }
            if (static_cast<std::size_t>(end - cursor) > Stretch) {
                if (const int ends = plainLineEnds(cursor); ends >= 0) {
                    Lines += static_cast<std::size_t>(ends);
                    cursor += Stretch; // still inside a line that holds data
                    continue;
                }
            }
            const void* newline = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
            if (!newline) return;
            cursor = static_cast<const char*>(newline) + 1;
            AtLineStart = true;
        }
    }

    // A last line of a lone '/' holds data too.
    std::size_t total() const { return Lines + (SlashAtEnd ? 1 : 0); }

private:
    bool AtLineStart = true;
    bool SlashAtEnd = false;
    std::size_t Lines = 0;
};

// The start of the first line at or after `offset`; `size` when no line starts there.
std::size_t lineStartFrom(std::ifstream& in, std::size_t offset, std::size_t size) {
    if (offset == 0) return 0;
    std::vector<char> piece(64 << 10);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset - 1));
    for (std::size_t at = offset - 1; in.read(piece.data(), piece.size()) || in.gcount() > 0;) {
        const auto got = static_cast<std::size_t>(in.gcount());
        if (const void* newline = std::memchr(piece.data(), '\n', got))
            return at + static_cast<std::size_t>(static_cast<const char*>(newline) - piece.data()) +
                   1;
        at += got;
    }
    return size;
}

// Blocks of about equal size, each from a line's start to a line's end; the last one reaches to
// the end of the file, however long it has grown. Several per thread, so that the threads end
// together on a machine that other work shares.
// The size from which a file is read in blocks: ParallelBytes, or the smaller one that
// PLEXA_PARALLEL_TEXT_BYTES names, so that the tests' and the fuzz target's small files take that
// path too.
std::size_t parallelBytes() {
    const char* text = std::getenv("PLEXA_PARALLEL_TEXT_BYTES");
    if (!text || !*text) return ParallelBytes;
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(text, &end, 10);
    return *end == '\0' && bytes > 0 ? static_cast<std::size_t>(bytes) : ParallelBytes;
}

std::vector<TextBlock> blocksOf(const std::string& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) throw Failure("cannot open the file");
    const auto size = static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0));
    // blocks of at least one read, so that the first one holds all that the text check looks at,
    // unless a lowered threshold asks for smaller ones
    constexpr std::size_t BlocksPerThread = 4;
    const std::size_t threshold = parallelBytes();
    const std::size_t smallest = std::clamp<std::size_t>(threshold / 4, 1, ReadSize);
    const std::size_t count =
        size < threshold
            ? 1
            : std::clamp<std::size_t>(size / smallest, 1, BlocksPerThread * readingThreads());
    std::vector<TextBlock> blocks(count);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t start =
            std::max(lineStartFrom(in, size / count * i, size), blocks[i - 1].Begin);
        blocks[i - 1].End = blocks[i].Begin = start;
    }
    blocks.back().End = std::string::npos;
    return blocks;
}

// Counts the data lines of a block and returns the bytes it read; the block at the file's start
// also tells whether the file is text.
std::size_t countDataLines(const std::string& file, TextBlock& block, std::string& binary) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Failure("cannot open the file");
    in.seekg(static_cast<std::streamoff>(block.Begin));
    ReadBuffer piece(ReadSize);
    DataLineCounter counter;
    std::size_t at = block.Begin;
    while (at < block.End && (in.read(piece.data(), static_cast<std::streamsize>(
                                                        std::min(ReadSize, block.End - at))) ||
                              in.gcount() > 0)) {
        const char* cursor = piece.data();
        const char* const end = cursor + in.gcount();
        if (at == 0) {
            if (startsWithByteOrderMark(std::string_view(cursor, end - cursor)))
                cursor += ByteOrderMark.size();
            binary = binaryProblem(std::string_view(cursor, end - cursor));
        }
        at += static_cast<std::size_t>(in.gcount());
        counter.count(cursor, end);
    }
    if (in.bad()) throw Failure("cannot read the file");
    block.DataLines = counter.total();
    return at - block.Begin;
}

} // namespace

std::size_t readingThreads() {
    return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

FileCensus takeCensus(const std::string& file) {
    FileCensus census;
    census.Blocks = blocksOf(file);
    std::vector<std::size_t> bytes(census.Blocks.size());
    std::vector<std::exception_ptr> failures(census.Blocks.size());
    onEveryBlock(census.Blocks.size(), [&](std::size_t i) {
        try {
            bytes[i] = countDataLines(file, census.Blocks[i], census.BinaryProblem);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    });
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        census.Bytes += bytes[i];
        census.DataLines += census.Blocks[i].DataLines;
    }
    return census;
}

} // namespace Plexa::detail::text
