#pragma once
// The one version every shipped program prints: the project version, and where the build came
// from a git checkout, what `git describe` said of it ("1.0.0 (git 5daf6fc-dirty)").

namespace conv {

const char* programVersion();
// The hidapi release the tool was built against ("0.13.1"; empty when unknown).
const char* hidapiBuildVersion();
// CMAKE_BUILD_TYPE of the build ("Release", "RelWithDebInfo"; empty when none was set).
const char* buildType();

}  // namespace conv
