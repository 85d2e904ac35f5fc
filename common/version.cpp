// The release number, handed in by the build so that one place holds it.
#include "common/version.h"

#ifndef ORVANE_VERSION
#error "ORVANE_VERSION comes from the build (project VERSION)"
#endif

namespace orvane {

const char* release_version() {
    return ORVANE_VERSION;
}

}  // namespace orvane
