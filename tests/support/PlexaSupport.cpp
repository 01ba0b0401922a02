#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

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

template <class T> Quorix::StrongPtr<Quorix::ChunkBase> chunkOf(std::initializer_list<T> values) {
    return Quorix::StrongPtr<Quorix::ChunkBase>(new Quorix::Chunk<T>(values));
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

template <class T> bool sameChunk(const Quorix::ChunkBase& a, const Quorix::ChunkBase& b) {
    auto* left = dynamic_cast<const Quorix::Chunk<T>*>(&a);
    auto* right = dynamic_cast<const Quorix::Chunk<T>*>(&b);
    return left && right && static_cast<const std::vector<T>&>(*left) == *right;
}

void expectSameAttributes(const Quorix::Attributes& expected, const Quorix::Attributes& actual,
                          const std::string& where) {
    ASSERT_EQ(expected.attributes().size(), actual.attributes().size()) << where;
    for (const auto& [key, value] : expected.attributes()) {
        Quorix::StrongPtr<Quorix::ChunkBase> other = actual.getAttribute(key);
        ASSERT_TRUE(other) << where << " attribute " << key;
        EXPECT_TRUE(sameChunk<std::string>(*value, *other) || sameChunk<double>(*value, *other) ||
                    sameChunk<std::int64_t>(*value, *other) ||
                    sameChunk<std::int32_t>(*value, *other))
            << where << " attribute " << key;
    }
}

} // namespace

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
    ASSERT_EQ(expected.slices().size(), actual.slices().size());
    for (const auto& [time, slice] : expected.slices()) {
        Plexa::SlicePtr other = actual.findSlice(time);
        ASSERT_TRUE(other) << "time " << time;
        ASSERT_EQ(slice->grids().size(), other->grids().size()) << "time " << time;
        for (const auto& [name, grid] : slice->grids()) {
            Plexa::GridPtr otherGrid = other->findGrid(name);
            ASSERT_TRUE(otherGrid) << "grid " << name;
            const std::string where = "time " + std::to_string(time) + " grid " + name;
            expectSameAttributes(*grid, *otherGrid, where);
            ASSERT_EQ(grid->fields().size(), otherGrid->fields().size()) << where;
            for (const auto& [fieldName, field] : grid->fields()) {
                const Plexa::Field* otherField = otherGrid->findField(fieldName);
                ASSERT_NE(otherField, nullptr) << where << " field " << fieldName;
                expectSameData(*field.Data, *otherField->Data, floatTolerance,
                               where + " field " + fieldName);
            }
        }
    }
}

Plexa::BundlePtr loadBundle(const std::string& file) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    EXPECT_TRUE(success) << bundle->lastError();
    return bundle;
}

bool TestStorage::record(const char* hook, const std::string& field,
                         const std::set<std::string>& names, bool answerWhenListed) const {
    Calls.push_back(std::string(hook) + " " + field);
    return names.count(field) > 0 ? answerWhenListed : !answerWhenListed;
}

TestStorage::FilterSettings
TestStorage::getFilterSettings(double, const std::string&, const Plexa::GridWeakPtr&,
                               const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                               const std::string& fieldName, Plexa::CreativeArrayBase&,
                               const Quorix::StrongPtr<Plexa::FragmentID>&,
                               const Plexa::MemPtr&) const {
    Calls.push_back("getFilterSettings " + fieldName);
    return Answer;
}

bool TestStorage::SkipStorage(double, const std::string&, const Plexa::GridWeakPtr&,
                              const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                              const std::string& fieldName, Plexa::CreativeArrayBase&,
                              const Quorix::StrongPtr<Plexa::FragmentID>&) const {
    return record("SkipStorage", fieldName, SkippedFields, true);
}

bool TestStorage::setFieldPacking(double, const std::string&, const Plexa::GridWeakPtr&,
                                  const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                                  const std::string& fieldName, Plexa::CreativeArrayBase&,
                                  const Quorix::StrongPtr<Plexa::FragmentID>&) const {
    Calls.push_back("setFieldPacking " + fieldName);
    return false;
}

bool TestStorage::isSaveableField(const Plexa::FieldID& id, const Plexa::Field&,
                                  const Plexa::GridWeakPtr&, const std::string&, double,
                                  const std::string&, const Plexa::SkeletonID&) {
    return record("isSaveableField", id.Name, UnsaveableFields, false);
}

bool TestStorage::isSaveableFragment(
    const Quorix::StrongPtr<Plexa::FragmentID>&,
    const Quorix::StrongPtr<Plexa::CreativeArrayBase, Quorix::Creature>&, const Plexa::FieldID& id,
    const Plexa::Field&, const Plexa::GridWeakPtr&, const std::string&, double, const std::string&,
    const Plexa::SkeletonID&) {
    Calls.push_back("isSaveableFragment " + id.Name);
    return true;
}

bool TestStorage::isSaved(const Quorix::StrongPtr<Plexa::CreativeArrayBase, Quorix::Creature>&,
                          const Quorix::StrongPtr<Plexa::FragmentID>&, const Plexa::FieldID& id,
                          const Plexa::Field&, const Plexa::GridWeakPtr&, const std::string&,
                          double, const std::string&, const Plexa::SkeletonID&) {
    return record("isSaved", id.Name, SavedFields, true);
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
