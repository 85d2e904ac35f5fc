// The symbol table over an ordered tree of texts.
#include "client/script/script_symbols.h"

namespace orvane::script {

const Symbol* SymbolTable::intern(std::string_view text) {
    auto it = symbols_.find(text);
    if (it != symbols_.end()) return &*it;
    return &*symbols_.insert(Symbol{std::string(text), static_cast<int>(symbols_.size())}).first;
}

const Symbol* SymbolTable::find(std::string_view text) const {
    auto it = symbols_.find(text);
    return it == symbols_.end() ? nullptr : &*it;
}

}  // namespace orvane::script
