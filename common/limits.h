// The designed text capacities, in characters (a terminating zero is not counted), named once.
#pragma once

#include <cstddef>

namespace orvane {

// Paths and names: file, folder and listing names, current folders, request arguments.
inline constexpr size_t kPathCapacity = 390;
// One line read or kept as a unit: shell and command-file lines, listing lines, reply lines.
inline constexpr size_t kLineCapacity = 390;
// Texts held one character wider than a path: the local file record's path, parse error messages.
inline constexpr size_t kWideTextCapacity = kPathCapacity + 1;
// Host, user name, password and account of a server.
inline constexpr size_t kCredentialCapacity = 63;
// Script string variables.
inline constexpr size_t kStringVariableCapacity = 1560;

}  // namespace orvane
