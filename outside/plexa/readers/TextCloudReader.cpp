// Point clouds in text files (".csv", ".xyz"): one dialect detection for both, then the rows
// straight into arrays made in their final size.
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/readers/Readers.hpp"
#include "outside/plexa/readers/TextColumns.hpp"
#include "outside/plexa/readers/TextDialect.hpp"
#include "outside/plexa/readers/TextLines.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>

namespace Plexa::detail {

namespace {

using namespace text;

// Padding between two values around one delimiter, or a run of blanks; null where none is.
template <char Delimiter> const char* afterSeparator(const char* cursor, const char* end) {
    // a plain loop: padding is mostly one byte or none, too short for a call to pay
    const auto skipPadding = [end](const char* from) {
        while (from != end && isPadding(*from, Delimiter))
            ++from;
        return from;
    };
    const char* next = skipPadding(cursor);
    if constexpr (Delimiter == ' ') return next == cursor ? nullptr : next;
    if (next == end || *next != Delimiter) return nullptr;
    return skipPadding(next + 1);
}

constexpr double PowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr bool isDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// std::from_chars, with a shortcut for the plain decimals of up to 15 digits that scanners write:
// their digits and the power of ten are exact doubles, and one division rounds as from_chars does.
inline std::from_chars_result readNumber(const char* first, const char* last, double& value) {
    const char* cursor = first;
    const bool negative = cursor != last && *cursor == '-';
    cursor += negative;
    std::uint64_t digits = 0; // may wrap past 19 digits, which take the long way anyway
    const auto readDigits = [&] {
        const char* const start = cursor;
        for (; cursor != last && isDigit(*cursor); ++cursor)
            digits = digits * 10 + static_cast<unsigned>(*cursor - '0');
        return static_cast<std::size_t>(cursor - start);
    };
    std::size_t count = readDigits();
    std::size_t fraction = 0;
    if (cursor != last && *cursor == '.') {
        ++cursor;
        fraction = readDigits();
        count += fraction;
    }
    const bool exponent = cursor != last && (*cursor | 0x20) == 'e';
    if (count == 0 || count > 15 || exponent) return std::from_chars(first, last, value);
    const double magnitude = static_cast<double>(digits) / PowersOfTen[fraction];
    value = negative ? -magnitude : magnitude;
    return {cursor, std::errc()};
}

// The values of one row on the careful path; one for each thread.
struct RowScratch {
    text::Words Words;
    std::vector<double> Values;
};

// The cloud's arrays, made in their final size; each column's values go straight to their place,
// so that blocks of rows can be filled at the same time.
class Cloud {
public:
    Cloud(Columns columns, std::size_t rows, Dialect dialect)
        : Names(std::move(columns.Names)), Capacity(rows), Format(dialect) {
        Positions = makeUninitializedArray<double>(rows, 3);
        Fields.resize(Names.size());
        Targets.resize(Names.size());
        for (std::size_t column = 0; column < Names.size(); ++column) {
            const auto axis = std::find(columns.Axes.begin(), columns.Axes.end(), column);
            if (axis != columns.Axes.end()) {
                const auto offset = static_cast<std::size_t>(axis - columns.Axes.begin());
                Targets[column] = {Positions->data(), offset, 3, true};
                continue;
            }
            Fields[column] = makeUninitializedArray<double>(rows);
            Targets[column] = {Fields[column]->data(), 0, 1, false};
        }
    }

    const Dialect& dialect() const { return Format; }
    std::size_t capacity() const { return Capacity; }
    // The rows filled from the first on.
    std::size_t filled() const { return Filled; }
    void setFilled(std::size_t rows) { Filled = rows; }

    // A well-formed row in one pass over its text into row `at` (before `end`); false leaves the
    // row to putRow, which names what is wrong with it. A row that starts with a quote is taken
    // with every value quoted.
    template <char Delimiter>
    bool putPlainRow(std::string_view row, std::size_t at, std::size_t end) const {
        return !row.empty() && row.front() == '"' ? putPlainRowOf<Delimiter, true>(row, at, end)
                                                  : putPlainRowOf<Delimiter, false>(row, at, end);
    }

    // Any row into row `at`, or a refusal that names the line and the cause.
    void putRow(std::string_view row, std::size_t line, std::size_t at, std::size_t end,
                RowScratch& scratch) const {
        text::Words& words = scratch.Words;
        if (const char* problem = splitWords(row, Format, words)) throw lineError(line, problem);
        if (words.size() != Names.size())
            throw lineError(line, "expected " + std::to_string(Names.size()) + " values, found " +
                                      countText(words.size()) + " (separated by " +
                                      delimiterName(Format.Delimiter) + ")");
        scratch.Values.resize(words.size());
        for (std::size_t column = 0; column < words.size(); ++column)
            scratch.Values[column] = valueOf(words[column], column, line);
        // a row the census did not see: a bad one is reported as such, a good one means the file
        // grew
        if (at == end) throw Failure("the file changed while it was read");
        for (std::size_t column = 0; column < words.size(); ++column)
            Targets[column].at(at) = scratch.Values[column];
    }

    void addTo(Bundle& into, const std::string& gridName, double time) const {
        if (Filled == 0) throw Failure("no points");
        if (Filled != Capacity) throw Failure("the file changed while it was read");
        GridPtr grid = into.addSlice(time)->addGrid(gridName);
        grid->addField(PositionsField, Positions);
        for (std::size_t column = 0; column < Names.size(); ++column)
            if (Fields[column]) grid->addField(Names[column], Fields[column]);
    }

private:
    template <char Delimiter, bool Quoted>
    bool putPlainRowOf(std::string_view row, std::size_t at, std::size_t end) const {
        if (at == end) return false;
        const char* cursor = row.data();
        const char* const rowEnd = cursor + row.size();
        // locals, which the stores through double pointers cannot change
        const Target* const targets = Targets.data();
        const std::size_t columns = Targets.size();
        for (std::size_t i = 0; i < columns; ++i) {
            if (i > 0 && !(cursor = afterSeparator<Delimiter>(cursor, rowEnd))) return false;
            if (Quoted && (cursor == rowEnd || *cursor++ != '"')) return false;
            if (cursor != rowEnd && *cursor == '+' && ++cursor != rowEnd && *cursor == '-')
                return false;
            double value = 0;
            const auto [next, error] = readNumber(cursor, rowEnd, value);
            if (error != std::errc()) return false;
            cursor = next;
            if (Quoted && (cursor == rowEnd || *cursor++ != '"')) return false;
            targets[i].at(at) = value;
        }
        return cursor == rowEnd && hasFinitePosition(at);
    }

    bool hasFinitePosition(std::size_t row) const {
        const double* position = Positions->data() + 3 * row;
        return std::isfinite(position[0]) && std::isfinite(position[1]) &&
               std::isfinite(position[2]);
    }

    double valueOf(const Word& word, std::size_t column, std::size_t line) const {
        const auto refuse = [&](const std::string& what, const std::string& after) {
            return lineError(line, what + " in column " + quotedText(Names[column]) + after);
        };
        if (trimmed(word.Text).empty()) throw refuse("no value", "");
        double value = 0;
        if (word.Escaped || !parseNumber(word.Text, value))
            throw refuse("bad number " + quotedText(word.Text), "");
        if (Targets[column].Position && !std::isfinite(value))
            throw refuse("the position value " + quotedText(word.Text), " is not a finite number");
        return value;
    }

    // Where a column's values go; the array holds no memory at all when the file has no rows.
    struct Target {
        double* Values;
        std::size_t Offset;
        std::size_t Stride;
        bool Position;
        double& at(std::size_t row) const { return Values[row * Stride + Offset]; }
    };

    std::vector<std::string> Names;
    std::size_t Capacity;
    std::size_t Filled = 0;
    Dialect Format;
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

// The rows after the first one that settle which delimiter a first row showing several uses.
constexpr std::size_t SampleRows = 16;

// The first line that holds data settles the delimiter and the columns, and is the first row
// when it names no columns; the rows read already after it settle a delimiter it leaves open.
Cloud startCloud(LineReader& lines, const FileCensus& census, const ReadOptions& options) {
    std::string_view line;
    bool found = false;
    while (!found && lines.next(line))
        found = holdsData(trimmed(line));
    if (!found) throw Failure("no points");
    const std::size_t number = lines.lineNumber();
    std::vector<std::string_view> sample =
        rowsIn(lines.ahead(), lines.aheadReachesEnd(), SampleRows);
    sample.insert(sample.begin(), line);
    const Dialect dialect = detectDialect(sample, number, options.Text.Delimiter);
    const std::string_view row = dialect.rowText(line, trimmed(line));
    RowScratch scratch;
    if (const char* problem = splitWords(row, dialect, scratch.Words))
        throw lineError(number, problem);
    Columns columns = columnsOf(scratch.Words, number, options.Text.PositionColumns);
    const bool header = columns.Header;
    const std::size_t capacity = rowsAtMost(census, columns.Names.size(), header);
    Cloud cloud(std::move(columns), capacity, dialect);
    if (!header) {
        cloud.putRow(row, number, 0, capacity, scratch);
        cloud.setFilled(1);
    }
    return cloud;
}

// Fills the rows from `row` on, before `end`, with the data lines that `lines` gives, in a loop
// made for the delimiter; returns the row after the last one filled.
template <char Delimiter>
std::size_t fillRows(LineReader& lines, const Cloud& cloud, std::size_t row, std::size_t end) {
    RowScratch scratch;
    for (std::string_view line; lines.next(line); ++row) {
        const std::string_view content = trimmed(line);
        if (!holdsData(content)) {
            --row;
            continue;
        }
        const std::string_view text = Dialect{Delimiter}.rowText(line, content);
        if (!cloud.putPlainRow<Delimiter>(text, row, end))
            cloud.putRow(text, lines.lineNumber(), row, end, scratch);
    }
    return row;
}

std::size_t fillRows(LineReader& lines, const Cloud& cloud, std::size_t row, std::size_t end) {
    switch (cloud.dialect().Delimiter) {
    case ',':
        return fillRows<','>(lines, cloud, row, end);
    case ';':
        return fillRows<';'>(lines, cloud, row, end);
    case '\t':
        return fillRows<'\t'>(lines, cloud, row, end);
    default:
        return fillRows<' '>(lines, cloud, row, end);
    }
}

// The careful way: every line in order, and a refusal names the first one at fault.
void readSerially(const std::string& file, const FileCensus& census, const ReadOptions& options,
                  Bundle& into, const std::string& gridName) {
    LineReader lines(file);
    Cloud cloud = startCloud(lines, census, options);
    cloud.setFilled(fillRows(lines, cloud, cloud.filled(), cloud.capacity()));
    cloud.addTo(into, gridName, options.Time);
}

// Rows after the first data line, for one thread.
struct BodyBlock {
    std::size_t Begin, End;
    std::size_t FirstRow, Rows;
};

// The census's blocks without the first data line: the blocks that start before the line after
// it become one that starts there. Empty when the counts do not fit the file.
std::vector<BodyBlock> bodyBlocksOf(const FileCensus& census, std::size_t bodyStart,
                                    std::size_t firstRow) {
    const std::vector<TextBlock>& blocks = census.Blocks;
    BodyBlock first{bodyStart, bodyStart, firstRow, 0};
    std::size_t i = 0;
    std::size_t leadingLines = 0;
    for (; i < blocks.size() && blocks[i].Begin < bodyStart; ++i) {
        first.End = blocks[i].End;
        leadingLines += blocks[i].DataLines;
    }
    if (leadingLines == 0) return {};
    first.Rows = leadingLines - 1;
    std::vector<BodyBlock> body{first};
    for (; i < blocks.size(); ++i)
        body.push_back({blocks[i].Begin, blocks[i].End, body.back().FirstRow + body.back().Rows,
                        blocks[i].DataLines});
    return body;
}

bool fillBlock(const std::string& file, const Cloud& cloud, const BodyBlock& block) noexcept {
    try {
        LineReader lines(file, block.Begin, block.End);
        const std::size_t end = block.FirstRow + block.Rows;
        return fillRows(lines, cloud, block.FirstRow, end) == end;
    } catch (const std::exception&) {
        return false; // the careful way tells what is wrong, and where
    }
}

// The rows in the census's blocks, each block on a thread of its own; false when any block
// meets a line it cannot take, or rows the census did not count, without touching `into`.
bool readInBlocks(const std::string& file, const FileCensus& census, const ReadOptions& options,
                  Bundle& into, const std::string& gridName) {
    std::size_t bodyStart = 0;
    const auto start = [&] { // its buffer goes before the blocks take theirs
        LineReader lines(file);
        Cloud started = startCloud(lines, census, options);
        bodyStart = lines.offset();
        return started;
    };
    Cloud cloud = start();
    const std::vector<BodyBlock> blocks = bodyBlocksOf(census, bodyStart, cloud.filled());
    if (blocks.empty() || blocks.back().FirstRow + blocks.back().Rows != cloud.capacity())
        return false;
    std::vector<char> filled(blocks.size());
    onEveryBlock(blocks.size(),
                 [&](std::size_t i) { filled[i] = fillBlock(file, cloud, blocks[i]); });
    if (std::find(filled.begin(), filled.end(), false) != filled.end()) return false;
    cloud.setFilled(cloud.capacity());
    cloud.addTo(into, gridName, options.Time);
    return true;
}

void readCloud(const std::string& file, const ReadOptions& options, Bundle& into,
               const std::string& gridName) {
    const FileCensus census = takeCensus(file);
    if (!census.BinaryProblem.empty()) throw Failure(census.BinaryProblem);
    if (census.Blocks.size() > 1 && readInBlocks(file, census, options, into, gridName)) return;
    readSerially(file, census, options, into, gridName);
}

class TextCloudReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        readCloudFile(file, options, [&](const std::string& gridName) {
            readCloud(file, options, staging, gridName);
        });
    }
};

} // namespace

const Reader& textCloudReader() {
    static const TextCloudReader reader;
    return reader;
}

} // namespace Plexa::detail
