// The one merge rule: grids by time and name, fields by name, and what clashes on the way.
#include "outside/Plexa.hpp"

#include <cstring>

namespace Plexa {

namespace {

using Kind = MergeConflict::Kind;

// The field that says how many points a grid has: its positions, or else its first field.
const Field* countingField(const Grid& grid) {
    const Field* positions = grid.findField(PositionsField);
    if (positions && positions->Data) return positions;
    for (const auto& [name, field] : grid.fields())
        if (field.Data) return &field;
    return nullptr;
}

std::size_t pointCount(const Grid& grid) {
    const Field* counting = countingField(grid);
    return counting ? counting->Data->size() : 0;
}

bool identical(const MemBase& first, const MemBase& second) {
    return first.elementType() == second.elementType() &&
           first.components() == second.components() && first.size() == second.size() &&
           (first.byteSize() == 0 ||
            std::memcmp(first.rawData(), second.rawData(), first.byteSize()) == 0);
}

MergeConflict conflict(Kind kind, double time, const std::string& grid) {
    MergeConflict found;
    found.What = kind;
    found.Time = time;
    found.Grid = grid;
    return found;
}

void joinGrid(Grid& existing, const Grid& grid) {
    for (const auto& [name, field] : grid.fields())
        existing.addField(name, field.Data) = field; // attributes and packing too
    for (const auto& [key, value] : grid.attributes())
        existing.setAttribute(key, value);
    existing.touch();
}

bool anyRefused(const std::vector<MergeConflict>& conflicts, const MergeOptions& options) {
    for (const MergeConflict& found : conflicts)
        if (options.refuses(found.What)) return true;
    return false;
}

} // namespace

bool MergeOptions::refuses(MergeConflict::Kind kind) const noexcept {
    switch (kind) {
    case Kind::Layout:
        return RefuseLayouts;
    case Kind::Points:
        return RefusePoints;
    case Kind::Values:
        return RefuseValues;
    }
    return true;
}

std::vector<MergeConflict> mergeConflicts(const Slice& into, const Grid& grid) {
    const GridPtr existing = into.findGrid(grid.name());
    if (!existing) return {};
    const double time = into.time();
    if (existing->topology() != grid.topology()) {
        MergeConflict layout = conflict(Kind::Layout, time, grid.name());
        layout.Incoming = grid.topology().summary();
        layout.Existing = existing->topology().summary();
        return {layout};
    }
    const std::size_t points = pointCount(*existing);
    const std::size_t given = pointCount(grid);
    if (countingField(*existing) && countingField(grid) && points != given) {
        MergeConflict counts = conflict(Kind::Points, time, grid.name());
        counts.Incoming = std::to_string(given);
        counts.Existing = std::to_string(points);
        return {counts};
    }
    std::vector<MergeConflict> differing;
    for (const auto& [name, field] : grid.fields()) {
        const Field* other = existing->findField(name);
        if (!other || !other->Data || !field.Data || identical(*other->Data, *field.Data)) continue;
        differing.push_back(conflict(Kind::Values, time, grid.name()));
        differing.back().Field = name;
    }
    return differing;
}

std::vector<MergeConflict> mergeGrid(Slice& into, const GridPtr& grid,
                                     const MergeOptions& options) {
    std::vector<MergeConflict> conflicts = mergeConflicts(into, *grid);
    if (anyRefused(conflicts, options)) return conflicts;
    if (GridPtr existing = into.findGrid(grid->name()))
        joinGrid(*existing, *grid);
    else
        into.insertGrid(grid);
    return conflicts;
}

std::vector<MergeConflict> mergeBundle(Bundle& into, const Bundle& from,
                                       const MergeOptions& options) {
    std::vector<MergeConflict> conflicts;
    for (const auto& [time, slice] : from.slices())
        if (const SlicePtr existing = into.findSlice(time))
            for (const auto& [name, grid] : slice->grids()) {
                std::vector<MergeConflict> found = mergeConflicts(*existing, *grid);
                conflicts.insert(conflicts.end(), found.begin(), found.end());
            }
    if (anyRefused(conflicts, options)) return conflicts;
    const MergeOptions checked{false, false, false};
    for (const auto& [time, slice] : from.slices()) {
        const SlicePtr target = into.addSlice(time);
        for (const auto& [name, grid] : slice->grids())
            mergeGrid(*target, grid, checked);
    }
    return conflicts;
}

} // namespace Plexa
