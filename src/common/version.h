#pragma once
// The version every program of MVO prints with --version; set once, in the top CMakeLists.txt.
namespace mvo::common {
#ifdef MVO_VERSION
inline constexpr const char* kVersion = MVO_VERSION;
#else
inline constexpr const char* kVersion = "unknown";
#endif
}  // namespace mvo::common
