// The buffers' names and the logger's version-1 entry layout.
#include <array>
#include <ctime>

#include "log_buffer.h"
#include "process_ids.h"

namespace xkt::host {

namespace {

constexpr std::array<std::string_view, kLogIdCount> kLogNames = {"main", "radio", "events",
                                                                 "system"};

void putLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void putLe32(uint8_t* out, int32_t value) {
    auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

uint16_t readLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (static_cast<uint16_t>(in[1]) << 8));
}

int32_t readLe32(const uint8_t* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(bits);
}

}  // namespace

std::string_view logIdName(LogId id) {
    auto index = static_cast<size_t>(id);
    return index < kLogNames.size() ? kLogNames[index] : std::string_view("?");
}

std::optional<LogId> logIdFromName(std::string_view name) {
    for (size_t i = 0; i < kLogNames.size(); ++i) {
        if (kLogNames[i] == name) return static_cast<LogId>(i);
    }
    return std::nullopt;
}

void encodeEntryHeader(const LogEntryHeader& header, uint8_t out[kEntryHeaderSize]) {
    putLe16(out, header.payloadLength);
    putLe16(out + 2, header.padding);
    putLe32(out + 4, header.pid);
    putLe32(out + 8, header.tid);
    putLe32(out + 12, header.seconds);
    putLe32(out + 16, header.nanoseconds);
}

LogEntryHeader decodeEntryHeader(const uint8_t in[kEntryHeaderSize]) {
    LogEntryHeader header;
    header.payloadLength = readLe16(in);
    header.padding = readLe16(in + 2);
    header.pid = readLe32(in + 4);
    header.tid = readLe32(in + 8);
    header.seconds = readLe32(in + 12);
    header.nanoseconds = readLe32(in + 16);
    return header;
}

bool parseLogEntry(const uint8_t* entry, size_t size, LogEntryView& view) {
    if (size < kEntryHeaderSize) return false;
    view.header = decodeEntryHeader(entry);
    size_t length = view.header.payloadLength;
    if (length == 0 || length > size - kEntryHeaderSize) return false;
    std::string_view payload(reinterpret_cast<const char*>(entry + kEntryHeaderSize), length);
    view.priority = static_cast<uint8_t>(payload[0]);
    payload.remove_prefix(1);
    size_t end = payload.find('\0');
    view.tag = payload.substr(0, end);
    payload.remove_prefix(end == std::string_view::npos ? payload.size() : end + 1);
    view.message = payload.substr(0, payload.find('\0'));
    return true;
}

LogOrigin currentOrigin() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    LogOrigin origin;
    origin.pid = currentPid();
    origin.tid = currentTid();
    origin.seconds = static_cast<int32_t>(now.tv_sec);
    origin.nanoseconds = static_cast<int32_t>(now.tv_nsec);
    return origin;
}

}  // namespace xkt::host
