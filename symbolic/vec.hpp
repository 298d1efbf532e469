#pragma once

#include <cstddef>

namespace zarnik {

// A fixed-size vector of N elements stored contiguously in index order.
// An aggregate, so `Vec<double, 3>{1.0, 2.0, 3.0}` builds one.
template <typename T, int N>
struct Vec {
    static_assert(N >= 1, "a Vec holds at least one element");

    T elements[static_cast<std::size_t>(N)];

    static constexpr int size() noexcept { return N; }

    constexpr T& operator[](int index) noexcept { return elements[index]; }
    constexpr const T& operator[](int index) const noexcept { return elements[index]; }

    constexpr T* data() noexcept { return elements; }
    constexpr const T* data() const noexcept { return elements; }

    constexpr T* begin() noexcept { return elements; }
    constexpr T* end() noexcept { return elements + N; }
    constexpr const T* begin() const noexcept { return elements; }
    constexpr const T* end() const noexcept { return elements + N; }

    friend constexpr bool operator==(const Vec&, const Vec&) = default;
};

}  // namespace zarnik
