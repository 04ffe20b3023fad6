// Texts that hold the library's own paths ("/tmp/log", "/data/...") or
// command lines built from them. On the box the root is "/" and every limit
// is the box's; on a development machine the paths live under XKT_ROOT, so
// such a buffer gets room for the root on top (kRootRoom, a property of the
// host build), and its limit grows by the root's length. A text that still does not fit is refused, never cut into
// a path that names something else.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <sys/stat.h>

#include "platform_seam.h"
#include "xkt_securec.h"

namespace xkt::log {

// BoxSize is the buffer size the box uses; the text may hold BoxSize - 1
// characters plus the root's length once for each of the Roots rooted
// paths it names (a copy command names two).
template <size_t BoxSize, size_t Roots = 1>
class BoxText {
public:
    BoxText() { text_[0] = '\0'; }

    // The box path under the root. 0, or -1 (text left empty).
    int32_t path(const char* boxPath) {
        if (mapBoxPath(boxPath, text_, static_cast<uint32_t>(limit() + 1)) != 0) {
            return clear();
        }
        length_ = std::strlen(text_);
        return 0;
    }

    // printf into the text; arguments that are the library's own paths
    // must already carry the root. 0, or -1 (text left empty) when too long.
    int32_t format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        int written = vsnprintf_s(text_, sizeof text_, limit(), format, args);
        va_end(args);
        if (written < 0) return clear();
        length_ = std::strlen(text_);
        return 0;
    }

    // A command line: format with every "%s" replaced by the next word,
    // quoted as one shell word whatever it holds (a root or a file name may
    // hold a blank, a quote or a ";"). 0, or -1 (text left empty) when too long.
    int32_t command(std::string_view format, std::initializer_list<std::string_view> words) {
        text_[0] = '\0';
        length_ = 0;
        auto word = words.begin();
        for (size_t at = format.find("%s"); at != std::string_view::npos; at = format.find("%s")) {
            if (word == words.end() || append(format.substr(0, at)) != 0 ||
                appendWord(*word++) != 0) {
                return clear();
            }
            format.remove_prefix(at + 2);
        }
        return append(format) != 0 ? clear() : 0;
    }

    // Adds text as it is, or as one single-quoted shell word (a quote in it
    // written '\''). 0, or -1 when the limit would be passed (text unchanged).
    int32_t append(std::string_view text) {
        if (text.size() > limit() - length_) return -1;
        std::memcpy(text_ + length_, text.data(), text.size());
        length_ += text.size();
        text_[length_] = '\0';
        return 0;
    }
    int32_t appendWord(std::string_view word) {
        const size_t start = length_;
        bool fits = append("'") == 0;
        for (size_t at = 0; fits && at < word.size();) {
            const size_t quote = word.find('\'', at);
            const size_t end = quote == std::string_view::npos ? word.size() : quote;
            fits = append(word.substr(at, end - at)) == 0 &&
                   (quote == std::string_view::npos || append("'\\''") == 0);
            at = quote == std::string_view::npos ? word.size() : quote + 1;
        }
        if (fits && append("'") == 0) return 0;
        length_ = start;
        text_[length_] = '\0';
        return -1;
    }

    const char* c_str() const { return text_; }
    char* data() { return text_; }
    std::string_view view() const { return text_; }
    bool empty() const { return text_[0] == '\0'; }

    // Characters this text may hold: the box's limit plus the roots.
    static size_t limit() {
        size_t root = rootLength();
        return BoxSize - 1 + Roots * (root < kRootRoom ? root : kRootRoom);
    }
    static constexpr size_t capacity() { return BoxSize + Roots * kRootRoom; }

private:
    int32_t clear() {
        text_[0] = '\0';
        length_ = 0;
        return -1;
    }

    char text_[BoxSize + Roots * kRootRoom];
    size_t length_ = 0;
};

// The path as the box names it, for messages: a rooted path loses the
// root's prefix ("$XKT_ROOT/tmp/errorlog" reads "/tmp/errorlog").
inline const char* boxPathOf(const char* path) {
    const size_t root = rootLength();
    BoxText<2> prefix;  // the root and "/"
    if (path == nullptr || root == 0 || prefix.path("/") != 0 ||
        std::strncmp(path, prefix.c_str(), root + 1) != 0) {
        return path;
    }
    return path + root;
}

// Every box has /tmp and /data; a fresh development root may not, so the
// parents of a path are created as a box would have them.
template <size_t BoxSize, size_t Roots>
void makeMissingParents(BoxText<BoxSize, Roots>& path) {
    char* text = path.data();
    for (char* slash = std::strchr(text + 1, '/'); slash != nullptr;
         slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        mkdir(text, 0755);  // an existing folder is what we want
        *slash = '/';
    }
}

}  // namespace xkt::log
