#include "root_path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xkt_host_extras.h"

namespace xkt::host {

namespace {

void dropTrailingSlashes(std::string& path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
}

bool rootVariableSet() {
    const char* env = std::getenv("XKT_ROOT");
    return env != nullptr && *env != '\0';
}

std::string readRoot() {
    std::string root = rootVariableSet() ? std::getenv("XKT_ROOT") : defaultRootDir();
    dropTrailingSlashes(root);
    return root;
}

// Other users share /tmp: the folder must be ours and a real folder, or a
// planted link could steer our files elsewhere. Said once, on stderr, since
// the platform has no better place to say it before any log exists.
bool makeDefaultRoot(const std::string& root) {
    if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
        return true;
    }
    std::fprintf(stderr, "xktlog: %s is not a folder of this user; set XKT_ROOT\n", root.c_str());
    return false;
}

void ensureRootExists() {
    static const bool made = !rootIsDefault() || makeDefaultRoot(rootDir());
    (void)made;
}

std::string findLibexec() {
    if (const char* env = std::getenv("XKT_LIBEXEC_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&XKT_rootPath), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::string self = info.dli_fname;
    auto slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
    return dir + "/../libexec/xktlog";
}

}  // namespace

// Never destroyed: threads the library never stops (the log thread) may
// still map paths while the process runs its exit handlers.
const std::string& rootDir() {
    static const std::string* root = new std::string(readRoot());
    return *root;
}

std::string defaultRootDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string dir = runtime;
        dropTrailingSlashes(dir);
        return dir + "/xkt-box";
    }
    return "/tmp/xkt-box-" + std::to_string(geteuid());
}

bool rootIsDefault() {
    static const bool isDefault = !rootVariableSet();
    return isDefault;
}

std::string describeRoot() {
    std::string shown = rootDir().empty() ? "/" : rootDir();
    return shown + (rootIsDefault() ? " (the per-user default; XKT_ROOT chooses another, / on the box)"
                                    : " (from XKT_ROOT)");
}

std::string rootedPath(std::string_view boxPath) {
    ensureRootExists();
    std::string path = rootDir();
    path.append(boxPath);
    return path;
}

const std::string& libexecDir() {
    static const std::string* dir = new std::string(findLibexec());
    return *dir;
}

bool makeDirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace xkt::host

extern "C" int32_t XKT_rootPath(const char* boxPath, char* out, uint32_t outSize) {
    if (out == nullptr || outSize == 0) return -1;
    out[0] = '\0';
    if (boxPath == nullptr) return -1;
    xkt::host::ensureRootExists();
    const std::string& root = xkt::host::rootDir();
    size_t need = root.size() + std::strlen(boxPath);
    if (need + 1 > outSize) return -1;
    std::memcpy(out, root.data(), root.size());
    std::memcpy(out + root.size(), boxPath, need - root.size() + 1);
    return 0;
}

extern "C" uint32_t XKT_rootLength(void) {
    return static_cast<uint32_t>(xkt::host::rootDir().size());
}
