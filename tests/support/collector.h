// A real syslog collector for tests: syslog-ng in the foreground on free
// loopback ports with private state, taking classic UDP lines and the
// octet-counted TLS stream; every record it receives becomes one JSON line.
// Also the test PKI, made with the openssl program (benchmarks use it too).
#pragma once

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sys/prctl.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace xkt::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline const std::string kCaExtensions = "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n";
inline const std::string kServerExtensions =
    "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";

// dir/name.{key,pem} with exactly these extensions, signed by
// dir/issuer.{key,pem}, or self-signed when issuer is empty.
inline bool makeCert(const std::string& dir, const std::string& name, const std::string& extensions,
                     const std::string& issuer = "") {
    const std::string base = dir + "/" + name, by = dir + "/" + issuer;
    std::ofstream(base + ".ext") << extensions;
    const std::string signer = issuer.empty() ? "-signkey " + base + ".key"
        : "-CA " + by + ".pem -CAkey " + by + ".key -CAcreateserial -CAserial " + dir + "/serial";
    return std::system(("(openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" +
                        name + " -keyout " + base + ".key -out " + base + ".csr && openssl x509 -req -days 2 -in " +
                        base + ".csr " + signer + " -extfile " + base + ".ext -out " + base + ".pem) >/dev/null 2>&1")
                           .c_str()) == 0;
}

// The CA file the box trusts for the TLS stream, under the box root.
inline bool trustOnBox(const std::string& root, const std::string& caPem) {
    const std::string dir = root + "/system/iptv/setting/security/cacerts";
    return std::system(("mkdir -p " + dir + " && cp " + caPem + " " + dir + "/ca_tracelog.pem").c_str()) == 0;
}

// A socket bound to a free loopback port.
inline int loopbackSocket(int type, uint16_t& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

inline uint16_t freePort(int type) {
    uint16_t port = 0;
    close(loopbackSocket(type, port));
    return port;
}

// One field of a format-json line (key order is not stable), \-escapes undone.
inline std::string field(const std::string& record, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(record, m, std::regex("\"" + key + "\":(\"((\\\\.|[^\"\\\\])*)\"|[0-9]+)"))) return "?";
    return std::regex_replace(m[2].matched ? m[2].str() : m[1].str(), std::regex("\\\\(.)"), "$1");
}

#ifdef XKT_COLLECTOR_CONF  // the configuration template

class Collector {
public:
    // dir holds server.key and server.pem; received.jsonl is written there.
    explicit Collector(std::string dir) : dir_(std::move(dir)) {}
    ~Collector() { stop(); }

    // Another process may take a free port first: syslog-ng then ends at
    // once with "Error binding socket" and the next pair is tried.
    bool start() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            udpPort_ = freePort(SOCK_DGRAM);
            tlsPort_ = freePort(SOCK_STREAM);
            std::string conf = std::regex_replace(readFile(XKT_COLLECTOR_CONF), std::regex("@DIR@"), dir_);
            conf = std::regex_replace(conf, std::regex("@UDP_PORT@"), std::to_string(udpPort_));
            std::ofstream(dir_ + "/run.conf") << std::regex_replace(conf, std::regex("@TLS_PORT@"), std::to_string(tlsPort_));
            const std::string d = dir_ + "/", command = "exec syslog-ng -F -e --no-caps -f " + d + "run.conf -R " +
                d + "persist -p " + d + "pid -c " + d + "ctl </dev/null 2>" + d + "syslog-ng.log";
            if ((pid_ = fork()) == 0) {
                // A test process that dies must not leave its collector running.
                prctl(PR_SET_PDEATHSIG, SIGTERM);
                execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
                _exit(127);
            }
            if (pid_ < 0) return false;
            for (int waited = 0; waited < 1000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++waited, usleep(10000)) {
                if (log().find("syslog-ng starting up") != std::string::npos) return true;
            }
            stop();
            if (log().find("Error binding socket") == std::string::npos) return false;
        }
        return false;
    }

    void stop() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    uint16_t udpPort() const { return udpPort_; }
    uint16_t tlsPort() const { return tlsPort_; }
    std::string log() const { return readFile(dir_ + "/syslog-ng.log"); }

    // The records so far, once there are count of them or 10 s passed (the
    // file is written asynchronously).
    std::vector<std::string> waitFor(size_t count) const {
        std::vector<std::string> records;
        for (int waited = 0; waited < 500 && records.size() < count; ++waited, usleep(20000)) {
            records.clear();
            std::istringstream in(readFile(dir_ + "/received.jsonl"));
            for (std::string line; std::getline(in, line);) records.push_back(line);
        }
        return records;
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    uint16_t udpPort_ = 0;
    uint16_t tlsPort_ = 0;
};

#endif

}  // namespace xkt::test
