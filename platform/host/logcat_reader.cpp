#include "logcat_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "xkt_utility.h"

namespace xkt::host {

namespace {

constexpr std::string_view kPriorityLetters = "VDIWEFS";  // priorities 2 to 8
constexpr int kReadWaitMs = 100;
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

bool earlier(const LogEntryHeader& a, const LogEntryHeader& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.nanoseconds < b.nanoseconds;
}

}  // namespace

char priorityLetter(int priority) {
    return priority >= 2 && priority < 2 + static_cast<int>(kPriorityLetters.size())
               ? kPriorityLetters[static_cast<size_t>(priority - 2)]
               : '?';
}

// "%c/%-7s(%7d): " by hand: the log thread formats one per entry, and
// printf would cost as much as the rest of the read.
size_t formatPrefix(const LogEntryView& entry, char* out) {
    static_assert(kReaderPrefixMax >= 2 + kMaxPayload + 1 + 11 + 3);
    constexpr size_t kWidth = 7;
    constexpr const char* kBlanks = "       ";
    char* p = out;
    *p++ = priorityLetter(entry.priority);
    *p++ = '/';
    // Blanks first: a shorter tag or number leaves the padding standing.
    std::memcpy(p, kBlanks, kWidth);
    std::memcpy(p, entry.tag.data(), entry.tag.size());
    p += std::max(entry.tag.size(), kWidth);
    *p++ = '(';
    // The digits backwards from the field's end, two per division.
    char digits[12];
    char* first = std::end(digits);
    const int32_t pid = entry.header.pid;
    uint32_t magnitude = pid < 0 ? 0u - static_cast<uint32_t>(pid) : static_cast<uint32_t>(pid);
    for (; magnitude >= 100; magnitude /= 100) {
        first -= 2;
        std::memcpy(first, kDigitPairs + magnitude % 100 * 2, 2);
    }
    if (magnitude >= 10) {
        first -= 2;
        std::memcpy(first, kDigitPairs + magnitude * 2, 2);
    } else {
        *--first = static_cast<char>('0' + magnitude);
    }
    if (pid < 0) *--first = '-';
    const auto length = static_cast<size_t>(std::end(digits) - first);
    std::memcpy(p, kBlanks, kWidth);
    p += length < kWidth ? kWidth - length : 0;
    std::memcpy(p, first, length);
    p += length;
    std::memcpy(p, "): ", 3);
    return static_cast<size_t>(p + 3 - out);
}

size_t formatReaderText(const LogEntryView& entry, char* text, size_t size) {
    char prefix[kReaderPrefixMax];
    const size_t prefixLength = formatPrefix(entry, prefix);
    return formatReaderLines(std::string_view(prefix, prefixLength), entry.message, text, size);
}

size_t formatReaderLines(std::string_view prefix, std::string_view message, char* text,
                         size_t size) {
    if (size == 0) return 0;
    const size_t limit = size - 1;
    size_t used = 0;
    bool any = false;
    bool full = false;
    forEachMessageLine(message, [&](std::string_view line) {
        if (full) return;
        size_t need = (any ? 1 : 0) + prefix.size() + line.size();
        if (used + need > limit) {
            full = true;
            if (any) return;
            // Not even the first line fits: better a cut line than none.
            size_t head = std::min(prefix.size(), limit);
            std::memcpy(text, prefix.data(), head);
            size_t body = std::min(line.size(), limit - head);
            std::memcpy(text + head, line.data(), body);
            used = head + body;
            return;
        }
        if (any) text[used++] = '\n';
        std::memcpy(text + used, prefix.data(), prefix.size());
        std::memcpy(text + used + prefix.size(), line.data(), line.size());
        used += prefix.size() + line.size();
        any = true;
    });
    text[used] = '\0';
    return used;
}

std::string_view ReaderPrefixCache::prefix(const LogEntryView& entry) {
    const bool sameTag = tag_.size() == entry.tag.size() &&
                         std::memcmp(tag_.data(), entry.tag.data(), tag_.size()) == 0;
    if (length_ == 0 || priority_ != entry.priority || pid_ != entry.header.pid || !sameTag) {
        tag_.assign(entry.tag);
        priority_ = entry.priority;
        pid_ = entry.header.pid;
        length_ = formatPrefix(entry, text_.data());
    }
    return std::string_view(text_.data(), length_);
}

LogMerger::LogMerger(const std::vector<LogId>& ids) {
    for (LogId id : ids) {
        LogBuffer* buffer = LogBuffer::get(id);
        if (buffer == nullptr) {
            ok_ = false;
            continue;
        }
        auto source = std::make_unique<Source>();
        source->id = id;
        source->reader = std::make_unique<LogReader>(*buffer);
        sources_.push_back(std::move(source));
    }
}

bool LogMerger::fill(Source& source) {
    while (source.size == 0) {
        if (source.nextEntry == source.entriesRead) {
            const int copied =
                source.reader->readSome(source.entries.data(), source.entries.size());
            if (copied <= 0) return false;
            source.entriesRead = static_cast<size_t>(copied);
            source.nextEntry = 0;
        }
        // Whole entries only, each as long as its header says.
        const uint8_t* entry = source.entries.data() + source.nextEntry;
        const size_t size = kEntryHeaderSize + decodeEntryHeader(entry).payloadLength;
        source.nextEntry += size;
        // An entry without a payload is skipped: nobody could print it.
        if (parseLogEntry(entry, size, source.view)) source.size = size;
    }
    return true;
}

bool LogMerger::next(LogEntryView& entry, LogId* id) {
    Source* best = nullptr;
    for (auto& source : sources_) {
        if (fill(*source) && (best == nullptr || earlier(source->view.header, best->view.header))) {
            best = source.get();
        }
    }
    if (best == nullptr) return false;
    entry = best->view;
    if (id != nullptr) *id = best->id;
    best->size = 0;
    return true;
}

bool LogMerger::wait(int timeoutMs) {
    auto ready = [this] {
        for (auto& source : sources_) {
            if (source->size != 0 || source->nextEntry != source->entriesRead ||
                source->reader->hasUnread()) {
                return true;
            }
        }
        return false;
    };
    return waitForLogs(ready, timeoutMs) == LogWaitResult::Ready;
}

void LogMerger::stopAtCurrentEnd() {
    for (auto& source : sources_) source->reader->stopAtCurrentEnd();
}

uint64_t LogMerger::takeLost() {
    uint64_t lost = 0;
    for (auto& source : sources_) {
        lost += source->reader->lost() - source->lostReported;
        source->lostReported = source->reader->lost();
    }
    return lost;
}

}  // namespace xkt::host

using namespace xkt::host;

namespace {

// The next entry, waiting up to timeoutMs. A wake-up without an entry (the
// ones seen were overwritten while copied) waits again for what is left of
// the time: the caller pauses long after a read that gave nothing.
bool nextWithin(LogMerger& merger, LogEntryView& view, int timeoutMs) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int left = timeoutMs;;) {
        if (merger.next(view)) return true;
        if (left <= 0 || !merger.wait(left)) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t spentMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        left = timeoutMs - static_cast<int>(std::min<int64_t>(spentMs, timeoutMs));
    }
}

}  // namespace

extern "C" int32_t xkt_read_logcat(char* text, int32_t size, XKT_LogcatEntry* entry) {
    if (text == nullptr || size <= 0) return -1;
    text[0] = '\0';
    // One reader for the process. Never destroyed: the log thread may still
    // be in here while the process exits.
    static std::mutex mutex;
    static LogMerger* merger = nullptr;
    static ReaderPrefixCache* prefixes = new ReaderPrefixCache;
    std::lock_guard<std::mutex> lock(mutex);
    if (merger == nullptr) {
        auto created = std::make_unique<LogMerger>(std::vector<LogId>{LogId::Main, LogId::System});
        if (!created->ok()) return -1;
        merger = created.release();
    }
    LogEntryView view;
    if (!nextWithin(*merger, view, kReadWaitMs)) return 1;
    // formatReaderText, with the prefix of the entry before when it is the same.
    size_t length =
        formatReaderLines(prefixes->prefix(view), view.message, text, static_cast<size_t>(size));
    if (entry != nullptr) {
        entry->length = static_cast<int32_t>(length);
        entry->lost = static_cast<int32_t>(std::min<uint64_t>(merger->takeLost(), INT32_MAX));
        entry->priority = view.priority;
        entry->pid = view.header.pid;
        entry->tid = view.header.tid;
        entry->tag = prefixes->tag();
        entry->seconds = view.header.seconds;
        entry->nanoseconds = view.header.nanoseconds;
    }
    return 0;
}
