// The program tree's owner.
#include "client/script/program_tree.h"

namespace orvane::script {

Statement* Program::make(int kind, int line) {
    Statement& s = store_.emplace_back();
    s.kind = kind;
    s.line = line;
    return &s;
}

}  // namespace orvane::script
