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

#define VORL_CONCAT_INNER(a, b) a##b
#define VORL_CONCAT(a, b) VORL_CONCAT_INNER(a, b)

// `VORL_TRY(const auto n, reader.read_len());` declares n from the value of a
// Result, or returns its error (through err()) from the enclosing function.
#define VORL_TRY(declaration, expression)                                                                           \
    auto VORL_CONCAT(vorl_try_, __LINE__) = (expression);                                                           \
    if (!VORL_CONCAT(vorl_try_, __LINE__)) return ::vorl::err(std::move(VORL_CONCAT(vorl_try_, __LINE__)).error()); \
    declaration = std::move(VORL_CONCAT(vorl_try_, __LINE__)).value()

// The same for a Result<void, E>.
#define VORL_TRY_VOID(expression) \
    if (auto vorl_try_status = (expression); !vorl_try_status) return ::vorl::err(std::move(vorl_try_status).error())
