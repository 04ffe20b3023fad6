// Reading the Android log as text: several rings merged into one stream in
// time order, and the line layouts built from it. Shared by
// xkt_read_logcat and the logcat stand-in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "log_buffer.h"

namespace xkt::host {

// "VDIWEFS" for the priorities 2 to 8, '?' for anything else.
char priorityLetter(int priority);

// Calls fn(line) for each line of a message; line feeds at the end make no
// empty lines, an empty message is one empty line.
template <typename Fn>
void forEachMessageLine(std::string_view message, Fn&& fn) {
    while (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    for (;;) {
        size_t end = message.find('\n');
        fn(message.substr(0, end));
        if (end == std::string_view::npos) return;
        message.remove_prefix(end + 1);
    }
}

// The text xkt_read_logcat hands out for one entry: one line per message
// line, each with the prefix "%c/%-7s(%7d): ", separated by line feeds.
// Never more than size - 1 characters and a NUL: lines that do not fit are
// left out, and only a first line that does not fit alone is cut. Returns
// the length written.
size_t formatReaderText(const LogEntryView& entry, char* text, size_t size);

// The prefix "%c/%-7s(%7d): " at its longest: a tag fills a payload at most.
inline constexpr size_t kReaderPrefixMax = kMaxPayload + 32;

// formatReaderText with the prefix already made.
size_t formatReaderLines(std::string_view prefix, std::string_view message, char* text,
                         size_t size);

// The prefix of the last entry asked about: most entries share the
// priority, process and tag of the one before, and get its prefix without
// formatting it again.
class ReaderPrefixCache {
public:
    // The entry's prefix, as formatReaderText writes it; valid until the
    // next call.
    std::string_view prefix(const LogEntryView& entry);
    // The tag of the last entry asked about, NUL-terminated; valid until the
    // next call.
    const char* tag() const { return tag_.c_str(); }

private:
    int priority_ = 0;
    int32_t pid_ = 0;
    std::string tag_;
    size_t length_ = 0;  // 0 while nothing is cached: a prefix is never empty
    std::array<char, kReaderPrefixMax> text_{};
};

// Several buffers read as one stream, the earliest entry first.
class LogMerger {
public:
    // Maps the buffers; ok() is false when one could not be mapped.
    explicit LogMerger(const std::vector<LogId>& ids);
    bool ok() const { return ok_; }

    // The next entry, false when none is unread now. The view stays valid
    // until the next call. id, when given, receives the entry's buffer.
    bool next(LogEntryView& entry, LogId* id = nullptr);
    // Waits up to timeoutMs (< 0: for ever) for an entry; false on time-out
    // or signal.
    bool wait(int timeoutMs);
    // Ends the stream at the entries present now.
    void stopAtCurrentEnd();
    // Entries lost to overwriting since the last call, all buffers together.
    uint64_t takeLost();

private:
    // Entries are read ahead a few at a time: one hold of a busy buffer's
    // lock, shared with its writers, for several entries. The largest entry
    // fits, and a hold stays short.
    static constexpr size_t kReadAhead = kMaxEntrySize + 2048;

    struct Source {
        LogId id;
        std::unique_ptr<LogReader> reader;
        std::array<uint8_t, kReadAhead> entries{};
        size_t entriesRead = 0;  // bytes in entries
        size_t nextEntry = 0;    // where the next unparsed one starts
        size_t size = 0;         // of the entry held, 0 when none
        LogEntryView view;
        uint64_t lostReported = 0;
    };
    bool fill(Source& source);

    std::vector<std::unique_ptr<Source>> sources_;
    bool ok_ = true;
};

}  // namespace xkt::host
