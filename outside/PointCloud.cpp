// Point clouds in text files: ".csv" with a header line, ".xyz" with whitespace-separated columns.
#include "outside/detail/BundleFormat.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace Plexa::detail {

namespace {

using Words = std::vector<std::string_view>;

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

Words splitAtCommas(std::string_view line) {
    Words words;
    for (std::size_t start = 0;;) {
        const std::size_t comma = line.find(',', start);
        words.push_back(trimmed(line.substr(start, comma - start)));
        if (comma == std::string_view::npos) return words;
        start = comma + 1;
    }
}

Words splitAtBlanks(std::string_view line) {
    Words words;
    std::size_t start = line.find_first_not_of(" \t\r");
    while (start != std::string_view::npos) {
        const std::size_t end = line.find_first_of(" \t\r", start);
        words.push_back(line.substr(start, end - start));
        start = end == std::string_view::npos ? end : line.find_first_not_of(" \t\r", end);
    }
    return words;
}

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::runtime_error lineError(std::size_t line, const std::string& cause) {
    return std::runtime_error("line " + std::to_string(line) + ": " + printableText(cause));
}

double parseNumber(std::string_view text, std::size_t line) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw lineError(line, "bad number \"" + std::string(text) + "\"");
    return value;
}

// The cloud's columns by name; the three position columns come first.
struct Table {
    std::vector<std::string> Names;
    std::vector<std::vector<double>> Columns;

    void setNames(std::vector<std::string> names, std::size_t line) {
        if (names.size() < 3)
            throw lineError(line, "a point needs three coordinates, found " +
                                      std::to_string(names.size()) + " columns");
        // two columns of one name would become one field, and one of them would be lost
        std::vector<std::string> sorted = names;
        std::sort(sorted.begin(), sorted.end());
        auto twice = std::adjacent_find(sorted.begin(), sorted.end());
        if (twice != sorted.end()) throw lineError(line, "column \"" + *twice + "\" appears twice");
        Names = std::move(names);
        Columns.resize(Names.size());
    }

    void addRow(const Words& words, std::size_t line) {
        if (words.size() != Names.size())
            throw lineError(line, "expected " + std::to_string(Names.size()) + " values, found " +
                                      std::to_string(words.size()));
        for (std::size_t i = 0; i < words.size(); ++i)
            Columns[i].push_back(parseNumber(words[i], line));
    }
};

std::vector<std::string> xyzNames(std::size_t count) {
    std::vector<std::string> names{"x", "y", "z"};
    for (std::size_t i = names.size(); i < count; ++i)
        names.push_back("Column" + std::to_string(i + 1));
    return names;
}

Table readTable(std::istream& in, bool csv) {
    Table table;
    std::string text;
    for (std::size_t line = 1; std::getline(in, text); ++line) {
        const std::string_view content = trimmed(text);
        if (content.empty() || content.front() == '#') continue;
        if (csv && table.Names.empty()) {
            const Words header = splitAtCommas(content);
            table.setNames(std::vector<std::string>(header.begin(), header.end()), line);
            continue;
        }
        const Words words = csv ? splitAtCommas(content) : splitAtBlanks(content);
        if (table.Names.empty()) table.setNames(xyzNames(words.size()), line);
        table.addRow(words, line);
    }
    if (table.Columns.empty() || table.Columns.front().empty())
        throw std::runtime_error("no points");
    return table;
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

void addToBundle(const Table& table, const std::string& gridName, Bundle& into) {
    GridPtr grid = into.addSlice(0.0)->addGrid(gridName);
    const std::size_t points = table.Columns.front().size();
    const std::vector<std::size_t> axes = positionColumns(table.Names);
    MemArrayPtr<double> positions = makeArray<double>(points, 3);
    for (std::size_t point = 0; point < points; ++point)
        for (int axis = 0; axis < 3; ++axis)
            (*positions)(point, axis) = table.Columns[axes[static_cast<std::size_t>(axis)]][point];
    grid->addField("Positions", positions);
    for (std::size_t column = 0; column < table.Names.size(); ++column) {
        if (std::count(axes.begin(), axes.end(), column) > 0) continue;
        if (table.Names[column] == "Positions")
            throw std::runtime_error("a column named \"Positions\" would replace the positions");
        MemArrayPtr<double> values = makeArray<double>(points);
        std::copy(table.Columns[column].begin(), table.Columns[column].end(), values->data());
        grid->addField(table.Names[column], values);
    }
}

} // namespace

bool readPointCloud(const std::string& file, Bundle& into, std::string& error) noexcept {
    try {
        if (std::string problem = fileProblem(file); !problem.empty())
            throw std::runtime_error(problem);
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot open the file");
        const std::filesystem::path path(file);
        const Table table = readTable(in, lowered(path.extension().string()) == ".csv");
        addToBundle(table, path.stem().string(), into);
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    return false;
}

} // namespace Plexa::detail
