// Local paths of script actions: resolution against the current local folder and normalisation.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// The path a script names, made absolute and normal: every "\" read as "/", a path not beginning
// with "/" joined to `folder`, then "." components and runs of "/" removed, a ".." component taking
// away the one before it (at the root it stays the root), and no trailing "/" except for the root.
std::string resolve_local_path(std::string_view folder, std::string_view path);

// The same normalisation without joining: a relative path stays relative ("" for nothing left).
std::string normalize_path_text(std::string_view path);

// True when the resolved path names an absolute location that fits the path capacity.
bool local_path_valid(std::string_view resolved);

// The text after the last "/" (the whole text when there is none).
std::string_view last_component(std::string_view path);
// The text before the last "/" ("/" for an item in the root, "" when there is no "/").
std::string parent_of(std::string_view path);

// True when the text holds "*" or "?".
bool has_wildcards(std::string_view name);

}  // namespace orvane
