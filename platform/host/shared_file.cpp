#include "shared_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process_ids.h"
#include "root_path.h"

namespace xkt::host {

namespace {

std::string parentDir(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

SharedFile::~SharedFile() { unmap(); }

void SharedFile::unmap() {
    if (base_ != nullptr) munmap(base_, size_);
    if (fd_ >= 0) close(fd_);
    base_ = nullptr;
    size_ = 0;
    fd_ = -1;
}

// Maps the file at path when it is valid. A file that is there but broken
// is handed back open in brokenFd (otherwise -1), so that only that very
// file is replaced.
bool SharedFile::mapExisting(const std::string& path, const SharedFileFormat& format,
                             std::string& why, int& brokenFd) {
    brokenFd = -1;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        why = "empty or unreadable";
        brokenFd = fd;
        return false;
    }
    auto size = static_cast<size_t>(st.st_size);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        why = std::strerror(errno);
        close(fd);
        return false;
    }
    if (!format.valid(base, size)) {
        why = "truncated or not of this format";
        munmap(base, size);
        brokenFd = fd;
        return false;
    }
    base_ = base;
    size_ = size;
    fd_ = fd;
    return true;
}

bool SharedFile::createAside(const std::string& path, const SharedFileFormat& format,
                             bool replace, std::string& error) {
    std::string temp = path + ".new." + std::to_string(currentPid()) + "." +
                       std::to_string(currentTid());
    int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ftruncate(fd, static_cast<off_t>(format.createSize)) == 0;
    if (ok) {
        void* base = mmap(nullptr, format.createSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ok = base != MAP_FAILED;
        if (ok) {
            format.init(base, format.createSize);
            munmap(base, format.createSize);
        }
    }
    close(fd);
    if (!ok) {
        error = temp + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    // link() publishes only if nobody else did first; rename() replaces a
    // file that was found broken.
    int rc = replace ? rename(temp.c_str(), path.c_str()) : link(temp.c_str(), path.c_str());
    int saved = errno;
    if (!replace) unlink(temp.c_str());
    if (rc != 0 && !(saved == EEXIST && !replace)) {
        error = path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

// Processes that found the same file broken take turns on a lock of that
// file, and only the first replaces it: a later one would otherwise throw
// away the good file the first has put in place and maybe already uses.
// The turn is waited for a bounded time: its holder may be stopped.
bool SharedFile::replaceBroken(int brokenFd, const std::string& path,
                               const SharedFileFormat& format, std::string& error) {
    constexpr int kTurnWaitMs = 2000;
    int waited = 0;
    while (flock(brokenFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || ++waited > kTurnWaitMs) {
            error = path + ": " + (errno == EWOULDBLOCK ? std::string("another process keeps it locked")
                                                        : std::string(std::strerror(errno)));
            return false;
        }
        usleep(1000);
    }
    struct stat held {};
    struct stat current {};
    bool stillThere = fstat(brokenFd, &held) == 0 && stat(path.c_str(), &current) == 0 &&
                      held.st_dev == current.st_dev && held.st_ino == current.st_ino;
    bool ok = !stillThere || createAside(path, format, true, error);
    flock(brokenFd, LOCK_UN);
    return ok;
}

bool SharedFile::open(const std::string& path, const SharedFileFormat& format,
                      std::string& error) {
    unmap();
    if (!makeDirs(parentDir(path))) {
        error = parentDir(path) + ": cannot create folder: " + std::strerror(errno);
        return false;
    }
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // "Missing" is decided by the open that failed, not by a later look:
        // a file that appears in between is another process's fresh one.
        int brokenFd = -1;
        if (mapExisting(path, format, why, brokenFd)) return true;
        bool ok = true;
        if (brokenFd >= 0) {
            std::fprintf(stderr, "xktlog: %s: %s; re-creating it\n", path.c_str(), why.c_str());
            ok = replaceBroken(brokenFd, path, format, error);
            close(brokenFd);
        } else {
            ok = createAside(path, format, false, error);
        }
        if (!ok) return false;
    }
    error = path + ": " + why;
    return false;
}

}  // namespace xkt::host
