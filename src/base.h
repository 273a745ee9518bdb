// The bottom of the program: its one error type and the internal-invariant
// check. Includes nothing of the project, so every module may use it.
#ifndef VEXAQ38_BASE_H
#define VEXAQ38_BASE_H

#include <exception>
#include <string>

// The one error type of the program: everything a user can cause (bad
// options, unusable files, damaged compressed data). Raised by value, caught
// by reference; only the main flow catches it.
class Exception : public std::exception {
public:
    explicit Exception(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

// Internal invariants. No input can break one; a failure prints the
// expression, the source name (file name without folder or extension) and
// the line to standard error, then aborts. Active in every build.
[[noreturn]] void assertionFailed(const char* expr, const char* file, int line);
#define Q38_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : assertionFailed(#expr, __FILE__, __LINE__))

#endif
