// Result<T>: a value or an error message. The engine reports failures as values, never by
// throwing across its boundary; the binding turns the message into a Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tarn {

struct Error {
    std::string message;
};

template <class T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
    Result(Error e) : v_(std::move(e)) {}      // NOLINT
    static Result fail(std::string message) { return Result(Error{std::move(message)}); }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    const std::string& error() const { return std::get<1>(v_).message; }

  private:
    std::variant<T, Error> v_;
};

}  // namespace tarn
