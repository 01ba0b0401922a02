#include "convlib/BasicConverterDefs.hpp"

namespace ConvLib {

BasicConverterDefs::~BasicConverterDefs() = default;

std::string BasicConverterDefs::printSecondary() {
    return "\n NO Secondary parameters available";
}

} // namespace ConvLib
