// Exceptions of Vistrel: each carries a class name and a message, and log lines
// print both ("EConvertError Could not convert ...").
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::wstring message, const char* className = "Exception")
        : message_(std::move(message)), className_(className) {}

    const std::wstring& Message() const noexcept { return message_; }
    const char* ClassName() const noexcept { return className_; }
    std::wstring ClassNameW() const { return std::wstring(className_, className_ + std::char_traits<char>::length(className_)); }
    const char* what() const noexcept override { return className_; }

private:
    std::wstring message_;
    const char* className_;
};

// Declares an exception class whose class name is its own name.
#define VISTREL_EXCEPTION(Name, Base)                                         \
    class Name : public Base {                                                \
    public:                                                                   \
        explicit Name(std::wstring message, const char* className = #Name)    \
            : Base(std::move(message), className) {}                          \
    };

VISTREL_EXCEPTION(EIntOverflow, Exception)   // "Integer overflow"
VISTREL_EXCEPTION(ERangeError, Exception)    // "Range check error"
VISTREL_EXCEPTION(EConvertError, Exception)  // a text or variant that does not convert
VISTREL_EXCEPTION(EVariantError, Exception)  // a variant operation on the wrong kind
VISTREL_EXCEPTION(EOSError, Exception)       // a failed operating-system call
VISTREL_EXCEPTION(EInOutError, Exception)    // a file that cannot be opened, read or written
VISTREL_EXCEPTION(EMathError, Exception)
VISTREL_EXCEPTION(EZeroDivide, EMathError)   // "Floating point division by zero"
VISTREL_EXCEPTION(EInvalidOp, EMathError)    // "Invalid floating point operation"
VISTREL_EXCEPTION(EOverflow, EMathError)     // "Floating point overflow"
VISTREL_EXCEPTION(EDivByZero, Exception)     // integer "Division by zero"

// Raises EOSError for the given Windows error code, with the system's message text.
[[noreturn]] void RaiseOSError(unsigned long code, const std::wstring& operation = {});
// Raises EOSError for the calling thread's last error.
[[noreturn]] void RaiseLastOSError(const std::wstring& operation = {});

// The text a log line shows for a caught exception: class name, a blank, message.
std::wstring ExceptionText(const std::exception& e);
