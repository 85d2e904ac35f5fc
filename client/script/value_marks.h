// Marks a script value carries beside its text, so that every macro judges a value by one rule
// whatever it was made from (a literal, a variable, a listed name).
#pragma once

#include <cstdint>

namespace orvane::script {

// Bits, so that further marks can sit beside the cut one.
enum ValueMark : uint8_t {
    kMarkCut = 1,  // longer than its holder: the text is only the first part of what was meant
    // Holds a name a server listed that is not safe as one name in a folder ("..", a separator, a
    // control character): whatever is made from it is never a path or a name for an action.
    kMarkUnsafeName = 2,
};

}  // namespace orvane::script
