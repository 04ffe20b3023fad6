// Writes N accepted messages after a warm-up; run under "strace -f -c" with
// two values of N: the system calls must not grow with N.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_common.h"

int main(int argc, char** argv) {
    long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    std::string root = xkt::bench::makeBenchRoot();
    const std::string message(100, 'm');
    for (int i = 0; i < 100; ++i) {  // warm-up: maps, caches, first look-ups
        XKT_logWrite(__FILE__, __LINE__, __func__, 0, 1, 2, "bench", "%s", message.c_str());
    }
    std::fprintf(stderr, "warm\n");
    for (long i = 0; i < count; ++i) {
        XKT_logWrite(__FILE__, __LINE__, __func__, 0, 1, 2, "bench", "%s", message.c_str());
    }
    std::fprintf(stderr, "done\n");
    xkt::bench::removeBenchRoot(root);
    return 0;
}
