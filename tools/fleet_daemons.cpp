// Boxes that are real: one xktlogd per box, each with a root and a MAC of
// its own and channel 3 pointed at the tier, and a writer process in each
// root whose XKT_logWrite calls take the whole road a box's line takes.
// Every process dies with xkt-fleet (PR_SET_PDEATHSIG), so a killed run
// leaves no box behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fleet_boxes.h"

namespace xkt::fleet {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(10);
constexpr const char* kCaFileInRoot = "/system/iptv/setting/security/cacerts/ca_tracelog.pem";
constexpr const char* kClientCertDir = "/data/xktlog/tls";

struct DaemonBox {
    std::string root;
    std::string mac;
    pid_t daemon = -1;
    pid_t writer = -1;
};

std::string ownDirectory() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path().string();
}

// fork and exec with XKT_ROOT and XKT_MAC set; stdout and stderr go to
// ROOT/NAME.log. The child gets signal when xkt-fleet goes.
pid_t spawnInRoot(const DaemonBox& box, const std::string& name, int deathSignal,
                  std::vector<std::string> argv) {
    const std::string log = box.root + "/" + name + ".log";
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, deathSignal);
    if (getppid() != parent) _exit(127);  // xkt-fleet went before the line above
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
    const int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0) dup2(nul, 0);
    setenv("XKT_ROOT", box.root.c_str(), 1);
    setenv("XKT_MAC", box.mac.c_str(), 1);
    execv(args[0], args.data());
    _exit(127);
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh root with what the box keeps of the tier: its CA and, when
// asked, a certificate that names the box.
bool prepareRoot(const DaemonFleet& fleet, const DaemonBox& box) {
    std::error_code error;
    fs::remove_all(box.root, error);
    fs::create_directories(box.root + fs::path(kCaFileInRoot).parent_path().string(), error);
    if (error) return false;
    if (!fleet.tls) return true;
    fs::copy_file(fleet.caFile, box.root + kCaFileInRoot, error);
    if (error) return false;
    if (!fleet.clientCerts) return true;
    fs::create_directories(box.root + kClientCertDir, error);
    return !error && writeClientCertificate(fleet.tierDir, box.mac, box.root + kClientCertDir);
}

// Up when it says it manages the log: channel 3 is registered by then, so
// no line of the writer goes out before the syslog channel exists.
bool awaitDaemon(const DaemonBox& box) {
    const auto deadline = Clock::now() + kStartTimeout;
    while (Clock::now() < deadline) {
        if (readAll(box.root + "/xktlogd.log").find(", managing the log") != std::string::npos) {
            return true;
        }
        if (waitpid(box.daemon, nullptr, WNOHANG) != 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool startDaemon(const DaemonFleet& fleet, DaemonBox& box, const std::string& bin) {
    std::vector<std::string> argv = {bin + "/xktlogd", "--require-manager", "--syslog",
                                     "127.0.0.1:" + std::to_string(fleet.port)};
    if (fleet.tls) argv.insert(argv.end(), {"--https-syslog", "1"});
    if (!fleet.aesKey.empty()) argv.insert(argv.end(), {"--syslog-key", fleet.aesKey});
    box.daemon = spawnInRoot(box, "xktlogd", SIGTERM, argv);
    return box.daemon > 0 && awaitDaemon(box);
}

void stopProcess(pid_t& pid, int signal) {
    if (pid <= 0) return;
    kill(pid, signal);
    const auto deadline = Clock::now() + kStopTimeout;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
}

// The lines the writer accepted ("wrote N"), once it has ended; a writer
// that outlives the run's bound is stopped and counts what it reported.
long writerResult(DaemonBox& box, Clock::time_point deadline) {
    while (box.writer > 0 && waitpid(box.writer, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) stopProcess(box.writer, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    box.writer = -1;
    long wrote = 0;
    return std::sscanf(readAll(box.root + "/writer.log").c_str(), "wrote %ld", &wrote) == 1 ? wrote : 0;
}

// Locally administered, and apart from the simulated boxes' 02:00:...
std::string daemonMac(long index) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:01:00:00:%02x:%02x", static_cast<unsigned>((index >> 8) & 0xff),
                  static_cast<unsigned>(index & 0xff));
    return mac;
}

}  // namespace

long runDaemonFleet(const DaemonFleet& fleet, const std::string& token,
                    const std::function<void(long sent)>& collect) {
    const std::string bin = ownDirectory();
    std::vector<DaemonBox> boxes(static_cast<size_t>(fleet.boxes));
    bool started = true;
    for (size_t i = 0; i < boxes.size() && started; ++i) {
        boxes[i].root = fleet.tierDir + "/xktlogd/box-" + std::to_string(i);
        boxes[i].mac = daemonMac(static_cast<long>(i));
        started = prepareRoot(fleet, boxes[i]) && startDaemon(fleet, boxes[i], bin);
        if (!started) std::fprintf(stderr, "xkt-fleet: box %s did not start (see %s)\n",
                                   boxes[i].mac.c_str(), boxes[i].root.c_str());
    }
    long sent = -1;
    if (started) {
        // Each writer takes an equal share of the fleet's lines and rate.
        const long total = fleet.rate * fleet.seconds;
        for (size_t i = 0; i < boxes.size(); ++i) {
            const long share = total / fleet.boxes + (static_cast<long>(i) < total % fleet.boxes);
            boxes[i].writer = spawnInRoot(
                boxes[i], "writer", SIGKILL,
                {bin + "/xkt-fleet", "box-writer", std::to_string(share),
                 std::to_string(std::max(1L, fleet.rate / fleet.boxes)), token});
        }
        const auto deadline = Clock::now() + std::chrono::seconds(fleet.seconds * 2 + 30);
        sent = 0;
        for (DaemonBox& box : boxes) sent += writerResult(box, deadline);
        collect(sent);
    }
    for (DaemonBox& box : boxes) {
        stopProcess(box.writer, SIGKILL);
        stopProcess(box.daemon, SIGTERM);
    }
    return sent;
}

}  // namespace xkt::fleet
