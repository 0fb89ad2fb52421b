#include "version.hpp"

namespace tembrel {

const char* version() noexcept { return VERSION; }

}  // namespace tembrel
