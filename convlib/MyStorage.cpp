#include "convlib/MyStorage.hpp"

#include <typeinfo>

namespace ConvLib {

MyStorage::MyStorage(int compression, bool, bool extraSwitch, bool extraFilterFlag)
    : StorageTransformations(false), Compression(compression), ExtraSwitch(extraSwitch),
      ExtraFilterFlag(extraFilterFlag) {
    if (Compression < 0) {
        FilterDefaults.setAutomaticStrategy(NoAutomaticFilters);
    } else {
        FilterDefaults.setAutomaticStrategy(AutomaticFilters);
        FilterDefaults.NumericalShift = true;
        DeflateFields = true;
        ShuffleFields = true;
        CompactSmallFields = true;
    }
    TrackCreationOrder = ExtraSwitch;
    FilterDefaults.ExtraFilter = ExtraFilterFlag;
}

MyStorage::~MyStorage() = default;

MyStorage::FilterSettings
MyStorage::getFilterSettings(double, const std::string&, const Plexa::GridWeakPtr&,
                             const Plexa::SkeletonID&, const std::string&, const Plexa::Field&,
                             const std::string& fieldName, Plexa::CreativeArrayBase&,
                             const Quorix::StrongPtr<Plexa::FragmentID>&,
                             const Plexa::MemPtr& data) const {
    const std::type_info& elementType = data.valid() ? data->elementType() : typeid(void);
    FilterSettings settings = FilterDefaults;
    if (Compression >= 0) {
        settings.SinglePrecision = Precision.WriteAsSinglePrecision(fieldName, elementType);
        settings.NumericalShift = Precision.EnableNumericalShift(fieldName, elementType);
    }
    if (fieldName == Plexa::HeightField) {
        settings.SinglePrecision = true;
        settings.NumericalShift = false;
    }
    return settings;
}

bool MyStorage::isSaveableField(const Plexa::FieldID& id, const Plexa::Field&,
                                const Plexa::GridWeakPtr&, const std::string&, double,
                                const std::string&, const Plexa::SkeletonID&) {
    return !SaveableFields.valid() || SaveableFields->contains(id.Name);
}

} // namespace ConvLib
