// Secrets (passwords, pass phrases, keys) are overwritten before their memory is released.
#pragma once

#include <cstddef>
#include <string>

namespace orvane {

// Overwrites the text's bytes and empties it.
void wipe_secret(std::string& secret);
// Overwrites n bytes in a way the compiler cannot leave out.
void wipe_bytes(void* data, size_t n);

}  // namespace orvane
