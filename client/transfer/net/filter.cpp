// The wipe of the records that carry secrets to filters and TLS contexts.
#include "client/transfer/net/filter.h"

#include "common/secret.h"

namespace orvane {

FilterConfig::~FilterConfig() = default;

ClientCertificate& ClientCertificate::operator=(const ClientCertificate& other) {
    if (this == &other) return *this;
    wipe_secret(password);  // a longer password would otherwise leave this one in a freed block
    certificate_file = other.certificate_file;
    key_file = other.key_file;
    password = other.password;
    return *this;
}

ClientCertificate::~ClientCertificate() {
    wipe_secret(password);
}

}  // namespace orvane
