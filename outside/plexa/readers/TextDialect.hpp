// The dialect of a text cloud: which lines hold data, how a line splits into values (RFC 4180
// quoting), which delimiter a file uses, and what a number is. Internal to Plexa.
#pragma once

#include "outside/plexa/detail/Failure.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Plexa::detail::text {

// Every column becomes a field of its own, so a bound keeps one hostile line from claiming memory
// out of all proportion to the file. Splitting stops one value past it.
constexpr std::size_t MaxColumns = 10000;

// "12", or "more than 10000" for a count that splitting stopped at.
std::string countText(std::size_t count);

Failure lineError(std::size_t line, const std::string& cause);

// The text in quotes for a message, shortened when it is long.
std::string quotedText(std::string_view text);

// A function object rather than a function, so that the searches inline it.
constexpr auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };

inline std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Blank lines and comments ('#' or "//") hold no point; `content` is the trimmed line.
inline bool holdsData(std::string_view content) {
    if (content.empty() || content.front() == '#') return false;
    return content.front() != '/' || content.size() == 1 || content[1] != '/';
}

// The UTF-8 byte order mark some programs write at the start of a text file.
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// Why the first bytes of a file (after a byte order mark) show it is no text for us, with the
// line; empty for text.
std::string binaryProblem(std::string_view head);

// Blanks around a value that carry no meaning; in tab-separated text a tab is a delimiter.
constexpr bool isPadding(char c, char delimiter) {
    return c == ' ' || (c == '\t' && delimiter != '\t');
}

// How values are separated: ',', ';', '\t', or ' ' for runs of blanks (spaces and tabs).
struct Dialect {
    char Delimiter = ' ';

    bool isPadding(char c) const { return text::isPadding(c, Delimiter); }
    // The values of a line that holds data, given the line and its trimmed `content`: without
    // padding and line end at either side.
    std::string_view rowText(std::string_view line, std::string_view content) const {
        return Delimiter == '\t' ? tabRowText(line) : content; // only tabs are no padding there
    }

private:
    static std::string_view tabRowText(std::string_view line);
};

// "',' (comma)", "tab", ...: a delimiter as messages name it.
std::string delimiterName(char delimiter);

// One value of a line: the text between its quotes when it had them.
struct Word {
    std::string_view Text;
    bool Quoted = false;
    bool Escaped = false; // the text holds "" pairs, each one quote
};
using Words = std::vector<Word>;

// Splits a row into its values; returns what is wrong with its quoting, or null.
const char* splitWords(std::string_view row, const Dialect& dialect, Words& words);

// A value as a name: quotes and escapes resolved.
std::string nameOf(const Word& word);

// A number as written: an optional sign, decimal or exponent notation, nan or inf; false for any
// other text. Blanks around it are allowed.
bool parseNumber(std::string_view text, double& value);

// The delimiter that `rows` use: `requested` when given, else the one the first row shows, with
// the rows after it settling a first row that shows several. Never a guess: a row that leaves
// the choice open is refused, naming `firstLine`.
Dialect detectDialect(const std::vector<std::string_view>& rows, std::size_t firstLine,
                      char requested);

// Up to `count` lines that hold data among the complete lines of `text`; `whole` when the text
// runs to the end of its file, so that a last line without line end is complete too.
std::vector<std::string_view> rowsIn(std::string_view text, bool whole, std::size_t count);

} // namespace Plexa::detail::text
