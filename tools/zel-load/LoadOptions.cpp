#include "LoadOptions.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

const char* const kKindNames[REQUEST_KIND_COUNT] = {"select", "window", "count",  "post",
                                                    "delete", "page",   "update", "download"};

const char* const kUsage =
    "Usage: zel-load --port PORT [options]\n"
    "Simulates handhelds against a running server: each does the opening once, then\n"
    "a closed loop of requests; every reply is checked against the benchmark stock\n"
    "table (see bench/README).\n"
    "\n"
    "  --host ADDRESS      server address (127.0.0.1)\n"
    "  --port PORT         server port (4402); given again, one more server on --host\n"
    "  --bind ADDRESS      connect from this local IPv4 address (e.g. 127.0.0.2)\n"
    "  --serial-prefix T   handheld i logs in with the serial T<i> (default: unique per run)\n"
    "  --server HOST:PORT  one more server (may be given several times, before the ports\n"
    "                      in the list); the race mode starts handheld i on server i of\n"
    "                      the list, as a balancer spreads them, and goes on to the next\n"
    "                      one when a connection fails; the other modes use the first\n"
    "  --session N         session number to select (1)\n"
    "  --handhelds N       active handhelds (1)\n"
    "  --idle N            further handhelds that open a session and stay quiet (0)\n"
    "  --duration SEC      measured time (5)\n"
    "  --warmup SEC        time before measuring (1)\n"
    "  --requests N        stop after N measured requests instead\n"
    "  --mix LIST          weights, e.g. select=60,window=10,count=10,post=10,delete=10\n"
    "                      select: one row by key; window: rows sorted by quantity at a depth;\n"
    "                      count: rows at a location; post: insert or update a row of its own;\n"
    "                      delete: one row of its own; page: as many rows as fit one reply;\n"
    "                      update: post a stock row with the values it has (the table stays as it was);\n"
    "                      download: the whole table in key order, reply after reply, as a handheld\n"
    "                      fetches it; each handheld downloads once (not mixed with other kinds)\n"
    "  --rows N            rows of the stock table (1000000)\n"
    "  --depths LIST       start rows of windows (0,1000,100000,900000)\n"
    "  --window N          rows per window (20)\n"
    "  --timeout SEC       wait for a reply at most this long (10)\n"
    "  --time-limit SEC    download, or one key of the race mode: give up after SEC (600)\n"
    "  --start-delay SEC   wait SEC after the openings before the first request (0)\n"
    "  --key-row N         select and update ask for base row N only\n"
    "  --refusals-ok       count a PCERR reply as refused instead of wrong (a handheld\n"
    "                      that posts to a row another program holds locked)\n"
    "  --server-pid PID    report the server's resident memory\n"
    "  --first N           number of the first handheld; rows of its own are keyed by it (1)\n"
    "  --seed N            random seed (1)\n"
    "  --kv                also print one key=value line per request kind\n"
    "Race mode (every handheld posts the same new keys at the same moment):\n"
    "  --race-keys K       post K new keys PREFIX-01..PREFIX-K, one after the other; every\n"
    "                      handheld posts each key at the same moment (field 0 the key,\n"
    "                      field 1 \"h<handheld>a<attempt>\"), and when no reply comes within\n"
    "                      --timeout or the connection breaks, connects to the next server\n"
    "                      and posts the key again, until it is acknowledged or --time-limit\n"
    "                      has passed for that key; a PCERR reply is final\n"
    "  --key-prefix TEXT   prefix of the race keys, so that runs do not collide (R)\n"
    "  --key-pause SEC     wait SEC before each key (0)\n"
    "  --post-log FILE     one line per post, fields separated by tabs: key, handheld,\n"
    "                      attempt, value, server, outcome (acked, refused, timeout,\n"
    "                      broken), detail\n"
    "Exit status: 0 when every reply was right (race mode: every handheld had every key\n"
    "acknowledged), 1 when any was wrong or missing, 2 on bad usage.\n";

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "zel-load: %s\n\n%s", text.c_str(), kUsage);
    std::exit(2);
}

int64_t ToInt(const std::string& option, const std::string& text, int64_t low, int64_t high) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        Fail("bad value for " + option + ": " + text);
    return value;
}

double ToSeconds(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0) || value > 86400)
        Fail("bad value for " + option + ": " + text);
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::array<int, REQUEST_KIND_COUNT> ParseMix(const std::string& text) {
    std::array<int, REQUEST_KIND_COUNT> mix{};
    for (const std::string& item : Split(text, ',')) {
        const size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        int kind = -1;
        for (int k = 0; k < REQUEST_KIND_COUNT; ++k)
            if (name == kKindNames[k])
                kind = k;
        if (kind < 0)
            Fail("unknown request kind in --mix: " + name);
        mix[static_cast<size_t>(kind)] =
            equals == std::string::npos
                ? 1
                : static_cast<int>(ToInt("--mix", item.substr(equals + 1), 0, 1000000));
    }
    int total = 0;
    for (int weight : mix)
        total += weight;
    if (total == 0)
        Fail("--mix gives every request kind the weight 0");
    if (mix[static_cast<size_t>(TRequestKind::Download)] > 0 &&
        mix[static_cast<size_t>(TRequestKind::Download)] != total)
        Fail("--mix: download cannot be mixed with other request kinds");
    return mix;
}

} // namespace

const char* RequestKindName(TRequestKind kind) {
    return kKindNames[static_cast<int>(kind)];
}

TLoadOptions ParseLoadOptions(int argc, char* argv[]) {
    TLoadOptions options;
    std::vector<int> ports;
    std::vector<std::pair<std::string, int>> servers;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (option == "--kv") {
            options.KeyValue = true;
            continue;
        }
        if (option == "--refusals-ok") {
            options.RefusalsOk = true;
            continue;
        }
        if (i + 1 >= argc)
            Fail("missing value for " + option);
        const std::string value = argv[++i];
        if (option == "--host")
            options.Host = value;
        else if (option == "--bind") {
            in_addr parsed{};
            if (::inet_pton(AF_INET, value.c_str(), &parsed) != 1)
                Fail("bad value for --bind (an IPv4 address): " + value);
            options.BindAddress = value;
        } else if (option == "--serial-prefix")
            options.SerialPrefix = value;
        else if (option == "--port") {
            options.Port = static_cast<int>(ToInt(option, value, 1, 65535));
            ports.push_back(options.Port);
        } else if (option == "--server") {
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0)
                Fail("bad value for --server (HOST:PORT): " + value);
            servers.emplace_back(value.substr(0, colon),
                                 static_cast<int>(ToInt(option, value.substr(colon + 1), 1, 65535)));
        } else if (option == "--race-keys")
            options.RaceKeys = static_cast<int>(ToInt(option, value, 1, 99));
        else if (option == "--key-prefix")
            options.KeyPrefix = value;
        else if (option == "--key-pause")
            options.KeyPause = ToSeconds(option, value);
        else if (option == "--post-log")
            options.PostLog = value;
        else if (option == "--session")
            options.Session = static_cast<int>(ToInt(option, value, 0, 99999));
        else if (option == "--handhelds" || option == "--clients")
            options.Handhelds = static_cast<int>(ToInt(option, value, 0, 100000));
        else if (option == "--idle")
            options.Idle = static_cast<int>(ToInt(option, value, 0, 100000));
        else if (option == "--duration")
            options.Duration = ToSeconds(option, value);
        else if (option == "--warmup")
            options.Warmup = ToSeconds(option, value);
        else if (option == "--requests")
            options.Requests = ToInt(option, value, 1, INT64_MAX);
        else if (option == "--mix")
            options.Mix = ParseMix(value);
        else if (option == "--rows")
            options.Rows = ToInt(option, value, 1, 9999999);
        else if (option == "--depths") {
            options.Depths.clear();
            for (const std::string& depth : Split(value, ','))
                options.Depths.push_back(ToInt(option, depth, 0, 99999999));
        } else if (option == "--window")
            options.WindowRows = static_cast<int>(ToInt(option, value, 1, 1000));
        else if (option == "--timeout")
            options.Timeout = ToSeconds(option, value);
        else if (option == "--time-limit")
            options.TimeLimit = ToSeconds(option, value);
        else if (option == "--start-delay")
            options.StartDelay = ToSeconds(option, value);
        else if (option == "--key-row")
            options.KeyRow = ToInt(option, value, 1, 9999999);
        else if (option == "--server-pid")
            options.ServerPid = static_cast<int>(ToInt(option, value, 1, INT32_MAX));
        else if (option == "--first")
            options.FirstHandheld = static_cast<int>(ToInt(option, value, 1, 9999));
        else if (option == "--seed")
            options.Seed = static_cast<uint64_t>(ToInt(option, value, 0, INT64_MAX));
        else
            Fail("unknown option " + option);
    }
    options.Servers = servers;
    for (int port : ports)
        options.Servers.emplace_back(options.Host, port);
    if (options.Servers.empty())
        options.Servers.emplace_back(options.Host, options.Port);
    options.Host = options.Servers.front().first;
    options.Port = options.Servers.front().second;
    if (options.RaceKeys > 0 && (options.Handhelds == 0 || options.Idle > 0))
        Fail("the race mode needs --handhelds and no --idle");
    if (options.Handhelds + options.Idle == 0)
        Fail("no handhelds: give --handhelds or --idle");
    if (options.FirstHandheld + options.Handhelds + options.Idle > 10000)
        Fail("handheld numbers must stay below 10000");
    if (options.KeyRow > options.Rows)
        Fail("--key-row lies beyond --rows");
    return options;
}

bool LocalBindAddress(const TLoadOptions& options, sockaddr_in& local) {
    if (options.BindAddress.empty())
        return false;
    local = sockaddr_in{};
    local.sin_family = AF_INET;
    return ::inet_pton(AF_INET, options.BindAddress.c_str(), &local.sin_addr) == 1;
}
