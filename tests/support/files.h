// Small file and waiting helpers shared by the tests and the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace xkt::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// word as one shell word, in single quotes.
inline std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The last line of a text, without the line feeds after it.
inline std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);  // npos + 1 is 0
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The names in a directory, sorted.
inline std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A file of the given age in seconds, made at staged and renamed into place:
// complete when it appears, as a running export may list it at any moment.
inline void placeAged(const std::string& staged, const std::string& path, const std::string& content, int age) {
    std::ofstream(staged) << content;
    std::filesystem::last_write_time(staged, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age));
    std::filesystem::rename(staged, path);
}

// Polls a condition another thread or process makes true; the 10 s limit only
// keeps a broken build from hanging.
template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 1000 && !pred(); ++i) usleep(10000);
    return pred();
}

}  // namespace xkt::test
