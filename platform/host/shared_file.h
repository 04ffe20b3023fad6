// A file under the box root mapped into every process that uses it: the log
// buffers and the property store live in such files. The first process to
// get there creates the file whole (built aside, then linked into place), so
// no process ever maps a half-made one; a file that is truncated or of a
// foreign format is reported and re-created, never read out of bounds.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace xkt::host {

struct SharedFileFormat {
    size_t createSize;                                   // size of a new file
    std::function<void(void* base, size_t size)> init;   // fills a new file
    // Checks a mapped file of the given size; false rejects it.
    std::function<bool(const void* base, size_t size)> valid;
};

class SharedFile {
public:
    SharedFile() = default;
    ~SharedFile();
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;

    // Maps path, creating or re-creating it as needed. On failure returns
    // false with a readable reason in error.
    bool open(const std::string& path, const SharedFileFormat& format, std::string& error);

    void* base() const { return base_; }
    size_t size() const { return size_; }
    int fd() const { return fd_; }

private:
    bool mapExisting(const std::string& path, const SharedFileFormat& format, std::string& why,
                     int& brokenFd);
    bool replaceBroken(int brokenFd, const std::string& path, const SharedFileFormat& format,
                       std::string& error);
    bool createAside(const std::string& path, const SharedFileFormat& format, bool replace,
                     std::string& error);
    void unmap();

    void* base_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
};

}  // namespace xkt::host
