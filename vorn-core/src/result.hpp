// A value or an error, shaped like std::expected so that moving to C++23 is a rename.
#pragma once

#include <utility>
#include <variant>

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
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  const E& error() const { return *std::get_if<1>(&v_); }
  E& error() { return *std::get_if<1>(&v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace vorn
