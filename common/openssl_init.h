// Process-wide OpenSSL set-up shared by TLS and SSH: the providers every algorithm comes from.
#pragma once

namespace orvane {

// Loads OpenSSL's "default" and "legacy" providers into the default library context, once per
// process; later calls return the first call's result. The legacy provider carries Blowfish,
// CAST5, RC4 and the RC2 of old PKCS#12 files. 0 when both loaded, 1 when either failed (the
// default provider may still be usable when only the legacy one is missing).
int openssl_load_providers();

}  // namespace orvane
