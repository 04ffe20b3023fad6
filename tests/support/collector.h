// A real syslog collector for tests: syslog-ng in the foreground on free loopback
// ports with private state, for classic UDP lines and the octet-counted TLS stream.
// Also the test PKI, made with the openssl program (benchmarks use it too).
#pragma once

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "files.h"

namespace xkt::test {

inline const std::string kCaExtensions = "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n";
inline const std::string kServerExtensions =
    "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";

// dir/name.{key,pem} with exactly these extensions, signed by
// dir/issuer.{key,pem}, or self-signed when issuer is empty.
inline bool makeCert(const std::string& dir, const std::string& name, const std::string& extensions,
                     const std::string& issuer = "") {
    std::ofstream(dir + "/" + name + ".ext") << extensions;
    // Quoted, then extended: 'dir/name'.key is still one shell word.
    const std::string base = quoted(dir + "/" + name), by = quoted(dir + "/" + issuer);
    const std::string signer = issuer.empty() ? "-signkey " + base + ".key"
        : "-CA " + by + ".pem -CAkey " + by + ".key -CAcreateserial -CAserial " + quoted(dir) + "/serial";
    return std::system(("(openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" +
                        quoted(name) + " -keyout " + base + ".key -out " + base + ".csr && openssl x509 -req -days 2 -in " +
                        base + ".csr " + signer + " -extfile " + base + ".ext -out " + base + ".pem) >/dev/null 2>&1")
                           .c_str()) == 0;
}

// The CA file the box trusts for the TLS stream, under the box root.
inline bool trustOnBox(const std::string& root, const std::string& caPem) {
    const std::string dir = quoted(root + "/system/iptv/setting/security/cacerts");
    return std::system(("mkdir -p " + dir + " && cp " + quoted(caPem) + " " + dir + "/ca_tracelog.pem").c_str()) == 0;
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

#ifdef XKT_COLLECTOR_CONF  // the configuration file

// Runs in dir, which holds server.key and server.pem; every record it receives
// becomes a line "PRI FACILITY SEVERITY HOST PROGRAM: MESSAGE<tab>RAW".
class Collector {
public:
    explicit Collector(std::string dir) : dir_(std::move(dir)) {}
    ~Collector() { stop(); }

    // restart keeps the ports, as a collector that comes back does.
    bool start(bool restart = false) {
        for (int attempt = 0; attempt < 5; ++attempt) {  // another process may take a free port first
            if (!restart) {
                udpPort = freePort(SOCK_DGRAM);
                tlsPort = freePort(SOCK_STREAM);
            }
            const std::string command = "cd " + test::quoted(dir_) + " && XKT_DIR=" + test::quoted(dir_) +
                " XKT_UDP_PORT=" + std::to_string(udpPort) + " XKT_TLS_PORT=" + std::to_string(tlsPort) +
                " exec '" XKT_SYSLOG_NG "' -F -e --no-caps -f '" XKT_COLLECTOR_CONF "'"
                " -R persist -p pid -c ctl </dev/null 2>syslog-ng.log";
            if ((pid_ = fork()) == 0) {
                prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies takes its collector along
                execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
                _exit(127);
            }
            for (int waited = 0; waited < 1000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++waited, usleep(10000)) {
                if (log().find("syslog-ng starting up") != std::string::npos) return true;
            }
            stop();
            if (restart) usleep(200000);
        }
        return false;
    }

    void stop() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string log() const { return readFile(dir_ + "/syslog-ng.log"); }

    // The records so far, once there are count of them or 10 s passed.
    std::vector<std::string> waitFor(size_t count) const {
        std::vector<std::string> records;
        for (int waited = 0; waited < 500 && records.size() < count; ++waited, usleep(20000)) {
            records = linesOf(readFile(dir_ + "/received.log"));
        }
        return records;
    }

    uint16_t udpPort = 0, tlsPort = 0;

private:
    std::string dir_;
    pid_t pid_ = -1;
};

#endif

}  // namespace xkt::test
