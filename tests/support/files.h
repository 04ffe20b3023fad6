// Small file and waiting helpers shared by the tests and the benchmarks.
#pragma once

#include <fstream>
#include <string>
#include <unistd.h>

namespace xkt::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Polls a condition another thread or process makes true; the 10 s limit only
// keeps a broken build from hanging.
template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) usleep(10000);
    return pred();
}

}  // namespace xkt::test
