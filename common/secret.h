// Secrets (passwords, pass phrases, keys) are overwritten before their memory is released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

// Overwrites the text's bytes and empties it.
void wipe_secret(std::string& secret);
// Overwrites n bytes in a way the compiler cannot leave out.
void wipe_bytes(void* data, size_t n);
// True for a raw FTP command line that carries a password (PASS, or ACCT's account secret),
// whatever its case: it is shown masked like the login's own.
bool command_carries_secret(std::string_view line);

}  // namespace orvane
