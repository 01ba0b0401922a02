// The storage policy the converters hand to the data model: compression strategy from the sign of
// the compression setting, precision from the data model's rules, "Height" always single and
// unshifted, and an optional list of the fields to write.
#pragma once

#include "convlib/BasicConverterDefs.hpp"
#include "outside/Plexa.hpp"
#include "outside/Quorix.hpp"

#include <string>

namespace ConvLib {

class CONVLIB_API MyStorage : public Plexa::StorageTransformations {
public:
    // The second argument is accepted for compatibility and not used.
    MyStorage(int compression, bool unused, bool extraSwitch, bool extraFilterFlag);
    ~MyStorage() override;

    FilterSettings getFilterSettings(double time, const std::string& gridName,
                                     const Plexa::GridWeakPtr& grid,
                                     const Plexa::SkeletonID& skeleton,
                                     const std::string& skeletonName, const Plexa::Field& field,
                                     const std::string& fieldName, Plexa::CreativeArrayBase& array,
                                     const Quorix::StrongPtr<Plexa::FragmentID>& fragment,
                                     const Plexa::MemPtr& data) const override;
    bool isSaveableField(const Plexa::FieldID& id, const Plexa::Field& field,
                         const Plexa::GridWeakPtr& grid, const std::string& gridName, double time,
                         const std::string& skeletonName,
                         const Plexa::SkeletonID& skeleton) override;

    int Compression;
    bool ExtraSwitch;
    bool ExtraFilterFlag;
    FilterSettings FilterDefaults;
    // Empty: every field is written.
    Quorix::StrongPtr<Quorix::StringList> SaveableFields;
};

} // namespace ConvLib
