// xkt-fleet: a box farm for the collector tier that collector/fleet.sh
// starts, and the question an operator asks of it afterwards.
//
//   xkt-fleet run --dir DIR --boxes N --rate R --seconds S --transport udp|aes|tls [--store]
//   xkt-fleet run --dir DIR --xktlogd K --rate R --seconds S --transport udp|aes|tls [--store]
//   xkt-fleet query --dir DIR --mac MAC [--since TIME] [--until TIME] [--severity N]
//
// Every simulated box has its own MAC address and its own socket or TLS
// connection; its lines are made by the library's own syslog formatters, so
// the collector sees the bytes a real box sends (on aes, encrypted by the
// library's AES-UDP transport for the tier's decrypt relay). The run's last
// line is "sent N received M stored K lost L": received counts the lines
// that came into the per-MAC files, stored the rows the store gained.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fleet_boxes.h"
#include "fleet_tier.h"
#include "log_model.h"
#include "syslog_aes_udp.h"
#include "syslog_format.h"
#include "syslog_transport.h"
#include "xkt_log.h"

namespace {

using namespace xkt::fleet;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: xkt-fleet run --dir DIR --boxes N --rate R --seconds S --transport udp|aes|tls [--store]\n"
    "                     [--seed N] [--client-certs]\n"
    "       xkt-fleet run --dir DIR --xktlogd K --rate R --seconds S --transport udp|aes|tls [--store]\n"
    "                     [--client-certs]\n"
    "       xkt-fleet query --dir DIR --mac MAC [--since TIME] [--until TIME] [--severity N]\n"
    "  DIR       the folder given to collector/fleet.sh start (its ports are in DIR/env)\n"
    "  --rate    lines a second from the whole fleet\n"
    "  aes       classic lines encrypted with the tier's key (DIR/relay.key), through its relay\n"
    "  --store   also count the rows the store gained (the tier was started with --store)\n"
    "  --xktlogd K  the boxes are K real xktlogd processes (roots in DIR/xktlogd), each\n"
    "            with a writer that logs through the library\n"
    "  --client-certs  on TLS each box presents a certificate naming its MAC, signed by\n"
    "            the tier's CA, so the tier files its lines under the MAC\n"
    "  TIME      YYYY-MM-DD hh:mm:ss (UTC); --severity N keeps severities 0..N\n";

constexpr long kBoxesMax = 100000;
constexpr long kRateMax = 500000;
constexpr long kSecondsMax = 3600;
constexpr long kTlsBoxesMax = 200;  // the tier's max-connections on TLS
constexpr long kDaemonsMax = 64;    // processes, on a machine of a few cores
constexpr auto kSettleTime = std::chrono::seconds(3);
constexpr auto kCollectTimeout = std::chrono::seconds(60);

// Polls counter until it reaches target or stops moving for kSettleTime.
template <typename Counter>
long waitForCount(long before, long target, Counter counter) {
    const auto deadline = Clock::now() + kCollectTimeout;
    long last = -1;
    auto lastChange = Clock::now();
    for (;;) {
        const long now = counter();
        const long gained = now < 0 ? -1 : now - before;
        if (gained >= target) return gained;
        if (gained != last) {
            last = gained;
            lastChange = Clock::now();
        }
        if (Clock::now() - lastChange > kSettleTime || Clock::now() > deadline) return last;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// --- the simulated boxes -------------------------------------------------

struct Box {
    char mac[18];
    int fd = -1;
    SSL* ssl = nullptr;
};

struct Weighted {
    int32_t value;
    int weight;
};

// A day of a box: mostly debug and info traces, some warnings, few errors.
constexpr Weighted kLevels[] = {{XKT_LOG_LEVEL_DEBUG, 45}, {XKT_LOG_LEVEL_INFO, 35},
                                {XKT_LOG_LEVEL_WARN, 12}, {XKT_LOG_LEVEL_ERROR, 8}};
constexpr Weighted kTypes[] = {{XKT_LOG_TYPE_RUN, 80}, {XKT_LOG_TYPE_OPER, 12},
                               {XKT_LOG_TYPE_SECURITY, 4}, {XKT_LOG_TYPE_USER, 4}};
constexpr std::string_view kModules[] = {"PLAYER", "EPG", "DRM", "NET", "UPGRADE", "AUTH", "UI"};
constexpr std::string_view kFiles[] = {"player.cpp", "epg_cache.cpp", "drm_session.c",
                                       "netlink.c", "upgrade.cpp", "auth_client.cpp", "ui_main.cpp"};
constexpr std::string_view kEvents[] = {
    "channel switch to %d took %d ms", "epg refresh of %d events in %d ms",
    "licence request %d answered after %d ms", "link state %d, rtt %d ms",
    "upgrade check %d, next in %d s", "token renewed, id %d valid %d s",
    "key %d handled in %d ms"};

template <size_t N>
int32_t pick(const Weighted (&table)[N], std::mt19937& rng) {
    int total = 0;
    for (const Weighted& w : table) total += w.weight;
    int roll = static_cast<int>(rng() % static_cast<unsigned>(total));
    for (const Weighted& w : table) {
        if ((roll -= w.weight) < 0) return w.value;
    }
    return table[0].value;
}

// One log item of a box: a record, or now and then a plain line of another
// program (recordKind 0).
int32_t makeItem(std::mt19937& rng, LogRecord& record, char* plain, size_t plainSize) {
    const size_t which = rng() % std::size(kModules);
    const int a = static_cast<int>(rng() % 1000), b = static_cast<int>(rng() % 5000);
    if (rng() % 20 == 0) {
        std::snprintf(plain, plainSize, "I/ActivityManager( %d): Start proc com.box.app%d", a, b);
        return 0;
    }
    record = LogRecord{};
    record.level = static_cast<uint32_t>(pick(kLevels, rng));
    record.type = static_cast<uint32_t>(pick(kTypes, rng));
    std::snprintf(record.module, sizeof record.module, "%.*s",
                  static_cast<int>(kModules[which].size()), kModules[which].data());
    std::snprintf(record.file, sizeof record.file, "%.*s",
                  static_cast<int>(kFiles[which].size()), kFiles[which].data());
    record.line = 20 + static_cast<int32_t>(rng() % 2000);
    record.code = record.level == XKT_LOG_LEVEL_ERROR ? -static_cast<int32_t>(1 + rng() % 120) : 0;
    const std::string format(kEvents[which]);
    std::snprintf(record.message, sizeof record.message, format.c_str(), a, b);
    return 1;
}

bool sendAll(SSL* ssl, const char* data, size_t length) {
    while (length > 0) {
        const int n = SSL_write(ssl, data, static_cast<int>(length));
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

struct RunOptions {
    std::string dir;
    long boxes = 0, rate = 0, seconds = 0;
    std::string transport;
    bool store = false;
    unsigned seed = 1;
    long daemons = 0;
    bool clientCerts = false;
};

SSL_CTX* clientContext(const std::string& caFile) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// The box's certificate, made in DIR/clients/MAC, for a handshake that
// names the box.
bool presentCertificate(const Box& box, const Tier& tier) {
    const std::string dest = tier.dir + "/clients/" + box.mac;
    std::error_code error;
    std::filesystem::create_directories(dest, error);
    return !error && xkt::fleet::writeClientCertificate(tier.dir, box.mac, dest) &&
           SSL_use_certificate_file(box.ssl, (dest + "/client.pem").c_str(), SSL_FILETYPE_PEM) == 1 &&
           SSL_use_PrivateKey_file(box.ssl, (dest + "/client.key").c_str(), SSL_FILETYPE_PEM) == 1;
}

bool openBox(Box& box, long index, const Tier& tier, bool tls, SSL_CTX* ctx, bool clientCert) {
    // Locally administered addresses, one per box.
    std::snprintf(box.mac, sizeof box.mac, "02:00:%02x:%02x:%02x:%02x",
                  static_cast<unsigned>((index >> 24) & 0xff),
                  static_cast<unsigned>((index >> 16) & 0xff),
                  static_cast<unsigned>((index >> 8) & 0xff), static_cast<unsigned>(index & 0xff));
    if (!tls) return true;  // datagrams of all boxes leave by one socket
    box.fd = connectLoopback(tier.tlsPort);
    if (box.fd < 0) return false;
    box.ssl = SSL_new(ctx);
    return box.ssl != nullptr && (!clientCert || presentCertificate(box, tier)) &&
           SSL_set_fd(box.ssl, box.fd) == 1 && SSL_connect(box.ssl) == 1;
}

void closeBox(Box& box) {
    if (box.ssl != nullptr) {
        SSL_shutdown(box.ssl);
        SSL_free(box.ssl);
    }
    if (box.fd >= 0) close(box.fd);
}

// --- AES boxes: the library's encrypted transport, through the relay --------

// Gives the library's AES-UDP transport the relay's address and the tier's
// key, as the management agent gives them to a box.
bool prepareAesBoxes(const Tier& tier) {
    std::ifstream file(tier.keyFile);
    std::string hex;
    if (tier.relayPort == 0 || !std::getline(file, hex) || hex.size() < 2 * XKT_LOG_AES_KEY_SIZE) {
        return false;
    }
    uint8_t key[XKT_LOG_AES_KEY_SIZE];
    for (size_t i = 0; i < sizeof key; ++i) {
        const char* digits = hex.data() + 2 * i;
        if (std::from_chars(digits, digits + 2, key[i], 16).ptr != digits + 2) return false;
    }
    xkt::log::SyslogLock lock;
    std::memcpy(xkt::log::g_syslogAesKey, key, sizeof key);
    std::snprintf(xkt::log::g_syslogServer, sizeof xkt::log::g_syslogServer, "127.0.0.1");
    xkt::log::g_syslogPort = tier.relayPort;
    return key[0] != 0;  // 00 there means "no key" to the library
}

// A classic line as a box sends it: plain, or encrypted by the library's
// AES-UDP transport to the relay.
bool sendDatagram(bool aes, int fd, const sockaddr_in& to, const char* line, size_t length) {
    if (aes) return sendEncryptedSyslog(fd, line) == 0;
    return sendto(fd, line, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
}

// Sends rate x seconds lines, paced evenly over the run; a box sometimes
// sends a burst of lines at once, as a box does when something goes wrong.
long sendLines(std::vector<Box>& boxes, const RunOptions& options, const Tier& tier) {
    const bool tls = options.transport == "tls";
    const bool aes = options.transport == "aes";
    const sockaddr_in udp = loopback(tier.udpPort);
    const int udpSocket = tls ? -1 : socket(AF_INET, SOCK_DGRAM, 0);
    if (!tls && udpSocket < 0) return 0;
    std::mt19937 rng(options.seed);
    const long total = options.rate * options.seconds;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(options.seconds * 2 + 10);
    char line[XKT_LOG_FORMAT_BUFFER_SIZE];
    char plain[256];
    LogRecord record{};
    long sent = 0;
    for (long slot = 0; slot < total && Clock::now() < deadline;) {
        Box& box = boxes[rng() % boxes.size()];
        const long burst = rng() % 50 == 0 ? 3 + static_cast<long>(rng() % 10) : 1;
        std::this_thread::sleep_until(start + std::chrono::microseconds(slot * 1000000 / options.rate));
        for (long i = 0; i < burst && slot < total; ++i, ++slot) {
            const int32_t kind = makeItem(rng, record, plain, sizeof plain);
            const void* item = kind == 1 ? static_cast<const void*>(&record) : plain;
            size_t length = 0;
            if (tls) {
                if (XKT_syslogProtoFormatter(item, line, sizeof line, kind) != 0) continue;
                length = std::strlen(line);
                if (sendAll(box.ssl, line, length)) ++sent;
            } else {
                if (xkt::log::formatClassicLineAs(box.mac, item, line, kind, length) != 0) continue;
                if (sendDatagram(aes, udpSocket, udp, line, length)) ++sent;
            }
        }
    }
    if (udpSocket >= 0) close(udpSocket);
    return sent;
}

// The tag prefix and software version the management agent gives a box.
void setIdentity(std::string_view tagPrefix, std::string_view softwareVersion) {
    xkt::log::SyslogLock lock;
    std::snprintf(xkt::log::g_syslogTagPrefix, sizeof xkt::log::g_syslogTagPrefix, "%.*s",
                  static_cast<int>(tagPrefix.size()), tagPrefix.data());
    std::snprintf(xkt::log::g_softwareVersion, sizeof xkt::log::g_softwareVersion, "%.*s",
                  static_cast<int>(softwareVersion.size()), softwareVersion.data());
    xkt::log::g_syslogIdentityVersion.fetch_add(1, std::memory_order_release);
}

bool parseNumber(const char* text, long min, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) return false;
    out = value;
    return true;
}

int usageError(const char* problem = nullptr) {
    if (problem != nullptr) std::fprintf(stderr, "xkt-fleet: %s\n", problem);
    std::fprintf(stderr, "%s", kUsage);
    return 2;
}

// One "--name value" of run; false for an unknown name or a bad value.
bool readRunOption(std::string_view name, const char* value, RunOptions& options) {
    long seed = 0;
    if (name == "--dir") options.dir = value;
    else if (name == "--transport") options.transport = value;
    else if (name == "--boxes") return parseNumber(value, 1, kBoxesMax, options.boxes);
    else if (name == "--xktlogd") return parseNumber(value, 1, kDaemonsMax, options.daemons);
    else if (name == "--rate") return parseNumber(value, 1, kRateMax, options.rate);
    else if (name == "--seconds") return parseNumber(value, 1, kSecondsMax, options.seconds);
    else if (name == "--seed") {
        if (!parseNumber(value, 0, UINT32_MAX, seed)) return false;
        options.seed = static_cast<unsigned>(seed);
    } else {
        return false;
    }
    return true;
}

// --- real xktlogd boxes ---------------------------------------------------

// Marks the lines of one run, so that neither earlier runs nor what the
// daemons say about themselves are counted.
std::string runToken() {
    std::random_device random;
    char token[17];
    std::snprintf(token, sizeof token, "%08x%08x", random(), random());
    return token;
}

// The run's last line; its exit status: 0 when nothing was lost.
int reportRun(long sent, long received, long stored, bool store) {
    const long lost = sent - (store ? std::min(received, stored) : received);
    std::printf("sent %ld received %ld stored %ld lost %ld\n", sent, received, stored, lost);
    return lost == 0 ? 0 : 1;
}

int runDaemons(const RunOptions& options, const Tier& tier) {
    const bool tls = options.transport == "tls";
    const bool aes = options.transport == "aes";
    std::string aesKey;
    if (aes) std::getline(std::ifstream(tier.keyFile), aesKey);
    const xkt::fleet::DaemonFleet fleet{
        tier.dir,    tier.caFile,         tls ? tier.tlsPort : aes ? tier.relayPort : tier.udpPort,
        tls,         aesKey.substr(0, 32), options.clientCerts,
        options.daemons, options.rate,    options.seconds};
    const std::string token = runToken();
    long received = 0, stored = 0;
    const long sent = xkt::fleet::runDaemonFleet(fleet, token, [&](long target) {
        received = waitForCount(0, target, [&] { return receivedLines(tier.dir, token); });
        if (options.store) stored = waitForCount(0, target, [&] { return storedRows(tier, token); });
    });
    if (sent < 0) return 1;
    return reportRun(sent, received, stored, options.store);
}

// A middleware process of a real box (box-writer LINES RATE TOKEN, started
// in the box's root once its xktlogd manages the log): LINES records at
// RATE a second through XKT_logWrite, each message ending in TOKEN. Its one
// line of output, "wrote N", counts the writes the library accepted.
int boxWriter(int argc, char** argv) {
    long lines = 0, rate = 0;
    if (argc != 5 || !parseNumber(argv[2], 0, kRateMax * kSecondsMax, lines) ||
        !parseNumber(argv[3], 1, kRateMax, rate)) {
        return usageError();
    }
    const char* mac = std::getenv("XKT_MAC");
    std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(mac != nullptr ? mac : "")));
    LogRecord record{};
    char plain[256];
    long wrote = 0;
    const auto start = Clock::now();
    for (long i = 0; i < lines; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / rate));
        while (makeItem(rng, record, plain, sizeof plain) != 1) {
        }
        wrote += XKT_logWrite(record.file, record.line, "main", record.code,
                              static_cast<LogType>(record.type), static_cast<LogLevel>(record.level),
                              record.module, "%s [%s]", record.message, argv[4]) >= 0;
    }
    std::printf("wrote %ld\n", wrote);
    return 0;
}

int run(int argc, char** argv) {
    RunOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--store") {
            options.store = true;
        } else if (name == "--client-certs") {
            options.clientCerts = true;
        } else if (i + 1 >= argc || !readRunOption(name, argv[i + 1], options)) {
            return usageError(("bad argument " + std::string(name)).c_str());
        } else {
            ++i;
        }
    }
    if (options.daemons > 0) options.boxes = options.daemons;
    if (options.dir.empty() || options.boxes == 0 || options.rate == 0 || options.seconds == 0 ||
        (options.transport != "udp" && options.transport != "aes" && options.transport != "tls")) {
        return usageError();
    }
    const bool tls = options.transport == "tls";
    if (options.clientCerts && !tls) return usageError("--client-certs is for --transport tls");
    if (tls && options.boxes > kTlsBoxesMax) {
        std::fprintf(stderr, "xkt-fleet: the tier takes at most %ld TLS connections\n", kTlsBoxesMax);
        return 2;
    }
    Tier tier;
    if (!readTier(options.dir, tier) || (options.store && tier.storeHttpPort == 0)) {
        std::fprintf(stderr, "xkt-fleet: no running tier%s in %s\n", options.store ? " with a store" : "",
                     options.dir.c_str());
        return 1;
    }
    if (options.transport == "aes" && !prepareAesBoxes(tier)) {
        std::fprintf(stderr, "xkt-fleet: no decrypt relay or key in %s (RELAY_PORT, AES_KEY_FILE)\n",
                     options.dir.c_str());
        return 1;
    }
    if (options.daemons > 0) return runDaemons(options, tier);
    // The collector reads line times as UTC.
    g_iLogUseUTCTime = 1;
    setIdentity("STB_", "V100R002C20");

    SSL_CTX* ctx = tls ? clientContext(tier.caFile) : nullptr;
    if (tls && ctx == nullptr) {
        std::fprintf(stderr, "xkt-fleet: cannot use the CA file %s\n", tier.caFile.c_str());
        return 1;
    }
    const long receivedBefore = receivedLines(tier.dir);
    const long storedBefore = options.store ? storedRows(tier) : 0;
    if (storedBefore < 0) {
        std::fprintf(stderr, "xkt-fleet: the store does not answer\n");
        return 1;
    }
    std::vector<Box> boxes(static_cast<size_t>(options.boxes));
    long sent = 0;
    bool opened = true;
    for (size_t i = 0; i < boxes.size() && opened; ++i) {
        opened = openBox(boxes[i], static_cast<long>(i), tier, tls, ctx, options.clientCerts);
    }
    if (opened) sent = sendLines(boxes, options, tier);
    for (Box& box : boxes) closeBox(box);
    if (ctx != nullptr) SSL_CTX_free(ctx);
    if (!opened) {
        std::fprintf(stderr, "xkt-fleet: a box could not reach the tier\n");
        return 1;
    }

    const long received = waitForCount(receivedBefore, sent, [&] { return receivedLines(tier.dir); });
    const long stored = options.store
        ? waitForCount(storedBefore, sent, [&] { return storedRows(tier); })
        : 0;
    return reportRun(sent, received, stored, options.store);
}

// --- query ---------------------------------------------------------------

bool isTime(std::string_view text) {
    // YYYY-MM-DD hh:mm:ss
    constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

bool isMac(std::string_view text) {
    return !text.empty() && text.size() < 40 &&
           text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
}

int query(int argc, char** argv) {
    std::string dir, mac, since, until;
    long severity = 7;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view arg = argv[i];
        const char* value = argv[i + 1];
        if (arg == "--dir") dir = value;
        else if (arg == "--mac") mac = value;
        else if (arg == "--since") since = value;
        else if (arg == "--until") until = value;
        else if (arg == "--severity") {
            if (!parseNumber(value, 0, 7, severity)) return usageError("bad severity");
        } else {
            return usageError();
        }
    }
    if (argc % 2 != 0 || dir.empty() || !isMac(mac) || (!since.empty() && !isTime(since)) ||
        (!until.empty() && !isTime(until))) {
        return usageError();
    }
    Tier tier;
    if (!readTier(dir, tier)) {
        std::fprintf(stderr, "xkt-fleet: no tier in %s\n", dir.c_str());
        return 1;
    }

    if (tier.storeHttpPort != 0) {
        // Every value was checked above to hold no quote.
        std::string sql = "SELECT ts, received, sev, fac, prog, srcfile, srcline, code, msg "
                          "FROM fleet." + tier.storeTable + " WHERE mac = '" + mac + "' AND sev <= " +
                          std::to_string(severity);
        if (!since.empty()) sql += " AND ts >= '" + since + "'";
        if (!until.empty()) sql += " AND ts < '" + until + "'";
        sql += " ORDER BY ts FORMAT TSV";
        std::string body;
        if (!storeQuery(tier.storeHttpPort, sql, body)) {
            std::fprintf(stderr, "xkt-fleet: the store did not answer\n");
            return 1;
        }
        std::fwrite(body.data(), 1, body.size(), stdout);
        return 0;
    }
    // No store: the per-MAC files, by receive time (their first field).
    std::string from = since, to = until;
    std::replace(from.begin(), from.end(), ' ', 'T');
    std::replace(to.begin(), to.end(), ' ', 'T');
    const std::string folder = dir + "/boxes/" + mac;
    for (const std::string& day : listDir(folder)) {
        std::ifstream in(folder + "/" + day);
        for (std::string line; std::getline(in, line);) {
            const std::string stamp = line.substr(0, 19);
            const size_t sev = line.find(" sev=");
            if (sev == std::string::npos || std::atol(line.c_str() + sev + 5) > severity) continue;
            if ((!from.empty() && stamp < from) || (!to.empty() && stamp >= to)) continue;
            std::printf("%s\n", line.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "run") return run(argc, argv);
    if (command == "query") return query(argc, argv);
    if (command == "box-writer") return boxWriter(argc, argv);
    return usageError();
}
