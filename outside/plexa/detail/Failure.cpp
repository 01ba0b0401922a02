#include "outside/plexa/detail/Failure.hpp"

#include "outside/plexa/detail/BundleFormat.hpp"

#include <new>

namespace Plexa::detail {

std::string causeOf(const std::exception& thrown) {
    // files may declare far more values than they hold
    if (dynamic_cast<const std::bad_alloc*>(&thrown))
        return "there is not enough memory for it (std::bad_alloc)";
    return printableText(thrown.what());
}

} // namespace Plexa::detail
