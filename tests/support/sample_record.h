// One well-known record for golden-line tests: Oper, WARN, 09:05:07, module
// "net", thread 4321 (0x10e1), player.cpp:88 in play(), code 13.
#pragma once

#include <cstring>

#include "xkt_log.h"

namespace xkt::test {

inline LogRecord sampleRecord() {
    LogRecord record{};
    record.type = XKT_LOG_TYPE_OPER;
    record.level = XKT_LOG_LEVEL_WARN;
    record.time.hour = 9;
    record.time.minute = 5;
    record.time.second = 7;
    std::strcpy(record.module, "net");
    std::strcpy(record.file, "player.cpp");
    std::strcpy(record.function, "play");
    record.line = 88;
    record.threadId = 4321;
    record.code = 13;
    std::strcpy(record.message, "hello world");
    return record;
}

}  // namespace xkt::test
