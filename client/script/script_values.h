// Script values: string variables, user lists and their entries, list items bound by foreach, and
// how a statement's parameters become the texts and numbers that macros need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/script/program_tree.h"
#include "client/script/runtime_errors.h"
#include "client/script/value_marks.h"
#include "common/limits.h"

namespace orvane::script {

// A parameter's resolved text holds at most this many characters; longer values are cut.
inline constexpr size_t kParameterTextCapacity = kWideTextCapacity;
// A string variable holds at most this many characters; longer values are cut.
inline constexpr size_t kVariableCapacity = kStringVariableCapacity;
// The texts of a list entry.
inline constexpr size_t kEntryTimeCapacity = 32;
inline constexpr size_t kEntrySizeCapacity = 35;

struct ListEntry {
    std::string name;               // at most kPathCapacity characters
    std::string modification_time;  // at most kEntryTimeCapacity
    std::string size;               // at most kEntrySizeCapacity; empty for a local folder
    bool is_folder = false;
    uint8_t name_marks = 0;  // ValueMark bits of the name
};

struct UserList {
    std::vector<ListEntry> entries;
};

// A list item while its foreach runs: the list and the index of the current entry.
struct ItemBinding {
    bool bound = false;
    UserList* list = nullptr;
    size_t index = 0;
};

// Every variable, list and item of one run, each created on its first reference. Names are
// symbols of the run's symbol table: each is found by its serial number.
class ScriptValues {
  public:
    explicit ScriptValues(size_t symbol_count);
    ScriptValues(const ScriptValues&) = delete;
    ScriptValues& operator=(const ScriptValues&) = delete;

    std::string& variable(const Symbol& name) { return variables_[slot(name)]; }
    // The ValueMark bits of what the variable holds.
    uint8_t& variable_marks(const Symbol& name) { return variable_marks_[slot(name)]; }
    UserList& list(const Symbol& name);
    ItemBinding& item(const Symbol& name) { return items_[slot(name)]; }

    // Binds an item to the list at index 0; false when the item is bound already.
    bool bind(const Symbol& item, UserList& list);
    // False when the item was not bound.
    bool unbind(const Symbol& item);
    // The item's current entry: ObjectMissing when unbound, ListChanging when the list no longer
    // has that entry.
    RuntimeMessage current_entry(const Symbol& item, const ListEntry*& entry);

  private:
    size_t slot(const Symbol& name) const { return static_cast<size_t>(name.serial); }

    std::vector<std::string> variables_;
    std::vector<uint8_t> variable_marks_;
    std::vector<std::unique_ptr<UserList>> lists_;
    std::vector<ItemBinding> items_;
};

// Stores a text in a string variable, cut at its capacity.
void assign_variable(std::string& variable, std::string_view text);
// The number a text stands for: its leading decimal digits (none: 0), saturating at 4294967295.
uint32_t number_of_text(std::string_view text);

using Parameters = std::vector<Parameter>;

// Each reads the parameter at `position` (a member reference takes three positions) and moves
// `position` past what it read; it returns None or the runtime error.
// Text: a literal without its quotes, a number's digits, a variable's text or an item's member,
// cut at kParameterTextCapacity; `marks` (when given) receives its ValueMark bits.
RuntimeMessage text_of(ScriptValues& values, const Parameters& parameters, size_t& position,
                       std::string& text, uint8_t* marks = nullptr);
// Number: a number literal, or the number at the start of a variable's text.
RuntimeMessage number_of(ScriptValues& values, const Parameters& parameters, size_t& position,
                         uint32_t& number);
// The print/strprint value of one parameter, appended to `line`. On an error the faulty parameter
// has been passed over and nothing is appended.
// `marks` (when given) gains the ValueMark bits of what was appended.
RuntimeMessage append_print_value(ScriptValues& values, const Parameters& parameters, size_t& position,
                                  std::string& line, uint8_t* marks = nullptr);

}  // namespace orvane::script
