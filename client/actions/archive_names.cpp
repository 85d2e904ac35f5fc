// The thread's UTF-8 locale while an archive is open.
#include "client/actions/archive_names.h"

namespace orvane {

Utf8NamesScope::Utf8NamesScope() {
    utf8_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8_ != locale_t(0)) previous_ = uselocale(utf8_);
}

Utf8NamesScope::~Utf8NamesScope() {
    if (utf8_ == locale_t(0)) return;
    uselocale(previous_);
    freelocale(utf8_);
}

}  // namespace orvane
