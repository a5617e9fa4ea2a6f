// The one boundary between a native method and the Java runtime. No C++ exception may unwind
// through the JVM's frames (it would end the Java process), so every exported method runs its
// body through callGuarded, and a body that throws ends the call with the method's failure value.
#pragma once

#include <type_traits>

template <typename Result, typename Body>
Result callGuarded(Result failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// For a method without a result, which fails by doing nothing more.
template <typename Body>
void callGuarded(Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
    }
}
