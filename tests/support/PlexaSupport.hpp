// Helpers for the data-model tests: sample bundles, a configurable storage policy and comparison.
#pragma once

#include "outside/Plexa.hpp"

#include <set>
#include <string>
#include <vector>

namespace ConvLibTest {

// A bundle of two time steps with grids, every kind of field the tests need and attributes.
Plexa::BundlePtr makeSampleBundle();

// Fails the current test where the bundles differ; float data may differ by the relative
// tolerance `floatTolerance`, everything else must be exact.
void expectSameBundles(const Plexa::Bundle& expected, const Plexa::Bundle& actual,
                       double floatTolerance = 0);

Plexa::BundlePtr loadBundle(const std::string& file);

// A policy whose answers the test sets, and which records the hooks it was asked.
class TestStorage : public Plexa::StorageTransformations {
public:
    TestStorage() : StorageTransformations(false) {}

    FilterSettings Answer;
    std::set<std::string> UnsaveableFields;
    std::set<std::string> SkippedFields;
    std::set<std::string> SavedFields;
    mutable std::vector<std::string> Calls;

    FilterSettings getFilterSettings(double, const std::string&, const Plexa::GridWeakPtr&,
                                     const Plexa::SkeletonID&, const std::string&,
                                     const Plexa::Field&, const std::string& fieldName,
                                     Plexa::CreativeArrayBase&,
                                     const Quorix::StrongPtr<Plexa::FragmentID>&,
                                     const Plexa::MemPtr&) const override;
    bool SkipStorage(double, const std::string&, const Plexa::GridWeakPtr&,
                     const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                     const std::string& fieldName, Plexa::CreativeArrayBase&,
                     const Quorix::StrongPtr<Plexa::FragmentID>&) const override;
    bool setFieldPacking(double, const std::string&, const Plexa::GridWeakPtr&,
                         const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                         const std::string& fieldName, Plexa::CreativeArrayBase&,
                         const Quorix::StrongPtr<Plexa::FragmentID>&) const override;
    bool isSaveableField(const Plexa::FieldID& id, const Plexa::Field&, const Plexa::GridWeakPtr&,
                         const std::string&, double, const std::string&,
                         const Plexa::SkeletonID&) override;
    bool isSaveableFragment(const Quorix::StrongPtr<Plexa::FragmentID>&,
                            const Quorix::StrongPtr<Plexa::CreativeArrayBase, Quorix::Creature>&,
                            const Plexa::FieldID& id, const Plexa::Field&,
                            const Plexa::GridWeakPtr&, const std::string&, double,
                            const std::string&, const Plexa::SkeletonID&) override;
    bool isSaved(const Quorix::StrongPtr<Plexa::CreativeArrayBase, Quorix::Creature>&,
                 const Quorix::StrongPtr<Plexa::FragmentID>&, const Plexa::FieldID& id,
                 const Plexa::Field&, const Plexa::GridWeakPtr&, const std::string&, double,
                 const std::string&, const Plexa::SkeletonID&) override;

private:
    bool record(const char* hook, const std::string& field, const std::set<std::string>& names,
                bool answerWhenListed) const;
};

using TestStoragePtr = Quorix::StrongPtr<TestStorage, Quorix::InterfaceBase>;
inline TestStoragePtr makeTestStorage() {
    return TestStoragePtr(new TestStorage);
}

// The policy's answer for strategy 1 with the given precision flags.
Plexa::StorageTransformations::FilterSettings automaticSettings(bool singlePrecision,
                                                                bool numericalShift);

} // namespace ConvLibTest
