// A certificate policy that accepts every server, for tests whose subject is not trust.
#pragma once

#include <string>

#include "client/transfer/net/filter.h"

namespace orvane::test {

inline int accept_any_certificate(void*, const CertificateQuery&, std::string&) {
    return 0;
}
inline CertificateDecision any_certificate() {
    return CertificateDecision{accept_any_certificate, nullptr};
}

}  // namespace orvane::test
