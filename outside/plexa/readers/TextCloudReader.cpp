// Point clouds in text files: ".csv" with a header line, ".xyz" with whitespace-separated columns.
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/readers/Readers.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace Plexa::detail {

namespace {

using Words = std::vector<std::string_view>;

// A function object rather than a function, so that the searches below inline it.
constexpr auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Blank lines and comments hold no point.
bool holdsData(std::string_view content) {
    return !content.empty() && content.front() != '#';
}

// Every column becomes a field of its own, so a bound keeps one hostile line from claiming memory
// out of all proportion to the file. Splitting stops one word past it.
constexpr std::size_t MaxColumns = 10000;

std::string countText(std::size_t count) {
    return count > MaxColumns ? "more than " + std::to_string(MaxColumns) : std::to_string(count);
}

void splitAtCommas(std::string_view line, Words& words) {
    words.clear();
    for (std::size_t start = 0; words.size() <= MaxColumns;) {
        const std::size_t comma = line.find(',', start);
        words.push_back(trimmed(line.substr(start, comma - start)));
        if (comma == std::string_view::npos) return;
        start = comma + 1;
    }
}

void splitAtBlanks(std::string_view line, Words& words) {
    words.clear();
    const char* cursor = line.data();
    const char* const end = cursor + line.size();
    while (cursor != end && words.size() <= MaxColumns) {
        const char* start = std::find_if_not(cursor, end, isBlank);
        cursor = std::find_if(start, end, isBlank);
        if (start != cursor) words.emplace_back(start, static_cast<std::size_t>(cursor - start));
    }
}

// Blanks between two values, and in a ".csv" one comma among them; null where none is.
const char* afterSeparator(const char* cursor, const char* end, bool csv) {
    const char* next = std::find_if_not(cursor, end, isBlank);
    if (!csv) return next == cursor ? nullptr : next;
    if (next == end || *next != ',') return nullptr;
    return std::find_if_not(next + 1, end, isBlank);
}

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::runtime_error lineError(std::size_t line, const std::string& cause) {
    return std::runtime_error("line " + std::to_string(line) + ": " + cause);
}

double parseNumber(std::string_view text, std::size_t line) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw lineError(line, "bad number \"" + std::string(text) + "\"");
    return value;
}

constexpr std::size_t ReadSize = 1 << 20;

// The file's lines through one bounded buffer, so that memory does not grow with the file; only
// a line longer than the buffer makes it grow.
class LineReader {
public:
    explicit LineReader(const std::string& file) : In(file, std::ios::binary) {
        if (!In) throw std::runtime_error("cannot open the file");
    }

    // The next line without its '\n'; false after the last one.
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

private:
    bool deliver(std::string_view& line, std::size_t length, std::size_t ending) {
        line = std::string_view(Buffer.data() + Start, length);
        Start += length + ending;
        Searched = Start;
        ++LineNumber;
        return true;
    }

    void refill() {
        keepUnfinishedLine();
        if (Buffer.size() - End < ReadSize) Buffer.resize(End + ReadSize);
        In.read(Buffer.data() + End, static_cast<std::streamsize>(Buffer.size() - End));
        if (In.bad()) throw std::runtime_error("cannot read the file");
        const auto got = static_cast<std::size_t>(In.gcount());
        End += got;
        AtEnd = got == 0;
    }

    // Moves the unfinished line to the front; a line that already starts there stays, so that a
    // long line is not copied again on every read.
    void keepUnfinishedLine() {
        if (Start == 0) return;
        std::memmove(Buffer.data(), Buffer.data() + Start, End - Start);
        End -= Start;
        Searched -= Start;
        Start = 0;
    }

    std::ifstream In;
    std::string Buffer;
    std::size_t Start = 0, Searched = 0, End = 0;
    std::size_t LineNumber = 0;
    bool AtEnd = false;
};

struct FileCensus {
    std::size_t DataLines = 0;
    std::size_t Bytes = 0;
};

// A first pass, so that the arrays are made once in their final size. It counts the lines that
// hold data straight off the raw bytes, without making lines, since it reads the whole file too.
FileCensus takeCensus(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open the file");
    std::vector<char> block(ReadSize);
    FileCensus census;
    bool amongLeadingBlanks = true;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        const char* cursor = block.data();
        const char* const end = cursor + in.gcount();
        census.Bytes += static_cast<std::size_t>(in.gcount());
        while (cursor != end) {
            if (amongLeadingBlanks) {
                cursor = std::find_if_not(cursor, end, isBlank);
                if (cursor == end) break;
                if (*cursor == '\n') {
                    ++cursor;
                    continue;
                }
                census.DataLines += *cursor != '#';
                amongLeadingBlanks = false;
            }
            const void* newline = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
            if (!newline) break;
            cursor = static_cast<const char*>(newline) + 1;
            amongLeadingBlanks = true;
        }
    }
    if (in.bad()) throw std::runtime_error("cannot read the file");
    return census;
}

std::vector<std::string> xyzNames(std::size_t count) {
    std::vector<std::string> names{"x", "y", "z"};
    for (std::size_t i = names.size(); i < count; ++i)
        names.push_back("Column" + std::to_string(i + 1));
    return names;
}

// The columns named x, y and z in any letter case, else the first three.
std::vector<std::size_t> positionColumns(const std::vector<std::string>& names) {
    std::vector<std::size_t> columns;
    for (const char* axis : {"x", "y", "z"}) {
        auto found = std::find_if(names.begin(), names.end(),
                                  [&](const std::string& name) { return lowered(name) == axis; });
        if (found == names.end()) return {0, 1, 2};
        columns.push_back(static_cast<std::size_t>(found - names.begin()));
    }
    return columns;
}

void checkNames(const std::vector<std::string>& names, std::size_t line) {
    if (names.size() < 3)
        throw lineError(line, "a point needs three coordinates, found " +
                                  std::to_string(names.size()) + " columns");
    if (names.size() > MaxColumns)
        throw lineError(line, "found " + countText(names.size()) +
                                  " columns, a cloud takes at most " + std::to_string(MaxColumns));
    // two columns of one name would become one field, and one of them would be lost
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end()) throw lineError(line, "column \"" + *twice + "\" appears twice");
}

// The cloud's arrays, made in their final size; each column's values go straight to their place.
class Cloud {
public:
    Cloud(std::vector<std::string> names, std::size_t rows, std::size_t line)
        : Names(std::move(names)), Capacity(rows) {
        checkNames(Names, line);
        Positions = makeArray<double>(rows, 3);
        Fields.resize(Names.size());
        Targets.resize(Names.size());
        const std::vector<std::size_t> axes = positionColumns(Names);
        for (std::size_t column = 0; column < Names.size(); ++column) {
            const auto axis = std::find(axes.begin(), axes.end(), column);
            if (axis != axes.end()) {
                Targets[column] = {Positions->data(), static_cast<std::size_t>(axis - axes.begin()),
                                   3};
                continue;
            }
            if (Names[column] == "Positions")
                throw lineError(line, "a column named \"Positions\" would replace the positions");
            Fields[column] = makeArray<double>(rows);
            Targets[column] = {Fields[column]->data(), 0, 1};
        }
    }

    // A well-formed row in one pass over its text; false leaves the line to addRow, which names
    // what is wrong with it.
    bool addPlainRow(std::string_view content, bool csv) {
        if (Rows == Capacity) return false;
        const char* cursor = content.data();
        const char* const end = cursor + content.size();
        for (std::size_t i = 0; i < Targets.size(); ++i) {
            if (i > 0 && !(cursor = afterSeparator(cursor, end, csv))) return false;
            if (cursor != end && *cursor == '+') ++cursor;
            double value = 0;
            const auto [next, error] = std::from_chars(cursor, end, value);
            if (error != std::errc()) return false;
            Targets[i].at(Rows) = value;
            cursor = next;
        }
        if (cursor != end) return false;
        ++Rows;
        return true;
    }

    void addRow(const Words& words, std::size_t line) {
        if (words.size() != Names.size())
            throw lineError(line, "expected " + std::to_string(Names.size()) + " values, found " +
                                      countText(words.size()));
        if (Rows == Capacity) rejectExtraRow(words, line);
        for (std::size_t i = 0; i < words.size(); ++i)
            Targets[i].at(Rows) = parseNumber(words[i], line);
        ++Rows;
    }

    void addTo(Bundle& into, const std::string& gridName, double time) const {
        if (Rows == 0) throw std::runtime_error("no points");
        if (Rows != Capacity) throw std::runtime_error("the file changed while it was read");
        GridPtr grid = into.addSlice(time)->addGrid(gridName);
        grid->addField("Positions", Positions);
        for (std::size_t column = 0; column < Names.size(); ++column)
            if (Fields[column]) grid->addField(Names[column], Fields[column]);
    }

private:
    // A row the census did not see: a bad one is reported as such, a good one means the file grew.
    [[noreturn]] static void rejectExtraRow(const Words& words, std::size_t line) {
        for (std::string_view word : words)
            parseNumber(word, line);
        throw std::runtime_error("the file changed while it was read");
    }

    // Where a column's values go; the array holds no memory at all when the file has no rows.
    struct Target {
        double* Values;
        std::size_t Offset;
        std::size_t Stride;
        double& at(std::size_t row) const { return Values[row * Stride + Offset]; }
    };

    std::vector<std::string> Names;
    std::size_t Capacity;
    std::size_t Rows = 0;
    MemArrayPtr<double> Positions;
    std::vector<MemArrayPtr<double>> Fields; // empty for the position columns
    std::vector<Target> Targets;
};

// Every value takes at least one character and one separator, which bounds the rows of a valid
// file, and with them the memory that a hostile one can claim.
std::size_t rowsAtMost(const FileCensus& census, std::size_t columns, bool header) {
    const std::size_t lines = census.DataLines - (header ? 1 : 0);
    return std::min(lines, (census.Bytes + 1) / (2 * std::max<std::size_t>(columns, 1)));
}

void readCloud(const std::string& file, bool csv, Bundle& into, const std::string& gridName,
               double time) {
    const FileCensus census = takeCensus(file);
    LineReader lines(file);
    std::optional<Cloud> cloud;
    Words words;
    for (std::string_view line; lines.next(line);) {
        const std::string_view content = trimmed(line);
        if (!holdsData(content)) continue;
        if (csv && !cloud) {
            splitAtCommas(content, words);
            cloud.emplace(std::vector<std::string>(words.begin(), words.end()),
                          rowsAtMost(census, words.size(), true), lines.lineNumber());
            continue;
        }
        if (cloud && cloud->addPlainRow(content, csv)) continue;
        csv ? splitAtCommas(content, words) : splitAtBlanks(content, words);
        if (!cloud)
            cloud.emplace(xyzNames(words.size()), rowsAtMost(census, words.size(), false),
                          lines.lineNumber());
        cloud->addRow(words, lines.lineNumber());
    }
    if (!cloud) throw std::runtime_error("no points");
    cloud->addTo(into, gridName, time);
}

class TextCloudReader final : public Reader {
public:
    const char* formatName() const override { return "text point cloud"; }

    bool read(const std::string& file, const ReadOptions& options, Bundle& staging,
              std::string& error) const noexcept override {
        try {
            if (std::string problem = fileProblem(file); !problem.empty())
                throw std::runtime_error(problem);
            const std::filesystem::path path(file);
            readCloud(file, extensionOf(file) == ".csv", staging,
                      options.GridName.empty() ? path.stem().string() : options.GridName,
                      options.Time);
            return true;
        } catch (const std::exception& failure) {
            error = printableText(failure.what()); // values from the file reach terminals
        }
        return false;
    }
};

} // namespace

const Reader& textCloudReader() {
    static const TextCloudReader reader;
    return reader;
}

} // namespace Plexa::detail
