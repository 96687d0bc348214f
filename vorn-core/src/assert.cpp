#include "assert.hpp"

#if defined(VORN_DEBUG)

#include <cstdio>   // std::fprintf
#include <cstdlib>  // std::abort

namespace vorn::detail {

void assert_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: VORN_ASSERT(%s) failed\n", file, line, condition);
  std::abort();
}

}  // namespace vorn::detail

#endif
