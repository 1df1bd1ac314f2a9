// A small value-or-error type: the engine reports every expected failure as a
// value, so nothing below the Python binding throws for bad input.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorl {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& error) {
    return Err<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
        requires std::is_constructible_v<E, F&&>
    Result(Err<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    T* operator->() { return std::get_if<0>(&state_); }
    T& operator*() & { return value(); }

    const E& error() const& { return *std::get_if<1>(&state_); }
    E&& error() && { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F>
        requires std::is_constructible_v<E, F&&>
    Result(Err<F> failure) : error_(std::move(failure.error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace vorl
