// The duplicate-file decision by size or by date.
#include "client/transfer/session/duplicate_rules.h"

namespace orvane {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;

DuplicateAction pick(const DuplicateRules& rules, int order) {
    if (order < 0) return rules.smaller;
    return order == 0 ? rules.equal : rules.larger;
}

template <typename T>
int order_of(T target, T source) {
    return target < source ? -1 : (target == source ? 0 : 1);
}

}  // namespace

DuplicateAction duplicate_action(const DuplicateRules& rules, const DuplicateFacts& f) {
    if (!f.target_exists) return kDuplicateOverwrite;
    if (rules.compare == kCompareBySize) return pick(rules, order_of(f.target_size, f.source_size));
    return pick(rules, order_of(f.target_time / kTicksPerSecond, f.source_time / kTicksPerSecond));
}

}  // namespace orvane
