#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ConvLibTest {

namespace {

template <class T>
Plexa::MemPtr filledArray(std::size_t tuples, int components, double scale, double offset) {
    Plexa::MemArrayPtr<T> array = Plexa::makeArray<T>(tuples, components);
    for (std::size_t i = 0; i < array->elementCount(); ++i)
        array->data()[i] = static_cast<T>(offset + scale * static_cast<double>(i % 97));
    return array;
}

void fillGrid(Plexa::Grid& grid, double time) {
    grid.addField("Positions", filledArray<double>(50, 3, 0.25, 6.0e5 + time));
    grid.addField("Temperature", filledArray<float>(50, 1, 0.5, -20));
    grid.addField("Labels", filledArray<std::int32_t>(50, 1, 1, -40));
    grid.addField("Ids", filledArray<std::uint64_t>(50, 1, 1e15, 0));
    grid.addField("Flags", filledArray<std::uint8_t>(50, 2, 1, 0));
    grid.addField("Nothing", filledArray<std::int16_t>(0, 1, 1, 0));
    grid.setAttribute("Provenance",
                      chunkOf<std::string>({"first\nblock\n", "second, UTF-8: \xc3\xa9"}));
    grid.setAttribute("Scales", chunkOf<double>({1.5, -2.25, 1e300}));
    grid.setAttribute("Counts", chunkOf<std::int64_t>({-1, 1ll << 40}));
    grid.setAttribute("Small", chunkOf<std::int32_t>({7}));
}

void expectSameData(const Plexa::MemBase& expected, const Plexa::MemBase& actual, double tolerance,
                    const std::string& where) {
    ASSERT_EQ(expected.elementType(), actual.elementType()) << where;
    ASSERT_EQ(expected.size(), actual.size()) << where;
    ASSERT_EQ(expected.components(), actual.components()) << where;
    if (tolerance == 0 || expected.elementType() != typeid(double)) {
        if (expected.byteSize() > 0) {
            EXPECT_EQ(0, std::memcmp(expected.rawData(), actual.rawData(), expected.byteSize()))
                << where;
        }
        return;
    }
    auto* want = static_cast<const double*>(expected.rawData());
    auto* have = static_cast<const double*>(actual.rawData());
    for (std::size_t i = 0; i < expected.elementCount(); ++i)
        ASSERT_NEAR(want[i], have[i], tolerance * std::max(1.0, std::abs(want[i]))) << where;
}

template <class T> const std::vector<T>* valuesOf(const Quorix::ChunkBase& chunk) {
    return dynamic_cast<const Quorix::Chunk<T>*>(&chunk);
}

// Chunks of the same element type, and equal.
template <class... T> bool sameChunk(const Quorix::ChunkBase& a, const Quorix::ChunkBase& b) {
    return ((valuesOf<T>(a) && valuesOf<T>(b) && *valuesOf<T>(a) == *valuesOf<T>(b)) || ...);
}

template <class Map> std::vector<typename Map::key_type> keysOf(const Map& map) {
    std::vector<typename Map::key_type> keys;
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

const char* const AxisNames[] = {"level", "latitude", "longitude"};

Plexa::Axis makeAxis(std::size_t index, std::size_t extent, bool uniform) {
    Plexa::Axis axis;
    axis.Name = AxisNames[index];
    axis.Extent = extent;
    axis.Origin = 10.0 * static_cast<double>(index) - 5;
    axis.Spacing = index == 1 ? -0.5 : 0.25;
    if (!uniform)
        for (std::size_t i = 0; i < extent; ++i)
            axis.Coordinates.push_back(axis.Origin +
                                       axis.Spacing * (double(i) + 0.1 * double(i * i)));
    return axis;
}

template <class Attributes>
void sameAttributes(const Attributes& expected, const Attributes& actual,
                    const std::string& where) {
    ASSERT_EQ(keysOf(expected.attributes()), keysOf(actual.attributes())) << where;
    for (const auto& [key, value] : expected.attributes())
        EXPECT_TRUE((sameChunk<std::string, double, std::int64_t, std::int32_t>(
            *value, *actual.getAttribute(key))))
            << where << " attribute " << key;
}

} // namespace

Plexa::GridPtr addStructuredGrid(Plexa::Slice& slice, const std::string& name,
                                 const std::vector<std::size_t>& extents, bool uniform) {
    Plexa::Topology topology;
    // the last axis is longitude, the one before latitude, whatever their number
    const std::size_t first = 3 - extents.size();
    for (std::size_t i = 0; i < extents.size(); ++i)
        topology.Axes.push_back(makeAxis(first + i, extents[i], uniform));
    Plexa::GridPtr grid = slice.addGrid(name);
    std::string error;
    EXPECT_TRUE(grid->setTopology(topology, error)) << error;
    const std::size_t nodes = topology.nodeCount();
    auto temperature = Plexa::makeArray<float>(nodes);
    for (std::size_t i = 0; i < nodes; ++i)
        temperature->data()[i] = static_cast<float>(i);
    if (nodes > 1) temperature->data()[1] = std::nanf("");
    grid->addField("Temperature", temperature)
        .Attributes.setAttribute("units", chunkOf<std::string>({"K"}));
    Plexa::Field& wind = grid->addField("Wind", filledArray<double>(nodes, 3, 0.5, -3));
    wind.Attributes.setAttribute("Shift", chunkOf<double>({1, 2})); // a name the file uses itself
    wind.Attributes.setAttribute("valid_range", chunkOf<std::int32_t>({-50, 50}));
    grid->setAttribute("source", chunkOf<std::string>({"model run 7"}));
    return grid;
}

Plexa::BundlePtr makeSampleBundle() {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    for (double time : {0.0, 0.5, 2.0}) {
        Plexa::SlicePtr slice = bundle->addSlice(time);
        fillGrid(*slice->addGrid("Mesh"), time);
        fillGrid(*slice->addGrid("a/b%2F.c"), time);
    }
    bundle->findSlice(2.0)->addGrid(".hidden")->addField("1%/", filledArray<double>(3, 1, 1, 0));
    bundle->findSlice(2.0)->addGrid("")->addField("", filledArray<float>(2, 1, 1, 0));
    return bundle;
}

void expectSameBundles(const Plexa::Bundle& expected, const Plexa::Bundle& actual,
                       double floatTolerance) {
    ASSERT_EQ(keysOf(expected.slices()), keysOf(actual.slices()));
    for (const auto& [time, slice] : expected.slices()) {
        const Plexa::Slice& other = *actual.findSlice(time);
        ASSERT_EQ(keysOf(slice->grids()), keysOf(other.grids())) << "time " << time;
        for (const auto& [name, grid] : slice->grids()) {
            const Plexa::Grid& otherGrid = *other.findGrid(name);
            const std::string where = "time " + std::to_string(time) + " grid " + name;
            sameAttributes(*grid, otherGrid, where);
            EXPECT_TRUE(grid->topology() == otherGrid.topology())
                << where << ": " << grid->topology().summary() << " became "
                << otherGrid.topology().summary();
            ASSERT_EQ(keysOf(grid->fields()), keysOf(otherGrid.fields())) << where;
            for (const auto& [fieldName, field] : grid->fields()) {
                const Plexa::Field& other = *otherGrid.findField(fieldName);
                expectSameData(*field.Data, *other.Data, floatTolerance,
                               where + " field " + fieldName);
                sameAttributes(field.Attributes, other.Attributes, where + " field " + fieldName);
            }
        }
    }
}

Loaded tryLoad(const std::string& file, const Plexa::ReadOptions& options) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr(), options);
    return {bundle, success ? std::string() : bundle->lastError()};
}

Plexa::BundlePtr loadBundle(const std::string& file) {
    Loaded loaded = tryLoad(file);
    EXPECT_EQ(loaded.Error, "");
    return loaded.Bundle;
}

Plexa::GridPtr firstGrid(const std::string& file, const std::string& name) {
    Plexa::BundlePtr bundle = loadBundle(file);
    return bundle->slices().empty() ? Plexa::GridPtr()
                                    : bundle->slices().begin()->second->findGrid(name);
}

Names textsOf(const Plexa::Grid& grid, const std::string& key) {
    Quorix::DynPtr<Quorix::Chunk<std::string>, Quorix::ChunkBase> texts(grid.getAttribute(key));
    return texts ? Names(texts->begin(), texts->end()) : Names();
}

Stored describe(const std::string& file) {
    Stored fields;
    std::string error;
    EXPECT_TRUE(Plexa::describeFile(file, fields, error)) << error;
    return fields;
}

const Plexa::StoredField& findStored(const Stored& fields, const std::string& grid,
                                     const std::string& field, double time) {
    static const Plexa::StoredField absent{};
    auto found = std::find_if(fields.begin(), fields.end(), [&](const Plexa::StoredField& f) {
        return f.Time == time && f.Grid == grid && f.Field == field;
    });
    return found == fields.end() ? absent : *found;
}

Plexa::StorageTransformations::FilterSettings automaticSettings(bool singlePrecision,
                                                                bool numericalShift) {
    Plexa::StorageTransformations::FilterSettings settings;
    settings.setAutomaticStrategy(Plexa::StorageTransformations::AutomaticFilters);
    settings.SinglePrecision = singlePrecision;
    settings.NumericalShift = numericalShift;
    return settings;
}

} // namespace ConvLibTest
