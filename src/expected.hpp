// Expected<T, E>: std::expected where the compiler's library provides it.
// clang 14 (used for the fuzzing build) cannot instantiate libstdc++'s
// std::expected, so for it a small equivalent covering the same interface
// stands in.
#pragma once

#include <utility>

#if !defined(__clang__) || __clang_major__ >= 16
#include <expected>

namespace tarvane {
template <typename T, typename E>
using Expected = std::expected<T, E>;
template <typename E>
using Unexpected = std::unexpected<E>;
}  // namespace tarvane

#else
#include <optional>
#include <type_traits>
#include <variant>

namespace tarvane {

template <typename E>
class Unexpected {
 public:
  explicit Unexpected(E e) : error_(std::move(e)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }
  const E& error() const& { return error_; }

 private:
  E error_;
};

template <typename T, typename E>
class Expected {
 public:
  Expected() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
  template <typename U = T>
    requires(std::is_convertible_v<U &&, T> && !std::is_same_v<std::remove_cvref_t<U>, Expected> &&
             !std::is_same_v<std::remove_cvref_t<U>, Unexpected<E>>)
  Expected(U&& u) : v_(std::in_place_index<0>, std::forward<U>(u)) {}
  template <typename G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u).error()) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }
  template <typename U>
  T value_or(U&& d) const& { return has_value() ? **this : static_cast<T>(std::forward<U>(d)); }

 private:
  std::variant<T, E> v_;
};

template <typename E>
class Expected<void, E> {
 public:
  Expected() = default;
  template <typename G>
  Expected(Unexpected<G> u) : e_(std::move(u).error()) {}

  bool has_value() const { return !e_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void operator*() const {}
  void value() const {}
  E& error() & { return *e_; }
  const E& error() const& { return *e_; }
  E&& error() && { return std::move(*e_); }

 private:
  std::optional<E> e_;
};

}  // namespace tarvane
#endif
