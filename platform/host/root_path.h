// Where the box's file system lives on this machine, and where the host's
// helper programs are. The one place that maps box paths.
#pragma once

#include <string>
#include <string_view>

namespace xkt::host {

// The root without a trailing "/", read once per process; "" means "/".
// XKT_ROOT when set and not empty, otherwise defaultRootDir().
const std::string& rootDir();

// The per-user root of a development machine: $XDG_RUNTIME_DIR/xkt-box,
// else /tmp/xkt-box-$UID. A machine that is the box sets XKT_ROOT=/.
std::string defaultRootDir();

// True when XKT_ROOT left the choice to defaultRootDir().
bool rootIsDefault();

// The root as people read it ("/" for the box's own), with where it comes
// from: for the tools' usage texts and start-up messages.
std::string describeRoot();

// The box path under the root ("/tmp/log" -> "$XKT_ROOT/tmp/log"). The
// first call creates a default root (mode 0700) when it is missing.
std::string rootedPath(std::string_view boxPath);

// The folder of the stand-in programs (logcat, top): XKT_LIBEXEC_DIR when
// set, otherwise <folder of the platform library>/../libexec/xktlog, which
// holds in the build tree and in the install tree alike.
const std::string& libexecDir();

// Creates the folder and its parents (mode 0755); true when it exists after.
bool makeDirs(const std::string& path);

}  // namespace xkt::host
