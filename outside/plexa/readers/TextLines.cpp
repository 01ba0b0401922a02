#include "outside/plexa/readers/TextLines.hpp"

#include "outside/plexa/readers/TextDialect.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Plexa::detail::text {

namespace {

constexpr std::size_t ReadSize = 1 << 20;

bool startsWithByteOrderMark(std::string_view text) {
    return text.substr(0, ByteOrderMark.size()) == ByteOrderMark;
}

} // namespace

LineReader::LineReader(const std::string& file) : In(file, std::ios::binary) {
    if (!In) throw std::runtime_error("cannot open the file");
    refill();
    if (startsWithByteOrderMark(std::string_view(Buffer.data(), End)))
        Start = Searched = ByteOrderMark.size();
}

void LineReader::refill() {
    keepUnfinishedLine();
    if (Buffer.size() - End < ReadSize) Buffer.resize(End + ReadSize);
    In.read(Buffer.data() + End, static_cast<std::streamsize>(Buffer.size() - End));
    if (In.bad()) throw std::runtime_error("cannot read the file");
    const auto got = static_cast<std::size_t>(In.gcount());
    End += got;
    AtEnd = got == 0;
}

// Moves the unfinished line to the front; a line that already starts there stays, so that a long
// line is not copied again on every read.
void LineReader::keepUnfinishedLine() {
    if (Start == 0) return;
    std::memmove(Buffer.data(), Buffer.data() + Start, End - Start);
    End -= Start;
    Searched -= Start;
    Start = 0;
}

namespace {

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

} // namespace

FileCensus takeCensus(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open the file");
    std::vector<char> block(ReadSize);
    FileCensus census;
    DataLineCounter counter;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        const char* cursor = block.data();
        const char* const end = cursor + in.gcount();
        if (census.Bytes == 0) {
            if (startsWithByteOrderMark(std::string_view(cursor, end - cursor)))
                cursor += ByteOrderMark.size();
            census.BinaryProblem = binaryProblem(std::string_view(cursor, end - cursor));
        }
        census.Bytes += static_cast<std::size_t>(in.gcount());
        counter.count(cursor, end);
    }
    if (in.bad()) throw std::runtime_error("cannot read the file");
    census.DataLines = counter.total();
    return census;
}

} // namespace Plexa::detail::text
