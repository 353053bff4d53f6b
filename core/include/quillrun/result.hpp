#pragma once
// Errors are values in the core: every fallible operation returns a Result.

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quillrun {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class E>
[[nodiscard]] Unexpected<std::decay_t<E>> fail(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  template <class U = T>
    requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::decay_t<U>, Result>)
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT: implicit by design

  template <class G>
    requires std::is_constructible_v<E, G&&>
  Result(Unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT

  template <class G>
    requires std::is_constructible_v<E, const G&>
  Result(const Unexpected<G>& u) : v_(std::in_place_index<1>, u.error) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { assert(has_value()); return std::get<0>(v_); }
  const T& value() const& { assert(has_value()); return std::get<0>(v_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { assert(!has_value()); return std::get<1>(v_); }
  const E& error() const& { assert(!has_value()); return std::get<1>(v_); }
  E&& error() && { assert(!has_value()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <class G>
    requires std::is_constructible_v<E, G&&>
  Result(Unexpected<G>&& u) : e_(std::move(u.error)) {}  // NOLINT
  template <class G>
    requires std::is_constructible_v<E, const G&>
  Result(const Unexpected<G>& u) : e_(u.error) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const { assert(has_value()); }

  E& error() & { assert(!has_value()); return *e_; }
  const E& error() const& { assert(!has_value()); return *e_; }
  E&& error() && { assert(!has_value()); return std::move(*e_); }

 private:
  std::optional<E> e_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace quillrun

#define QR_CONCAT_INNER_(a, b) a##b
#define QR_CONCAT_(a, b) QR_CONCAT_INNER_(a, b)

// Returns the error of `expr` from the enclosing function, if it holds one.
#define QR_TRY(expr)                                                   \
  do {                                                                 \
    auto&& qr_try_result_ = (expr);                                    \
    if (!qr_try_result_)                                               \
      return ::quillrun::fail(std::move(qr_try_result_).error());      \
  } while (false)

// Declares `lhs` from the value of `expr`, or returns its error.
#define QR_ASSIGN_OR_RETURN(lhs, expr) \
  QR_ASSIGN_OR_RETURN_IMPL_(QR_CONCAT_(qr_result_, __LINE__), lhs, expr)
#define QR_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)          \
  auto tmp = (expr);                                       \
  if (!tmp) return ::quillrun::fail(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
