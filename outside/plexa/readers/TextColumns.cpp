#include "outside/plexa/readers/TextColumns.hpp"

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <cctype>

namespace Plexa::detail::text {

namespace {

const char* const XyzHint = "; choose the position columns with --xyz NAME,NAME,NAME";

bool namesColumns(const Words& words) {
    return std::any_of(words.begin(), words.end(), [](const Word& word) {
        double value = 0;
        return !trimmed(word.Text).empty() && !parseNumber(word.Text, value);
    });
}

std::vector<std::string> namesOf(const Words& words, bool header) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < words.size(); ++i)
        names.push_back(header ? nameOf(words[i]) : "col" + std::to_string(i + 1));
    return names;
}

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

// The columns for a message: "a", "b", "c" and 7 more.
std::string columnList(const std::vector<std::string>& names) {
    constexpr std::size_t Shown = 20;
    std::string list;
    for (std::size_t i = 0; i < std::min(names.size(), Shown); ++i)
        list += (i == 0 ? "" : ", ") + quotedText(names[i]);
    if (names.size() > Shown) list += " and " + std::to_string(names.size() - Shown) + " more";
    return list;
}

void checkNames(const std::vector<std::string>& names, std::size_t line) {
    if (names.size() < 3)
        throw lineError(line, "a point needs three coordinates, found " +
                                  std::to_string(names.size()) + " columns");
    if (names.size() > MaxColumns)
        throw lineError(line, "found " + countText(names.size()) +
                                  " columns, a cloud takes at most " + std::to_string(MaxColumns));
    const auto unnamed = std::find(names.begin(), names.end(), std::string());
    if (unnamed != names.end())
        throw lineError(line,
                        "column " + std::to_string(unnamed - names.begin() + 1) + " has no name");
    // two columns of one name would become one field, and one of them would be lost
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end())
        throw lineError(line, "column " + quotedText(*twice) + " appears twice");
}

// The columns whose name is `wanted` in any letter case.
std::vector<std::size_t> columnsNamed(const std::vector<std::string>& names,
                                      const std::string& wanted) {
    std::vector<std::size_t> found;
    for (std::size_t column = 0; column < names.size(); ++column)
        if (lowered(names[column]) == lowered(wanted)) found.push_back(column);
    return found;
}

[[noreturn]] void refuseTwoCandidates(const std::vector<std::string>& names,
                                      const std::vector<std::size_t>& found,
                                      const std::string& wanted, std::size_t line) {
    throw lineError(line, "columns " + quotedText(names[found[0]]) + " and " +
                              quotedText(names[found[1]]) + " both could be " + quotedText(wanted) +
                              XyzHint);
}

// The columns named x, y and z, each in any letter case but only once.
std::array<std::size_t, 3> namedAxes(const std::vector<std::string>& names, std::size_t line) {
    std::array<std::size_t, 3> axes{};
    std::vector<std::string> missing;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::string letter(1, "xyz"[axis]);
        const std::vector<std::size_t> found = columnsNamed(names, letter);
        if (found.size() > 1) refuseTwoCandidates(names, found, letter, line);
        if (found.empty())
            missing.push_back(letter);
        else
            axes[axis] = found.front();
    }
    if (missing.empty()) return axes;
    std::string list = missing.front();
    for (std::size_t i = 1; i < missing.size(); ++i)
        list += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
    throw lineError(line, (missing.size() == 1 ? "no column named " : "no columns named ") + list +
                              " among " + columnList(names) + XyzHint);
}

// A name as a header would give it: without the quotes around it.
std::string unquotedName(const std::string& name) {
    Words words;
    const Dialect single{'\n'}; // a delimiter no name holds: the name is one value
    if (splitWords(name, single, words) || words.size() != 1) return name;
    return nameOf(words.front());
}

// The chosen columns: a name written exactly as in the header, else in any letter case.
std::array<std::size_t, 3> chosenAxes(const std::vector<std::string>& names,
                                      const std::vector<std::string>& chosen, std::size_t line) {
    if (chosen.size() != 3)
        throw Failure("the positions need three columns, " + std::to_string(chosen.size()) +
                      " given");
    std::array<std::size_t, 3> axes{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::string wanted = unquotedName(chosen[axis]);
        const auto exact = std::find(names.begin(), names.end(), wanted);
        std::vector<std::size_t> found = columnsNamed(names, wanted);
        if (exact != names.end()) found = {static_cast<std::size_t>(exact - names.begin())};
        if (found.size() > 1) refuseTwoCandidates(names, found, wanted, line);
        if (found.empty())
            throw lineError(line, "no column " + quotedText(wanted) + " for the positions among " +
                                      columnList(names));
        axes[axis] = found.front();
        if (std::find(axes.begin(), axes.begin() + axis, axes[axis]) != axes.begin() + axis)
            throw lineError(line, "column " + quotedText(names[axes[axis]]) +
                                      " is chosen twice for the positions");
    }
    return axes;
}

} // namespace

Columns columnsOf(const Words& firstLine, std::size_t line,
                  const std::vector<std::string>& positionNames) {
    Columns columns;
    columns.Header = namesColumns(firstLine);
    columns.Names = namesOf(firstLine, columns.Header);
    checkNames(columns.Names, line);
    if (!positionNames.empty())
        columns.Axes = chosenAxes(columns.Names, positionNames, line);
    else if (columns.Header)
        columns.Axes = namedAxes(columns.Names, line);
    else
        columns.Axes = {0, 1, 2};
    for (std::size_t column = 0; column < columns.Names.size(); ++column) {
        const bool axis =
            std::find(columns.Axes.begin(), columns.Axes.end(), column) != columns.Axes.end();
        if (!axis && columns.Names[column] == PositionsField)
            throw lineError(line, "a column named \"Positions\" would replace the positions");
    }
    return columns;
}

} // namespace Plexa::detail::text
