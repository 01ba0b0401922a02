#include "convlib/MyStorage.hpp"

namespace ConvLib {

MyStorage::MyStorage(int compression, bool, bool extraSwitch, bool extraFilterFlag)
    : StorageTransformations(false), Compression(compression), ExtraSwitch(extraSwitch),
      ExtraFilterFlag(extraFilterFlag) {}

MyStorage::~MyStorage() = default;

MyStorage::FilterSettings MyStorage::getFilterSettings(
    double, const std::string&, const Plexa::GridWeakPtr&, const Plexa::SkeletonID&,
    const std::string&, const Plexa::Field&, const std::string&, Plexa::CreativeArrayBase&,
    const Quorix::StrongPtr<Plexa::FragmentID>&, const Plexa::MemPtr&) const {
    return FilterDefaults;
}

bool MyStorage::isSaveableField(const Plexa::FieldID&, const Plexa::Field&,
                                const Plexa::GridWeakPtr&, const std::string&, double,
                                const std::string&, const Plexa::SkeletonID&) {
    return true;
}

} // namespace ConvLib
