// The two diagnostic stores on flash: where each keeps its archives, its
// cyclic index and the list of temporary files an export works through.
// Paths are the box's; they are rooted where they are used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string_view>

#include "box_path.h"
#include "self_log.h"
#include "shell_utils.h"

namespace xkt::log {

struct FlashStore {
    const char* flashDirectory;
    const char* indexFile;
    const char* listFile;
    int32_t modulus;  // archives kept, and the index's range
};

inline constexpr FlashStore kErrorStore{"/data/tarvek-log/Error", "/data/errorindex.txt",
                                        "/tmp/errorloglist.txt", 50};
inline constexpr FlashStore kExpStore{"/data/tarvek-log/exp", "/data/expindex.txt",
                                      "/tmp/exploglist.txt", 10};

constexpr const FlashStore& flashStore(int32_t isExp) {
    return isExp != 0 ? kExpStore : kErrorStore;
}

// The copy operations: "PROGRAM src dst" in a command of CommandSize
// bytes (the box's sizes differ), waited for. Only a command that could
// not be started counts as failed: the copy's own exit status is not
// examined.
template <size_t CommandSize>
int32_t copyByCommand(const char* format, const char* src, const char* dst, const char* function,
                      const char* failure) {
    if (src == nullptr || dst == nullptr) return XKT_SELF_FAIL(function, "invalid param");
    BoxText<CommandSize, 2> command;
    command.command(format, {src, dst});
    return runCommand(command.c_str(), ShellRoute::Waited, function, failure) < 0 ? -1 : 0;
}

// List files are read with this line buffer: a name of up to 30 characters
// and its line feed make one line.
inline constexpr size_t kListLineSize = 32;

// Reads a list file the one way every user of it must: a zeroed
// kListLineSize buffer per read. An over-long name then comes back as
// several lines, so the count that decides which archives are deleted and
// the export that reuses their indexes always agree.
class ListFile {
public:
    explicit ListFile(const char* path);
    ~ListFile();
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // The next read that left text in the buffer, line feed included; null
    // at the end of the file or after a read error (failed() says which).
    char* nextLine();
    bool failed() const { return failed_; }

private:
    FILE* file_;
    bool failed_ = false;
    char line_[kListLineSize];
};

// Hands every line of the store's list file (a box path, rooted here) to
// visit, as ListFile reads it. 0 when the list was read to its end; -1 with
// "fopen failed" or "fgets failed" written for function.
template <typename Visit>
int32_t walkListFile(const char* boxListFile, const char* function, Visit visit);

// Removes one trailing line feed in place; returns line.
char* withoutLineFeed(char* line);

// The leading decimal number of text as atoi reads it (blanks, a sign,
// digits; 0 when there are none), held to the int32_t range.
int32_t parseDecimal(std::string_view text);

// value mod modulus as signed division gives it (negative for a negative
// value). Callers pass index + count as int64_t: an index file may hold any
// int32_t, and the sum must not overflow.
int32_t cyclicIndex(int64_t value, int32_t modulus);

// Whether a directory entry is a directory, asking the file system when
// the listing does not say.
bool isDirectory(DIR* dir, const dirent& entry);

// Stores the next index: "w+" and "%d" without a line feed. 0, or -1 when
// the file cannot be opened or the number did not reach it: on a full flash
// the number is lost at the close, and the export then stops as for a file
// that cannot be opened, so its temporary files stay for the next period.
int32_t writeIndexFile(const char* path, int32_t index);

// Adds an export's repeating timer: its first run one period from now,
// then every period (g_iTimeIntervalForLogToFlash). The timer id, or -1
// with "add timer failed" written for function.
int32_t addExportTimer(void (*callback)(int32_t timerId, int32_t arg), const char* function);

template <typename Visit>
int32_t walkListFile(const char* boxListFile, const char* function, Visit visit) {
    BoxText<64> path;
    path.path(boxListFile);  // a path that does not fit stays empty: no file
    ListFile list(path.c_str());
    if (!list.isOpen()) return XKT_SELF_FAIL(function, "fopen failed");
    while (char* line = list.nextLine()) visit(line);
    return list.failed() ? XKT_SELF_FAIL(function, "fgets failed") : 0;
}

}  // namespace xkt::log
