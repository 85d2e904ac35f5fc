// Secrets (passwords, pass phrases, keys) are overwritten before their memory is released.
#pragma once

#include <string>

namespace orvane {

// Overwrites the text's bytes and empties it.
void wipe_secret(std::string& secret);

}  // namespace orvane
