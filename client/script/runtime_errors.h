// Runtime errors of the script engine: the message texts and the reporter that writes them.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::script {

enum class RuntimeMessage : int {
    None = 0,
    ParameterCount,
    MemberMissing,
    MemberInvalid,
    OperatorMissing,
    ObjectMissing,
    ListChanging,
    IfParameterInvalid,
    ObjectExists,
    ExitloopWithoutLoop,
    NeedString,
    NeedNumber,
    NeedWhere,
    NeedListName,
    NeedItemName,
    PrintParameterInvalid,
    NeedFileOrFolderName,
    NeedKind,
    NeedTransferType,
    NeedCompareMode,
    NeedDuplicateRule,
    StrprintNeedsVariable,
    NeedStringVariable,
    NeedIncrOrDecr,
    NeedTimeUnit,
    NeedLeftOrRight,
    Count_,
};

// The message text (the "%s" part of the runtime error line).
const char* runtime_message_text(RuntimeMessage message);

// Writes "Script Engine: Runtime Error on line %d - %s" at error level and counts what it wrote.
class RuntimeReporter {
  public:
    void report(int line, RuntimeMessage message);
    void report(int line, const std::string& text);
    uint64_t reported() const { return reported_; }

  private:
    uint64_t reported_ = 0;
};

}  // namespace orvane::script
