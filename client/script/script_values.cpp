// Variables, lists and items, and the resolution of parameters into texts and numbers.
#include "client/script/script_values.h"

#include "client/script/script_keywords.h"
#include "common/text.h"

namespace orvane::script {

ScriptValues::ScriptValues(size_t symbol_count)
    : variables_(symbol_count),
      variable_marks_(symbol_count, 0),
      lists_(symbol_count),
      items_(symbol_count) {}

UserList& ScriptValues::list(const Symbol& name) {
    std::unique_ptr<UserList>& slot_list = lists_[slot(name)];
    if (!slot_list) slot_list = std::make_unique<UserList>();
    return *slot_list;
}

bool ScriptValues::bind(const Symbol& item_name, UserList& to) {
    ItemBinding& b = item(item_name);
    if (b.bound) return false;
    b = ItemBinding{true, &to, 0};
    return true;
}

bool ScriptValues::unbind(const Symbol& item_name) {
    ItemBinding& b = item(item_name);
    if (!b.bound) return false;
    b = ItemBinding{};
    return true;
}

RuntimeMessage ScriptValues::current_entry(const Symbol& item_name, const ListEntry*& entry) {
    const ItemBinding& b = item(item_name);
    if (!b.bound) return RuntimeMessage::ObjectMissing;
    if (b.index >= b.list->entries.size()) return RuntimeMessage::ListChanging;
    entry = &b.list->entries[b.index];
    return RuntimeMessage::None;
}

void assign_variable(std::string& variable, std::string_view text) {
    variable.assign(text.substr(0, kVariableCapacity));
}

uint32_t number_of_text(std::string_view text) {
    return static_cast<uint32_t>(parse_decimal_prefix_saturating(text, UINT32_MAX));
}

namespace {

// After an object name: the dot and the member keyword. Missing dot: MemberMissing; a dot with
// nothing after it: MemberInvalid. On success `member` is the keyword code (or the token kind of
// whatever follows the dot) and the position is past it.
RuntimeMessage take_member(const Parameters& parameters, size_t& position, int& member) {
    if (position >= parameters.size() || parameters[position].kind != kTokenDot)
        return RuntimeMessage::MemberMissing;
    ++position;
    if (position >= parameters.size()) return RuntimeMessage::MemberInvalid;
    member = parameters[position++].kind;
    return RuntimeMessage::None;
}

std::string_view literal_text(const Parameter& p) {
    std::string_view t = p.symbol->text;
    if (p.kind == kTokenString && t.size() >= 2) return t.substr(1, t.size() - 2);
    return t;
}

uint8_t set_cut(std::string& out, std::string_view text, uint8_t marks = 0) {
    out.assign(text.substr(0, kParameterTextCapacity));
    return text.size() > kParameterTextCapacity ? static_cast<uint8_t>(marks | kMarkCut) : marks;
}

}  // namespace

RuntimeMessage text_of(ScriptValues& values, const Parameters& parameters, size_t& position,
                       std::string& text, uint8_t* marks) {
    uint8_t ignored = 0;
    uint8_t& out_marks = marks ? *marks : ignored;
    out_marks = 0;
    if (position >= parameters.size()) return RuntimeMessage::NeedString;
    const Parameter& p = parameters[position++];
    switch (p.kind) {
        case kTokenItemName: {
            int member = 0;
            if (RuntimeMessage m = take_member(parameters, position, member); m != RuntimeMessage::None)
                return m;
            const ListEntry* entry = nullptr;
            if (RuntimeMessage m = values.current_entry(*p.symbol, entry); m != RuntimeMessage::None)
                return m;
            switch (member) {
                case kKwName:
                    out_marks = set_cut(text, entry->name, entry->name_marks);
                    return RuntimeMessage::None;
                case kKwModtime:
                    out_marks = set_cut(text, entry->modification_time);
                    return RuntimeMessage::None;
                case kKwSize:
                    out_marks = set_cut(text, entry->size);
                    return RuntimeMessage::None;
                case kKwIsfolder:
                    text.assign(1, entry->is_folder ? '1' : '0');  // (GCC 12 warns falsely on a literal)
                    return RuntimeMessage::None;
                default:
                    return RuntimeMessage::NeedFileOrFolderName;
            }
        }
        case kTokenStringVar:
            out_marks = set_cut(text, values.variable(*p.symbol), values.variable_marks(*p.symbol));
            return RuntimeMessage::None;
        case kTokenNumber:
        case kTokenString:
            out_marks = set_cut(text, literal_text(p), p.marks);
            return RuntimeMessage::None;
        default:
            return RuntimeMessage::NeedString;
    }
}

RuntimeMessage number_of(ScriptValues& values, const Parameters& parameters, size_t& position,
                         uint32_t& number) {
    if (position >= parameters.size()) return RuntimeMessage::NeedNumber;
    const Parameter& p = parameters[position++];
    if (p.kind == kTokenNumber) {
        number = p.number;
    } else if (p.kind == kTokenStringVar) {
        number = number_of_text(values.variable(*p.symbol));
    } else {
        return RuntimeMessage::NeedNumber;
    }
    return RuntimeMessage::None;
}

RuntimeMessage append_print_value(ScriptValues& values, const Parameters& parameters, size_t& position,
                                  std::string& line, uint8_t* marks) {
    uint8_t ignored = 0;
    uint8_t& out_marks = marks ? *marks : ignored;
    const Parameter& p = parameters[position++];
    int member = 0;
    switch (p.kind) {
        case kTokenListName: {
            if (RuntimeMessage m = take_member(parameters, position, member); m != RuntimeMessage::None)
                return m;
            if (member != kKwCount) return RuntimeMessage::MemberInvalid;
            line += std::to_string(values.list(*p.symbol).entries.size());
            return RuntimeMessage::None;
        }
        case kTokenItemName: {
            if (RuntimeMessage m = take_member(parameters, position, member); m != RuntimeMessage::None)
                return m;
            const ListEntry* entry = nullptr;
            if (RuntimeMessage m = values.current_entry(*p.symbol, entry); m != RuntimeMessage::None)
                return m;
            switch (member) {
                case kKwName:
                case kKwAbsname:
                    line += entry->name;
                    out_marks |= entry->name_marks;
                    return RuntimeMessage::None;
                case kKwSize:
                    line += entry->size;
                    return RuntimeMessage::None;
                case kKwModtime:
                    line += entry->modification_time;
                    return RuntimeMessage::None;
                case kKwIsfolder:
                    line += entry->is_folder ? "is a folder" : "is a file";
                    return RuntimeMessage::None;
                default:
                    return RuntimeMessage::MemberInvalid;
            }
        }
        case kTokenStringVar:
            line += values.variable(*p.symbol);
            out_marks |= values.variable_marks(*p.symbol);
            return RuntimeMessage::None;
        case kTokenNumber:
        case kTokenString:
            line += literal_text(p);
            return RuntimeMessage::None;
        default:
            return RuntimeMessage::PrintParameterInvalid;
    }
}

}  // namespace orvane::script
