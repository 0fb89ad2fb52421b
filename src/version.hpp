#pragma once

namespace tembrel {

/// The library's version string.
inline constexpr const char* VERSION = "0.3.0";

/// Returns `VERSION`.
const char* version() noexcept;

}  // namespace tembrel
