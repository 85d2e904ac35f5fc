// The symbol table: one entry per distinct value-token text, numbered in order of first appearance.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace orvane::script {

struct Symbol {
    std::string text;  // the token text as written (sigil or quotes kept)
    int serial = 0;    // 0, 1, 2 ... in order of first appearance
};

// Ordered by byte-wise comparison of the text. Symbols keep their addresses until the table
// is destroyed, so the program tree and the variables hold plain pointers to them.
class SymbolTable {
  public:
    SymbolTable() = default;
    SymbolTable(const SymbolTable&) = delete;
    SymbolTable& operator=(const SymbolTable&) = delete;

    // The symbol for `text`, created when it is new.
    const Symbol* intern(std::string_view text);
    // The symbol for `text`, or nullptr when the script never wrote it.
    const Symbol* find(std::string_view text) const;
    size_t size() const { return symbols_.size(); }

  private:
    struct ByText {
        using is_transparent = void;
        bool operator()(const Symbol& a, const Symbol& b) const { return a.text < b.text; }
        bool operator()(const Symbol& a, std::string_view b) const { return std::string_view(a.text) < b; }
        bool operator()(std::string_view a, const Symbol& b) const { return a < std::string_view(b.text); }
    };
    std::set<Symbol, ByText> symbols_;
};

}  // namespace orvane::script
