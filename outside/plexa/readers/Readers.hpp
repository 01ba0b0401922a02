// The input formats that the registry knows. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"

namespace Plexa::detail {

const Reader& bundleFileReader();
const Reader& textCloudReader();
const Reader& plyReader();

} // namespace Plexa::detail
