#include "logcat_reader.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "xkt_utility.h"

namespace xkt::host {

namespace {

constexpr std::string_view kPriorityLetters = "VDIWEFS";  // priorities 2 to 8
constexpr int kReadWaitMs = 100;

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
    char* p = out;
    *p++ = priorityLetter(entry.priority);
    *p++ = '/';
    std::memcpy(p, entry.tag.data(), entry.tag.size());
    p += entry.tag.size();
    for (size_t pad = entry.tag.size(); pad < 7; ++pad) *p++ = ' ';
    *p++ = '(';
    char digits[12];
    size_t n = 0;
    const int64_t pid = entry.header.pid;
    uint64_t magnitude = pid < 0 ? static_cast<uint64_t>(-pid) : static_cast<uint64_t>(pid);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (pid < 0) digits[n++] = '-';
    for (size_t pad = n; pad < 7; ++pad) *p++ = ' ';
    while (n > 0) *p++ = digits[--n];
    std::memcpy(p, "): ", 3);
    return static_cast<size_t>(p + 3 - out);
}

size_t formatReaderText(const LogEntryView& entry, char* text, size_t size) {
    if (size == 0) return 0;
    char prefix[kMaxPayload + 32];
    const size_t prefixLength = formatPrefix(entry, prefix);
    const size_t limit = size - 1;
    size_t used = 0;
    bool any = false;
    bool full = false;
    forEachMessageLine(entry.message, [&](std::string_view line) {
        if (full) return;
        size_t need = (any ? 1 : 0) + prefixLength + line.size();
        if (used + need > limit) {
            full = true;
            if (any) return;
            // Not even the first line fits: better a cut line than none.
            size_t head = std::min(prefixLength, limit);
            std::memcpy(text, prefix, head);
            size_t body = std::min(line.size(), limit - head);
            std::memcpy(text + head, line.data(), body);
            used = head + body;
            return;
        }
        if (any) text[used++] = '\n';
        std::memcpy(text + used, prefix, prefixLength);
        std::memcpy(text + used + prefixLength, line.data(), line.size());
        used += prefixLength + line.size();
        any = true;
    });
    text[used] = '\0';
    return used;
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
        int size = source.reader->read(source.entry.data(), source.entry.size());
        if (size <= 0) return false;
        // An entry without a payload is skipped: nobody could print it.
        if (parseLogEntry(source.entry.data(), static_cast<size_t>(size), source.view)) {
            source.size = static_cast<size_t>(size);
        }
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
            if (source->size != 0 || source->reader->hasUnread()) return true;
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

extern "C" int32_t xkt_read_logcat(char* text, int32_t size, XKT_LogcatEntry* entry) {
    if (text == nullptr || size <= 0) return -1;
    text[0] = '\0';
    // One reader for the process. Never destroyed: the log thread may still
    // be in here while the process exits.
    static std::mutex mutex;
    static LogMerger* merger = nullptr;
    static std::string* tag = new std::string;
    std::lock_guard<std::mutex> lock(mutex);
    if (merger == nullptr) {
        auto created = std::make_unique<LogMerger>(std::vector<LogId>{LogId::Main, LogId::System});
        if (!created->ok()) return -1;
        merger = created.release();
    }
    LogEntryView view;
    if (!merger->next(view) && (!merger->wait(kReadWaitMs) || !merger->next(view))) return 1;
    size_t length = formatReaderText(view, text, static_cast<size_t>(size));
    if (entry != nullptr) {
        tag->assign(view.tag);
        entry->length = static_cast<int32_t>(length);
        entry->lost = static_cast<int32_t>(std::min<uint64_t>(merger->takeLost(), INT32_MAX));
        entry->priority = view.priority;
        entry->pid = view.header.pid;
        entry->tid = view.header.tid;
        entry->tag = tag->c_str();
        entry->seconds = view.header.seconds;
        entry->nanoseconds = view.header.nanoseconds;
    }
    return 0;
}
