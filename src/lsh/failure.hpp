// Failures that the numeric core reports to whoever called it.
//
// The core never touches the interpreter. It throws one of these, and the
// interpreter-facing layer turns each into the right Python outcome:
//   InternalFailure -> PanicException with the same message
//   Interrupted     -> the error the cancellation callback left pending
//   std::bad_alloc  -> MemoryError
#pragma once

#include <exception>

namespace zln {

class InternalFailure : public std::exception {
public:
    InternalFailure(const char* message, const char* file, int line) noexcept
        : message_(message), file_(file), line_(line) {}
    const char* what() const noexcept override { return message_; }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    const char* message_;  // always a string literal
    const char* file_;
    int line_;
};

// Thrown when a long computation's cancellation check asked it to stop.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the running computation must stop (for example because
// a signal handler raised). Called every few milliseconds by long loops.
struct CancelCheck {
    bool (*should_stop)(void* ctx) = nullptr;
    void* ctx = nullptr;
    bool operator()() const { return should_stop != nullptr && should_stop(ctx); }
};

}  // namespace zln

#define ZLN_INTERNAL_FAILURE(msg) throw ::zln::InternalFailure((msg), __FILE__, __LINE__)
