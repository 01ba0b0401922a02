// Point clouds in text files (".csv", ".xyz"): one dialect detection for both, then the rows
// straight into arrays made in their final size.
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/readers/Readers.hpp"
#include "outside/plexa/readers/TextColumns.hpp"
#include "outside/plexa/readers/TextDialect.hpp"
#include "outside/plexa/readers/TextLines.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <filesystem>

namespace Plexa::detail {

namespace {

using namespace text;

// Padding between two values around one delimiter, or a run of blanks; null where none is.
template <char Delimiter> const char* afterSeparator(const char* cursor, const char* end) {
    constexpr auto padding = [](char c) { return isPadding(c, Delimiter); };
    const char* next = std::find_if_not(cursor, end, padding);
    if constexpr (Delimiter == ' ') return next == cursor ? nullptr : next;
    if (next == end || *next != Delimiter) return nullptr;
    return std::find_if_not(next + 1, end, padding);
}

// The cloud's arrays, made in their final size; each column's values go straight to their place.
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

    // A well-formed row in one pass over its text; false leaves the row to addRow, which names
    // what is wrong with it. A row that starts with a quote is taken with every value quoted.
    template <char Delimiter> bool addPlainRow(std::string_view row) {
        return !row.empty() && row.front() == '"' ? addPlainRowOf<Delimiter, true>(row)
                                                  : addPlainRowOf<Delimiter, false>(row);
    }

    void addRow(std::string_view row, std::size_t line) {
        if (const char* problem = splitWords(row, Format, Words)) throw lineError(line, problem);
        if (Words.size() != Names.size())
            throw lineError(line, "expected " + std::to_string(Names.size()) + " values, found " +
                                      countText(Words.size()) + " (separated by " +
                                      delimiterName(Format.Delimiter) + ")");
        Values.resize(Words.size());
        for (std::size_t column = 0; column < Words.size(); ++column)
            Values[column] = valueOf(Words[column], column, line);
        // a row the census did not see: a bad one is reported as such, a good one means the file
        // grew
        if (Rows == Capacity) throw std::runtime_error("the file changed while it was read");
        for (std::size_t column = 0; column < Values.size(); ++column)
            Targets[column].at(Rows) = Values[column];
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
    template <char Delimiter, bool Quoted> bool addPlainRowOf(std::string_view row) {
        if (Rows == Capacity) return false;
        const char* cursor = row.data();
        const char* const end = cursor + row.size();
        // locals, which the stores through double pointers cannot change
        const Target* const targets = Targets.data();
        const std::size_t columns = Targets.size();
        const std::size_t at = Rows;
        for (std::size_t i = 0; i < columns; ++i) {
            if (i > 0 && !(cursor = afterSeparator<Delimiter>(cursor, end))) return false;
            if (Quoted && (cursor == end || *cursor++ != '"')) return false;
            if (cursor != end && *cursor == '+' && ++cursor != end && *cursor == '-') return false;
            double value = 0;
            const auto [next, error] = std::from_chars(cursor, end, value);
            if (error != std::errc()) return false;
            cursor = next;
            if (Quoted && (cursor == end || *cursor++ != '"')) return false;
            targets[i].at(at) = value;
        }
        if (cursor != end || !hasFinitePosition(at)) return false;
        ++Rows;
        return true;
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
    std::size_t Rows = 0;
    Dialect Format;
    MemArrayPtr<double> Positions;
    std::vector<MemArrayPtr<double>> Fields; // empty for the position columns
    std::vector<Target> Targets;
    text::Words Words;          // of the row at hand, on the slow path
    std::vector<double> Values; // of the row at hand, on the slow path
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
Cloud startCloud(std::string_view line, const LineReader& lines, const FileCensus& census,
                 const ReadOptions& options) {
    const std::size_t number = lines.lineNumber();
    std::vector<std::string_view> sample =
        rowsIn(lines.ahead(), lines.aheadReachesEnd(), SampleRows);
    sample.insert(sample.begin(), line);
    const Dialect dialect = detectDialect(sample, number, options.Delimiter);
    const std::string_view row = dialect.rowText(line, trimmed(line));
    text::Words words;
    if (const char* problem = splitWords(row, dialect, words)) throw lineError(number, problem);
    Columns columns = columnsOf(words, number, options.PositionColumns);
    const bool header = columns.Header;
    const std::size_t capacity = rowsAtMost(census, columns.Names.size(), header);
    Cloud cloud(std::move(columns), capacity, dialect);
    if (!header) cloud.addRow(row, number);
    return cloud;
}

// The rows after the first line, in a loop made for the delimiter.
template <char Delimiter> void addRows(LineReader& lines, Cloud& cloud) {
    for (std::string_view line; lines.next(line);) {
        const std::string_view content = trimmed(line);
        if (!holdsData(content)) continue;
        const std::string_view row = Dialect{Delimiter}.rowText(line, content);
        if (!cloud.addPlainRow<Delimiter>(row)) cloud.addRow(row, lines.lineNumber());
    }
}

void addRows(LineReader& lines, Cloud& cloud) {
    switch (cloud.dialect().Delimiter) {
    case ',':
        return addRows<','>(lines, cloud);
    case ';':
        return addRows<';'>(lines, cloud);
    case '\t':
        return addRows<'\t'>(lines, cloud);
    default:
        return addRows<' '>(lines, cloud);
    }
}

void readCloud(const std::string& file, const ReadOptions& options, Bundle& into,
               const std::string& gridName) {
    const FileCensus census = takeCensus(file);
    if (!census.BinaryProblem.empty()) throw std::runtime_error(census.BinaryProblem);
    LineReader lines(file);
    std::string_view line;
    bool found = false;
    while (!found && lines.next(line))
        found = holdsData(trimmed(line));
    if (!found) throw std::runtime_error("no points");
    Cloud cloud = startCloud(line, lines, census, options);
    addRows(lines, cloud);
    cloud.addTo(into, gridName, options.Time);
}

class TextCloudReader final : public Reader {
public:
    const char* formatName() const override { return "text point cloud"; }

    bool read(const std::string& file, const ReadOptions& options, Bundle& staging,
              std::string& error) const noexcept override {
        return readCloudFile(file, options, error, [&](const std::string& gridName) {
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
