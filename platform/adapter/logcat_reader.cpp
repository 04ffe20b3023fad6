// The reader of the newer Android generations, over Android's own log
// reading interface (the "main" and "system" buffers of logd). Where no logd
// runs, as on a plain Linux machine, nothing is ever read.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include <android/log.h>
#include <log/log_read.h>

#include "xkt_utility.h"

namespace {

constexpr unsigned int kEmptyWaitMs = 100;

// Android's priority letters for the priorities 2 to 8.
char priorityLetter(int priority) {
    constexpr std::string_view kLetters = "VDIWEFS";
    const int at = priority - ANDROID_LOG_VERBOSE;
    return at >= 0 && at < static_cast<int>(kLetters.size()) ? kLetters[static_cast<size_t>(at)]
                                                             : '?';
}

struct logger_list* openReader() {
    struct logger_list* list = android_logger_list_alloc(ANDROID_LOG_NONBLOCK, 0, 0);
    if (list == nullptr) return nullptr;
    if (android_logger_open(list, LOG_ID_MAIN) == nullptr ||
        android_logger_open(list, LOG_ID_SYSTEM) == nullptr) {
        android_logger_list_free(list);
        return nullptr;
    }
    return list;
}

// Never closed: the log thread reads until the process ends.
struct logger_list* reader() {
    static struct logger_list* list = openReader();
    return list;
}

// One line per message line, each "P/TAG    (PPPPPPP): ", so that a record
// line starts at the 21st character. Lines that do not fit are left out.
int32_t formatLines(char priority, const char* tag, int32_t pid, std::string_view message,
                    char* text, size_t size) {
    size_t used = 0;
    while (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    for (bool more = true; more;) {
        const size_t end = message.find('\n');
        const std::string_view line = message.substr(0, end);
        more = end != std::string_view::npos;
        if (more) message.remove_prefix(end + 1);
        const int written =
            std::snprintf(text + used, size - used, "%s%c/%-7s(%7d): %.*s", used != 0 ? "\n" : "",
                          priority, tag, static_cast<int>(pid), static_cast<int>(line.size()),
                          line.data());
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            if (used == 0) used = size - 1;  // a first line that does not fit alone is cut
            text[used] = '\0';
            break;
        }
        used += static_cast<size_t>(written);
    }
    return static_cast<int32_t>(used);
}

}  // namespace

extern "C" int32_t xkt_read_logcat(char* text, int32_t size, XKT_LogcatEntry* entry) {
    if (text == nullptr || size <= 0 || entry == nullptr) return -1;
    text[0] = '\0';
    struct logger_list* list = reader();
    log_msg message{};
    if (list == nullptr || android_logger_list_read(list, &message) <= 0) {
        usleep(kEmptyWaitMs * 1000);
        return -1;
    }
    // The payload: priority byte, tag, NUL, message, NUL.
    const char* payload = message.msg();
    const size_t length = message.entry.len;
    if (payload == nullptr || length < 3) return -1;
    const char* tag = payload + 1;
    const size_t tagLength = strnlen(tag, length - 1);
    const size_t bodyAt = std::min(length, 1 + tagLength + 1);
    const std::string_view body(payload + bodyAt, strnlen(payload + bodyAt, length - bodyAt));
    static thread_local char lastTag[64];
    std::snprintf(lastTag, sizeof lastTag, "%.*s", static_cast<int>(tagLength), tag);

    *entry = XKT_LogcatEntry{};
    entry->priority = static_cast<uint8_t>(payload[0]);
    entry->pid = message.entry.pid;
    entry->tid = static_cast<int32_t>(message.entry.tid);
    entry->tag = lastTag;
    entry->seconds = static_cast<int32_t>(message.entry.sec);
    entry->nanoseconds = static_cast<int32_t>(message.entry.nsec);
    entry->length = formatLines(priorityLetter(entry->priority), lastTag, entry->pid, body, text,
                                static_cast<size_t>(size));
    return 0;
}
