// A value or an error, shaped like std::expected so that moving to C++23 is a rename.
#pragma once

#include <utility>
#include <variant>

#include "assert.hpp"

namespace vorn {

/// Wraps an error so that a Result can be built from it unambiguously.
template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

/// Holds a T on success or an E on failure; a failure cannot be dropped silently.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Result(Unexpected<G> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // Callers test has_value() first; asking for the other alternative is a broken invariant.
  T& value() & { return *checked<0>(); }
  const T& value() const& { return *checked<0>(); }
  T&& value() && { return std::move(*checked<0>()); }
  const E& error() const { return *checked<1>(); }
  E& error() { return *checked<1>(); }

 private:
  template <std::size_t I>
  auto* checked() const {
    auto* p = std::get_if<I>(&v_);
    VORN_ASSERT(p != nullptr);
    return const_cast<std::variant_alternative_t<I, std::variant<T, E>>*>(p);
  }

  std::variant<T, E> v_;
};

}  // namespace vorn
