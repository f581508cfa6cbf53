#pragma once

#include <utility>
#include <variant>

#include "base/error.hpp"

namespace zel {

// A value or an error: failures below the Python boundary travel as values.
// E is the core's one error value unless a caller states another.
template <class T, class E = Error>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }
    E take_error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// Success without a value, or an error: `return kOk;` or `return error;`.
using Status = Result<std::monostate>;
inline constexpr std::monostate kOk{};

}  // namespace zel
