// Where the box's file system lives on this machine, and where the host's
// helper programs are. The one place that maps box paths.
#pragma once

#include <string>
#include <string_view>

namespace xkt::host {

// XKT_ROOT without a trailing "/", read once per process; "" means "/".
const std::string& rootDir();

// The box path under the root ("/tmp/log" -> "$XKT_ROOT/tmp/log").
std::string rootedPath(std::string_view boxPath);

// The folder of the stand-in programs (logcat, top): XKT_LIBEXEC_DIR when
// set, otherwise <folder of the platform library>/../libexec/xktlog, which
// holds in the build tree and in the install tree alike.
const std::string& libexecDir();

// Creates the folder and its parents (mode 0755); true when it exists after.
bool makeDirs(const std::string& path);

}  // namespace xkt::host
