// Member names as bytes: the archive library converts names between an archive's charset and the
// thread's locale, which is "C" (ASCII) in this process; while an archive is read or written the
// thread uses a UTF-8 locale, so names pass unchanged and non-ASCII names get zip's UTF-8 flag.
#pragma once

#include <locale.h>

namespace orvane {

class Utf8NamesScope {
  public:
    Utf8NamesScope();
    ~Utf8NamesScope();
    Utf8NamesScope(const Utf8NamesScope&) = delete;
    Utf8NamesScope& operator=(const Utf8NamesScope&) = delete;

  private:
    locale_t utf8_ = locale_t(0);
    locale_t previous_ = locale_t(0);
};

}  // namespace orvane
