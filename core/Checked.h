// Integer arithmetic and indexing that raise instead of wrapping or reading past an end.
#pragma once

#include <cstddef>
#include <limits>
#include <type_traits>

#include "Errors.h"

[[noreturn]] inline void RaiseIntOverflow() { throw EIntOverflow(L"Integer overflow"); }
[[noreturn]] inline void RaiseRangeError() { throw ERangeError(L"Range check error"); }

template <typename T>
T CheckedAdd(T a, T b) {
    T r;
    if (__builtin_add_overflow(a, b, &r)) RaiseIntOverflow();
    return r;
}

template <typename T>
T CheckedSub(T a, T b) {
    T r;
    if (__builtin_sub_overflow(a, b, &r)) RaiseIntOverflow();
    return r;
}

template <typename T>
T CheckedMul(T a, T b) {
    T r;
    if (__builtin_mul_overflow(a, b, &r)) RaiseIntOverflow();
    return r;
}

// Converts between integer types, raising when the value does not fit.
template <typename To, typename From>
To CheckedCast(From v) {
    static_assert(std::is_integral_v<To> && std::is_integral_v<From>);
    To r;
    if (__builtin_add_overflow(v, From{0}, &r)) RaiseRangeError();
    return r;
}

// Element i of a container, or ERangeError when i is outside it.
template <typename C>
auto& CheckedAt(C& c, long long i) {
    if (i < 0 || static_cast<unsigned long long>(i) >= static_cast<unsigned long long>(std::size(c))) RaiseRangeError();
    return c[static_cast<std::size_t>(i)];
}
