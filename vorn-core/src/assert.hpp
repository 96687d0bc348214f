// VORN_ASSERT: checks a broken invariant in debug builds (VORN_DEBUG, which the Debug build
// type defines) and compiles to nothing otherwise, so the release engine references no
// process-level I/O. Anything input can trigger is a failure value or an issue instead.
#pragma once

#if defined(VORN_DEBUG)

namespace vorn::detail {

/// Reports the failed check on stderr and aborts.
[[noreturn, gnu::cold]] void assert_failed(const char* condition, const char* file, int line);

}  // namespace vorn::detail

#define VORN_ASSERT(condition)                                       \
  do {                                                               \
    if (!(condition)) [[unlikely]] {                                 \
      ::vorn::detail::assert_failed(#condition, __FILE__, __LINE__); \
    }                                                                \
  } while (false)

#else

// Unevaluated, so a name used only in a check still counts as used.
#define VORN_ASSERT(condition) static_cast<void>(sizeof((condition) ? 1 : 0))

#endif
