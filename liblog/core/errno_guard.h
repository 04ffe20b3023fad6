// Hands errno back as the caller left it. Every exported call opens with
// one: the library's own mkdir, open and property calls must never show up
// as the "code" of the caller's next record or in its next strerror.
#pragma once

#include <cerrno>

namespace xkt::log {

class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

    // The value the caller left, for the record's code field.
    int saved() const { return saved_; }

private:
    int saved_;
};

}  // namespace xkt::log
