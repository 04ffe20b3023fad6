#include "fleet_tier.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace xkt::fleet {

bool readTier(const std::string& dir, Tier& tier) {
    std::ifstream env(dir + "/env");
    if (!env) return false;
    tier.dir = dir;
    std::string line;
    while (std::getline(env, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        const auto port = static_cast<uint16_t>(std::strtoul(value.c_str(), nullptr, 10));
        if (key == "UDP_PORT") tier.udpPort = port;
        if (key == "TLS_PORT") tier.tlsPort = port;
        if (key == "STORE_HTTP_PORT") tier.storeHttpPort = port;
        if (key == "CA_FILE") tier.caFile = value;
        if (key == "RELAY_PORT") tier.relayPort = port;
        if (key == "AES_KEY_FILE") tier.keyFile = value;
        if (key == "STORE_TABLE" && (value == "boxlog" || value == "boxlog_all")) tier.storeTable = value;
    }
    return tier.udpPort != 0 && tier.tlsPort != 0;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int connectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    const sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool storeQuery(uint16_t port, const std::string& sql, std::string& body) {
    const int fd = connectLoopback(port);
    if (fd < 0) return false;
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "POST / HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(sql.size()) + "\r\n\r\n" + sql;
    bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(request.size());
    std::string answer;
    char chunk[65536];
    for (ssize_t n; ok && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, n);
    close(fd);
    const size_t headEnd = answer.find("\r\n\r\n");
    if (!ok || headEnd == std::string::npos || answer.compare(0, 12, "HTTP/1.0 200") != 0) {
        return false;
    }
    body = answer.substr(headEnd + 4);
    return true;
}

long storedRows(const Tier& tier, const std::string& token) {
    std::string sql = "SELECT count() FROM fleet." + tier.storeTable;
    // A run's token is hexadecimal: nothing to quote.
    if (!token.empty()) sql += " WHERE position(msg, '" + token + "') > 0";
    std::string body;
    if (!storeQuery(tier.storeHttpPort, sql, body)) return -1;
    return std::strtol(body.c_str(), nullptr, 10);
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

long countLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char chunk[65536];
    long lines = 0;
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        lines += std::count(chunk, chunk + in.gcount(), '\n');
    }
    return lines;
}

long linesWith(const std::string& path, const std::string& token) {
    std::ifstream in(path);
    long lines = 0;
    for (std::string line; std::getline(in, line);) lines += line.find(token) != std::string::npos;
    return lines;
}

long receivedLines(const std::string& tierDir, const std::string& token) {
    const std::string boxes = tierDir + "/boxes";
    long lines = 0;
    for (const std::string& mac : listDir(boxes)) {
        for (const std::string& day : listDir(boxes + "/" + mac)) {
            const std::string file = boxes + "/" + mac + "/" + day;
            lines += token.empty() ? countLines(file) : linesWith(file, token);
        }
    }
    return lines;
}

}  // namespace xkt::fleet
