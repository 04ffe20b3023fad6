// A real syslog collector for tests and benchmarks: syslog-ng in the
// foreground on free loopback ports with private state, listening for
// classic UDP lines and the octet-counted TLS stream, plus a test PKI made
// with the openssl program. Every record it receives becomes one JSON line.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace xkt::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool openssl(const std::string& args) {
    return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
}

inline const std::string kCaExtensions =
    "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n";
inline const std::string kServerExtensions =
    "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";

// dir/name.key and dir/name.pem with exactly these extensions, signed by
// dir/issuer.{key,pem}, or self-signed when issuer is empty.
inline bool makeCert(const std::string& dir, const std::string& name,
                     const std::string& extensions, const std::string& issuer = "") {
    const std::string base = dir + "/" + name;
    std::ofstream(base + ".ext") << extensions;
    const std::string signer = issuer.empty()
        ? "-signkey " + base + ".key"
        : "-CA " + dir + "/" + issuer + ".pem -CAkey " + dir + "/" + issuer +
              ".key -CAcreateserial -CAserial " + dir + "/serial";
    return openssl("req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
                   base + ".key -out " + base + ".csr -subj /CN=" + name) &&
           openssl("x509 -req -days 2 -in " + base + ".csr " + signer + " -extfile " + base +
                   ".ext -out " + base + ".pem");
}

// The CA file the box trusts for the TLS stream, under the box root.
inline bool trustOnBox(const std::string& root, const std::string& caPem) {
    const std::string dir = root + "/system/iptv/setting/security/cacerts";
    return std::system(("mkdir -p " + dir + " && cp " + caPem + " " + dir + "/ca_tracelog.pem").c_str()) == 0;
}

inline uint16_t freePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// One received record: field name to value (numbers as their text).
using Record = std::map<std::string, std::string>;

// The flat objects of syslog-ng's format-json: string and number values.
inline Record parseRecord(const std::string& line) {
    Record record;
    size_t i = 0;
    auto text = [&] {
        std::string out;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                out += line[i];
                continue;
            }
            const char escaped = line[++i];
            if (escaped == 'u') {
                out += static_cast<char>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
                i += 4;
            } else {
                out += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
            }
        }
        ++i;
        return out;
    };
    for (;;) {
        i = line.find('"', i);
        if (i == std::string::npos) break;
        std::string key = text();
        i = line.find_first_not_of(": ", i);
        if (i == std::string::npos) break;
        if (line[i] == '"') {
            record[key] = text();
        } else {
            size_t end = line.find_first_of(",}", i);
            record[key] = line.substr(i, end - i);
            i = end;
        }
    }
    return record;
}

#ifdef XKT_COLLECTOR_CONF  // the configuration template; benchmarks use only the PKI above

class Collector {
public:
    // dir holds server.key and server.pem; received.jsonl is written there.
    explicit Collector(std::string dir) : dir_(std::move(dir)) {}
    ~Collector() { stop(); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Ports are picked free, but another process may take one first:
    // syslog-ng then ends at once with "Error binding socket" and the next
    // pair is tried.
    bool start() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            udpPort_ = freePort(SOCK_DGRAM);
            tlsPort_ = freePort(SOCK_STREAM);
            writeConfig();
            if (!spawn()) return false;
            if (waitForStartUp()) return true;
            if (log().find("Error binding socket") == std::string::npos) return false;
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    uint16_t udpPort() const { return udpPort_; }
    uint16_t tlsPort() const { return tlsPort_; }
    std::string log() const { return readFile(dir_ + "/syslog-ng.log"); }

    // The records received so far, once there are count of them or the
    // time-out passed (the file is written asynchronously).
    std::vector<Record> waitFor(size_t count, int timeoutMs = 10000) const {
        std::vector<Record> records;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            records.clear();
            std::istringstream in(readFile(dir_ + "/received.jsonl"));
            for (std::string line; std::getline(in, line);) records.push_back(parseRecord(line));
            if (records.size() >= count) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return records;
    }

private:
    void writeConfig() const {
        std::string conf = readFile(XKT_COLLECTOR_CONF);
        const std::pair<std::string, std::string> keys[] = {
            {"@DIR@", dir_}, {"@UDP_PORT@", std::to_string(udpPort_)},
            {"@TLS_PORT@", std::to_string(tlsPort_)}};
        for (const auto& [key, value] : keys) {
            for (size_t at; (at = conf.find(key)) != std::string::npos;) conf.replace(at, key.size(), value);
        }
        std::ofstream(dir_ + "/run.conf") << conf;
    }

    bool spawn() {
        const std::string conf = dir_ + "/run.conf", persist = dir_ + "/persist",
                          pidFile = dir_ + "/pid", control = dir_ + "/ctl", logFile = dir_ + "/syslog-ng.log";
        const char* argv[] = {"syslog-ng", "-F", "-e", "--no-caps", "-f", conf.c_str(),
                              "-R", persist.c_str(), "-p", pidFile.c_str(), "-c", control.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
        const int rc = posix_spawnp(&pid_, "syslog-ng", &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    bool waitForStartUp() {
        for (int waited = 0; waited < 10000; waited += 10) {
            if (log().find("syslog-ng starting up") != std::string::npos) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string dir_;
    pid_t pid_ = -1;
    uint16_t udpPort_ = 0;
    uint16_t tlsPort_ = 0;
};

#endif

}  // namespace xkt::test
