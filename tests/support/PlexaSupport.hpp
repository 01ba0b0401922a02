// Helpers for the data-model tests: sample bundles, a configurable storage policy and comparison.
#pragma once

#include "outside/Plexa.hpp"
#include "tests/support/TestSupport.hpp"

#include <set>
#include <string>
#include <vector>

namespace ConvLibTest {

// A bundle of three time steps with grids, every kind of field the tests need, attributes and
// names that need escaping.
Plexa::BundlePtr makeSampleBundle();

// A structured grid of the given extents (slowest first), uniform or rectilinear (unevenly spaced,
// the second axis decreasing as latitudes do), put into the slice under name. Fields: "Temperature"
// (float, the value of each node its index, NaN at node 1) and "Wind" (double, 3 components);
// attributes on the grid and on both fields.
Plexa::GridPtr addStructuredGrid(Plexa::Slice& slice, const std::string& name,
                                 const std::vector<std::size_t>& extents, bool uniform);

// Fails the current test where the bundles differ (topologies and field attributes included); float
// data may differ by the relative tolerance `floatTolerance`, everything else must be exact.
void expectSameBundles(const Plexa::Bundle& expected, const Plexa::Bundle& actual,
                       double floatTolerance = 0);

// A load of the file through its reader, and why it failed: empty when it did not.
struct Loaded {
    Plexa::BundlePtr Bundle;
    std::string Error;
};
Loaded tryLoad(const std::string& file, const Plexa::ReadOptions& options = {});

// The bundle in the file; a failed load fails the test and gives an empty bundle.
Plexa::BundlePtr loadBundle(const std::string& file);
Plexa::GridPtr firstGrid(const std::string& file, const std::string& name);

using ChunkPtr = Quorix::StrongPtr<Quorix::ChunkBase>;
template <class T> ChunkPtr chunkOf(std::initializer_list<T> values) {
    return ChunkPtr(new Quorix::Chunk<T>(values));
}
// The texts of a text attribute; none when it is missing or holds no texts.
Names textsOf(const Plexa::Grid& grid, const std::string& key);

using Stored = std::vector<Plexa::StoredField>;
// How the file stores each field.
Stored describe(const std::string& file);
// The stored field, or one without a name when the file holds none such.
const Plexa::StoredField& findStored(const Stored& fields, const std::string& grid,
                                     const std::string& field, double time = 0);

// A policy whose answers the test sets, and which records the hooks it was asked.
class TestStorage : public Plexa::StorageTransformations {
public:
    using ArrayPtr = Quorix::StrongPtr<Plexa::CreativeArrayBase, Quorix::Creature>;
    using FragmentPtr = Quorix::StrongPtr<Plexa::FragmentID>;

    TestStorage() : StorageTransformations(false) {}

    FilterSettings Answer;
    std::set<std::string> UnsaveableFields;
    std::set<std::string> SkippedFields;
    std::set<std::string> SavedFields;
    mutable std::vector<std::string> Calls;

    bool isSaveableField(const Plexa::FieldID& id, const Plexa::Field&, const Plexa::GridWeakPtr&,
                         const std::string&, double, const std::string&,
                         const Plexa::SkeletonID&) override {
        return !record("isSaveableField", id.Name, UnsaveableFields);
    }
    bool SkipStorage(double, const std::string&, const Plexa::GridWeakPtr&,
                     const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                     const std::string& name, Plexa::CreativeArrayBase&,
                     const FragmentPtr&) const override {
        return record("SkipStorage", name, SkippedFields);
    }
    bool isSaveableFragment(const FragmentPtr&, const ArrayPtr&, const Plexa::FieldID& id,
                            const Plexa::Field&, const Plexa::GridWeakPtr&, const std::string&,
                            double, const std::string&, const Plexa::SkeletonID&) override {
        return !record("isSaveableFragment", id.Name, {});
    }
    bool isSaved(const ArrayPtr&, const FragmentPtr&, const Plexa::FieldID& id, const Plexa::Field&,
                 const Plexa::GridWeakPtr&, const std::string&, double, const std::string&,
                 const Plexa::SkeletonID&) override {
        return record("isSaved", id.Name, SavedFields);
    }
    bool setFieldPacking(double, const std::string&, const Plexa::GridWeakPtr&,
                         const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                         const std::string& name, Plexa::CreativeArrayBase&,
                         const FragmentPtr&) const override {
        return record("setFieldPacking", name, {});
    }
    FilterSettings getFilterSettings(double, const std::string&, const Plexa::GridWeakPtr&,
                                     const Plexa::SkeletonID&, const std::string&,
                                     const Plexa::Field&, const std::string& name,
                                     Plexa::CreativeArrayBase&, const FragmentPtr&,
                                     const Plexa::MemPtr&) const override {
        record("getFilterSettings", name, {});
        return Answer;
    }

private:
    // Notes the call; whether the field is in `names`.
    bool record(const char* hook, const std::string& field,
                const std::set<std::string>& names) const {
        Calls.push_back(std::string(hook) + " " + field);
        return names.count(field) > 0;
    }
};

using TestStoragePtr = Quorix::StrongPtr<TestStorage, Quorix::InterfaceBase>;
inline TestStoragePtr makeTestStorage() {
    return TestStoragePtr(new TestStorage);
}

// The policy's answer for strategy 1 with the given precision flags.
Plexa::StorageTransformations::FilterSettings automaticSettings(bool singlePrecision,
                                                                bool numericalShift);

} // namespace ConvLibTest
