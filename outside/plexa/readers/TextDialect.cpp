#include "outside/plexa/readers/TextDialect.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <charconv>

namespace Plexa::detail::text {

std::string countText(std::size_t count) {
    return count > MaxColumns ? "more than " + std::to_string(MaxColumns) : std::to_string(count);
}

Failure lineError(std::size_t line, const std::string& cause) {
    return Failure("line " + std::to_string(line) + ": " + cause);
}

std::string quotedText(std::string_view text) {
    constexpr std::size_t Longest = 80;
    if (text.size() <= Longest) return "\"" + std::string(text) + "\"";
    return "\"" + std::string(text.substr(0, Longest)) + "...\"";
}

namespace {

// Control bytes that no text file holds; tabs, line ends and form feeds are text.
bool isControl(unsigned char c) {
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') || c == 0x7F;
}

// Binary files show control bytes early; text files may show a stray one anywhere.
constexpr std::size_t NulScanSize = 64 << 10;
constexpr std::size_t ControlScanSize = 4 << 10;

std::size_t lineAt(std::string_view text, std::size_t offset) {
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

} // namespace

std::string binaryProblem(std::string_view head) {
    head = head.substr(0, NulScanSize);
    if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF")
        return "is UTF-16 text; save it as UTF-8";
    // a stray escape sequence is a bad value; a NUL or many control bytes are no text at all
    std::size_t first = head.find('\0');
    if (first == std::string_view::npos) {
        const std::string_view start = head.substr(0, ControlScanSize);
        const auto control = [](char c) { return isControl(static_cast<unsigned char>(c)); };
        const auto controls = std::count_if(start.begin(), start.end(), control);
        if (controls < 4 || static_cast<std::size_t>(controls) * 32 < start.size()) return {};
        first = static_cast<std::size_t>(std::find_if(start.begin(), start.end(), control) -
                                         start.begin());
    }
    return lineError(lineAt(head, first), "looks binary, not text").what();
}

std::string_view Dialect::tabRowText(std::string_view line) {
    const auto isEdge = [](char c) { return c == '\r' || c == ' '; };
    while (!line.empty() && isEdge(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && isEdge(line.back()))
        line.remove_suffix(1);
    return line;
}

std::string delimiterName(char delimiter) {
    switch (delimiter) {
    case ',':
        return "commas";
    case ';':
        return "semicolons";
    case '\t':
        return "tabs";
    case ' ':
        return "blanks";
    }
    return quotedText(std::string_view(&delimiter, 1));
}

namespace {

class Splitter {
public:
    Splitter(std::string_view row, const Dialect& dialect)
        : Cursor(row.data()), End(row.data() + row.size()), Format(dialect) {}

    const char* split(Words& words) {
        words.clear();
        for (;;) {
            skipPadding();
            Word word;
            if (Cursor != End && *Cursor == '"') {
                word.Quoted = true;
                if (const char* problem = takeQuoted(word)) return problem;
            } else {
                takePlain(word);
            }
            words.push_back(word);
            if (words.size() > MaxColumns || !passDelimiter()) return nullptr;
        }
    }

private:
    const char* takeQuoted(Word& word) {
        const char* start = ++Cursor;
        for (;; Cursor += 2) {
            Cursor = std::find(Cursor, End, '"');
            if (Cursor == End) return "a quoted value has no closing quote";
            if (Cursor + 1 == End || Cursor[1] != '"') break;
            word.Escaped = true;
        }
        word.Text = std::string_view(start, static_cast<std::size_t>(Cursor - start));
        const char* afterQuote = ++Cursor;
        skipPadding();
        if (Cursor == End) return nullptr;
        const bool separated =
            Format.Delimiter == ' ' ? Cursor != afterQuote : *Cursor == Format.Delimiter;
        return separated ? nullptr : "text after the closing quote of a value";
    }

    void takePlain(Word& word) {
        const char* stop =
            Format.Delimiter == ' '
                ? std::find_if(Cursor, End, [this](char c) { return Format.isPadding(c); })
                : std::find(Cursor, End, Format.Delimiter);
        const char* last = stop;
        while (last != Cursor && Format.isPadding(last[-1]))
            --last;
        word.Text = std::string_view(Cursor, static_cast<std::size_t>(last - Cursor));
        Cursor = stop;
    }

    // Moves past the delimiter after a value; false at the end of the row.
    bool passDelimiter() {
        if (Format.Delimiter == ' ') skipPadding();
        if (Cursor == End) return false;
        if (Format.Delimiter != ' ') ++Cursor;
        return true;
    }

    void skipPadding() {
        Cursor = std::find_if_not(Cursor, End, [this](char c) { return Format.isPadding(c); });
    }

    const char* Cursor;
    const char* const End;
    const Dialect& Format;
};

} // namespace

const char* splitWords(std::string_view row, const Dialect& dialect, Words& words) {
    return Splitter(row, dialect).split(words);
}

std::string nameOf(const Word& word) {
    std::string name(word.Text);
    if (!word.Escaped) return name;
    std::string resolved;
    for (std::size_t i = 0; i < name.size(); ++i) {
        resolved.push_back(name[i]);
        i += name[i] == '"'; // the second quote of a pair
    }
    return resolved;
}

bool parseNumber(std::string_view text, double& value) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return false;
    }
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

namespace {

// The delimiters a row shows outside quotes, in their order; blanks when it shows none. A
// tab-separated row with blanks inside a value could also be separated by blanks.
std::vector<char> delimitersShownBy(std::string_view row) {
    std::vector<char> shown;
    bool inQuotes = false;
    for (char c : row) {
        inQuotes ^= c == '"';
        const bool delimiter = c == ',' || c == ';' || c == '\t';
        if (!inQuotes && delimiter && std::find(shown.begin(), shown.end(), c) == shown.end())
            shown.push_back(c);
    }
    if (shown.empty()) return {' '};
    if (shown == std::vector<char>{'\t'}) {
        Words words;
        const Dialect tabs{'\t'};
        splitWords(tabs.rowText(row, trimmed(row)), tabs, words);
        if (std::any_of(words.begin(), words.end(), [](const Word& word) {
                return !word.Quoted && word.Text.find(' ') != std::string_view::npos;
            }))
            shown.push_back(' ');
    }
    return shown;
}

// Whether the delimiter splits every row into as many values, and the rows after the first one
// (which may name the columns) into numbers.
bool fitsEveryRow(const std::vector<std::string_view>& rows, const Dialect& dialect) {
    Words words;
    std::size_t count = 0;
    for (std::string_view row : rows) {
        if (splitWords(dialect.rowText(row, trimmed(row)), dialect, words)) return false;
        if (count != 0 && words.size() != count) return false;
        const bool numbers = std::all_of(words.begin(), words.end(), [](const Word& word) {
            double value = 0;
            return !word.Escaped && parseNumber(word.Text, value);
        });
        if (count != 0 && !numbers) return false;
        count = words.size();
    }
    return true;
}

bool isKnownDelimiter(char delimiter) {
    return delimiter == ',' || delimiter == ';' || delimiter == '\t' || delimiter == ' ';
}

} // namespace

Dialect detectDialect(const std::vector<std::string_view>& rows, std::size_t firstLine,
                      char requested) {
    if (requested != 0) {
        if (!isKnownDelimiter(requested))
            throw Failure("unknown delimiter " + delimiterName(requested) +
                          "; known: ',', ';', tab and ' ' (runs of blanks)");
        return Dialect{requested};
    }
    std::vector<char> candidates = delimitersShownBy(rows.front());
    if (candidates.size() > 1)
        candidates.erase(
            std::remove_if(candidates.begin(), candidates.end(),
                           [&](char candidate) { return !fitsEveryRow(rows, Dialect{candidate}); }),
            candidates.end());
    if (candidates.size() == 1) return Dialect{candidates.front()};
    std::string names;
    for (char candidate : delimitersShownBy(rows.front()))
        names += (names.empty() ? "" : " or ") + delimiterName(candidate);
    throw lineError(firstLine, "the values may be separated by " + names +
                                   "; choose the delimiter with --delimiter");
}

std::vector<std::string_view> rowsIn(std::string_view text, bool whole, std::size_t count) {
    std::vector<std::string_view> rows;
    for (std::size_t start = 0; start < text.size() && rows.size() < count;) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos && !whole) break; // cut off by the buffer's end
        const std::string_view line = text.substr(start, newline - start);
        if (holdsData(trimmed(line))) rows.push_back(line);
        if (newline == std::string_view::npos) break;
        start = newline + 1;
    }
    return rows;
}

} // namespace Plexa::detail::text
