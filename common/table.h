// Tables indexed by an enum: the checks that a table has one row per value, in the enum's order.
#pragma once

#include <cstddef>

namespace orvane {

// True when rows[i].*key is the enum value i for every row (a row out of place would answer for
// another value).
template <typename Row, typename Key, size_t N>
constexpr bool rows_in_order(const Row (&rows)[N], Key Row::*key) {
    for (size_t i = 0; i < N; ++i)
        if (static_cast<size_t>(rows[i].*key) != i) return false;
    return true;
}

// The row of `value`, or row 0 (the table's "none" row) for a value outside the table.
template <typename Row, typename Key, size_t N>
constexpr const Row& row_of(const Row (&rows)[N], Key value) {
    auto i = static_cast<size_t>(value);
    return rows[i < N ? i : 0];
}

}  // namespace orvane
