// The log thread's handling of one entry and its dispatch, reachable by the
// tests with forged bytes that no log device would hand out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "entry_conversion.h"
#include "syslog_format.h"
#include "xkt_log.h"
#include "xkt_utility.h"

namespace xkt::log {

// The entry's 20-byte little-endian header.
LogDeviceHeader decodeDeviceHeader(const char* entry);

// Converts the entry of bytesRead bytes that a log device read left in
// entry (1288 bytes). It is considered only when its header's payload length
// is what was read behind the header, and at least 3. 0 when item holds a
// converted item, -1 when the entry is dropped.
int32_t takeDeviceEntry(void* item, const char* entry, int32_t bytesRead, int32_t* recordKind);

// The dispatcher's line buffer. Every byte from `dirty` on is 0, so a
// formatter gets a cleared buffer at the cost of clearing what the last one
// wrote. A fresh buffer is all dirty.
struct FormatBuffer {
    char text[XKT_LOG_FORMAT_BUFFER_SIZE];
    size_t dirty = sizeof text;
};

// XKT_processLog with a line buffer kept from item to item. textLength is
// the length of the item's text (a record's message or the plain line), or
// kUnknownLength. fileLinesMayWait: the log thread's lines for the local
// file may wait for the ones after them (writeLogFileLine).
void dispatchItem(const void* item, int32_t recordKind, FormatBuffer& buffer,
                  size_t textLength = kUnknownLength, bool fileLinesMayWait = false);

}  // namespace xkt::log
