// The lines of a text file through one bounded buffer, and a first pass that counts the lines
// holding data. Internal to Plexa.
#pragma once

#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

namespace Plexa::detail::text {

// The file's lines through one bounded buffer, so that memory does not grow with the file; only
// a line longer than the buffer makes it grow. A byte order mark before the first line is dropped.
class LineReader {
public:
    explicit LineReader(const std::string& file);

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
    std::string Buffer;
    std::size_t Start = 0, Searched = 0, End = 0;
    std::size_t LineNumber = 0;
    bool AtEnd = false;
};

struct FileCensus {
    std::size_t DataLines = 0; // the lines that LineReader gives and holdsData() takes
    std::size_t Bytes = 0;
    std::string BinaryProblem; // why the first bytes are no text; empty for text
};

// A first pass, so that the arrays are made once in their final size.
FileCensus takeCensus(const std::string& file);

} // namespace Plexa::detail::text
