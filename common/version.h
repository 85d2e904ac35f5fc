// The release number both programs show, set once by the build.
#pragma once

namespace orvane {

// "x.y.z", the project's version.
const char* release_version();

}  // namespace orvane
