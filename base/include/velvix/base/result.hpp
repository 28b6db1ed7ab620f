#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velvix {

// Why an operation failed: `message` says it in one line for a person to read; `reason` tells
// a caller that acts on the kind of failure which kind it was.
template <typename Reason = std::monostate>
struct Failure {
    std::string message;
    Reason reason{};
};

// Failure{"text"} is a Failure<> also where the compiler deduces no arguments for aggregates
// (clang before 17, which the fuzz build uses).
Failure(std::string) -> Failure<>;

// What an operation that may fail gives back: its value, or its Failure. Result<> is the
// outcome of an operation that gives nothing back. Test it before taking the value:
//
//     auto model = loadModel(path);
//     if (!model) { report(model.error()); }
template <typename T = void, typename Reason = std::monostate>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<Reason> failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& operator*() & { return std::get<0>(state_); }
    const T& operator*() const& { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    // The value, or `fallback` for a caller that needs no reason.
    T valueOr(T fallback) && { return ok() ? std::get<0>(std::move(state_)) : std::move(fallback); }

    // What went wrong; empty on success.
    const std::string& error() const { return ok() ? kNoError : std::get<1>(state_).message; }
    Reason reason() const { return ok() ? Reason{} : std::get<1>(state_).reason; }

  private:
    static inline const std::string kNoError;
    std::variant<T, Failure<Reason>> state_;
};

template <typename Reason>
class [[nodiscard]] Result<void, Reason> {
  public:
    Result() = default;
    Result(Failure<Reason> failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }

    // What went wrong; empty on success.
    const std::string& error() const { return ok() ? kNoError : failure_->message; }
    Reason reason() const { return ok() ? Reason{} : failure_->reason; }

  private:
    static inline const std::string kNoError;
    std::optional<Failure<Reason>> failure_;
};

}  // namespace velvix
