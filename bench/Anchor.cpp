// zel-anchor: what the database alone costs for a request of the benchmark,
// measured the same way as zel-load measures the server. A server thread runs
// the same prepared query through the SQLite C API and answers over loopback
// TCP with a reply of the size the server's reply has; the main thread drives
// closed-loop clients with epoll and reports latency percentiles.
//   zel-anchor --sqlite FILE --kind key|window|page [--clients N] [--duration S]
//              [--warmup S] [--rows N] [--depth D] [--window N]
// Two further kinds need no clients:
//   --kind scan  reads the whole table in key order once, every value as text,
//                the database's own cost of a full download;
//   --kind lock  holds an exclusive lock on FILE for --duration seconds, so
//                that a writer through the server has to wait for it; prints
//                a line once the lock is held.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LatencyStats.h"
#include "StockModel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxPayload = 99999;
constexpr int kHeader = 17;
constexpr int kRowHeader = 10;
constexpr int kFieldHeader = 13;
constexpr int kSelectLimit = kMaxPayload / (kRowHeader + 6 * kFieldHeader) + 1; // as the server caps a select
// Request frames of zel-load: header, row window, five "SF" items, and for a
// select by key a "WK" item with the 8-character key; windows add one "OF".
constexpr int kKeyRequest = kHeader + 16 + 5 * 5 + 13 + 8;
constexpr int kWindowRequest = kHeader + 16 + 5 + 5 * 5;
constexpr int kPageRequest = kHeader + 16 + 5 * 5;

const char* const kColumns = "SELECT \"ItemNo\", \"Description\", \"Quantity\", \"Price\", \"Location\", "
                             "\"LastCounted\" FROM \"stock\"";

enum class Kind { Key, Window, Page, Scan, Lock };

struct Options {
    std::string File;
    Kind What = Kind::Key;
    int Clients = 1;
    double Duration = 5;
    double Warmup = 1;
    int64_t Rows = 1000000;
    int64_t Depth = 0;
    int Window = 20;
};

[[noreturn]] void Usage() {
    std::fprintf(
        stderr,
        "usage: zel-anchor --sqlite FILE --kind key|window|page|scan|lock [--clients N] [--duration S]\n"
        "                  [--warmup S] [--rows N] [--depth D] [--window N]\n");
    std::exit(2);
}

Options Parse(int argc, char* argv[]) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--sqlite")
            o.File = value;
        else if (name == "--kind")
            o.What = value == "key"      ? Kind::Key
                     : value == "window" ? Kind::Window
                     : value == "page"   ? Kind::Page
                     : value == "scan"   ? Kind::Scan
                     : value == "lock"   ? Kind::Lock
                                         : (Usage(), Kind::Key);
        else if (name == "--clients")
            o.Clients = std::atoi(value.c_str());
        else if (name == "--duration")
            o.Duration = std::atof(value.c_str());
        else if (name == "--warmup")
            o.Warmup = std::atof(value.c_str());
        else if (name == "--rows")
            o.Rows = std::atoll(value.c_str());
        else if (name == "--depth")
            o.Depth = std::atoll(value.c_str());
        else if (name == "--window")
            o.Window = std::atoi(value.c_str());
        else
            Usage();
    }
    if (o.File.empty() || o.Clients < 1)
        Usage();
    return o;
}

int RequestBytes(Kind kind) {
    return kind == Kind::Key ? kKeyRequest : kind == Kind::Window ? kWindowRequest : kPageRequest;
}

// Text of a DECIMAL(10,2) value as the server reports it: two places.
size_t PriceLength(const unsigned char* text, size_t length) {
    const void* point = std::memchr(text, '.', length);
    if (!point)
        return length + 3;
    const size_t places = length - static_cast<size_t>(static_cast<const unsigned char*>(point) - text) - 1;
    return places < 2 ? length + (2 - places) : length;
}

// The server side: one thread, one SQLite connection, one prepared statement.
class AnchorServer {
public:
    AnchorServer(const Options& options) : m_options(options) {
        if (sqlite3_open_v2(options.File.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            Fatal("cannot open the database");
        std::string sql = kColumns;
        if (options.What == Kind::Key)
            sql += " WHERE \"ItemNo\" = ? ORDER BY \"ItemNo\" LIMIT ? OFFSET ?";
        else if (options.What == Kind::Window)
            sql += " ORDER BY \"Quantity\", \"ItemNo\" LIMIT ? OFFSET ?";
        else
            sql += " ORDER BY \"ItemNo\" LIMIT ? OFFSET ?";
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &m_statement, nullptr) != SQLITE_OK)
            Fatal(sqlite3_errmsg(m_db));
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, SOMAXCONN) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            Fatal("cannot listen");
        m_port = ntohs(address.sin_port);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { Serve(); });
    }
    ~AnchorServer() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_stop, &one, sizeof one);
        m_thread.join();
        sqlite3_finalize(m_statement);
        sqlite3_close(m_db);
        ::close(m_listen);
        ::close(m_stop);
    }
    int Port() const { return m_port; }

private:
    struct Connection {
        int Fd;
        std::vector<char> In;
        size_t Have = 0;
    };

    [[noreturn]] static void Fatal(const char* text) {
        std::fprintf(stderr, "zel-anchor: %s\n", text);
        std::exit(1);
    }

    // Runs the query for param and writes the reply the server would send.
    void Answer(int fd, int64_t param) {
        sqlite3_reset(m_statement);
        int index = 1;
        std::string key;
        if (m_options.What == Kind::Key) {
            key = TStockModel::ItemNo(param);
            sqlite3_bind_text(m_statement, index++, key.c_str(), static_cast<int>(key.size()), SQLITE_STATIC);
        }
        sqlite3_bind_int64(m_statement, index++,
                           m_options.What == Kind::Window ? m_options.Window : kSelectLimit);
        sqlite3_bind_int64(m_statement, index, m_options.What == Kind::Window ? param : 0);
        m_reply.resize(kHeader);
        while (sqlite3_step(m_statement) == SQLITE_ROW) {
            const size_t rowStart = m_reply.size();
            m_reply.resize(rowStart + kRowHeader);
            for (int c = 0; c < 6; ++c) {
                const unsigned char* text = sqlite3_column_text(m_statement, c);
                const size_t length = static_cast<size_t>(sqlite3_column_bytes(m_statement, c));
                const size_t wire = c == 3 ? PriceLength(text, length) : length;
                const size_t at = m_reply.size();
                m_reply.resize(at + kFieldHeader + wire, '0');
                std::memcpy(m_reply.data() + at + kFieldHeader, text, length);
            }
            if (m_reply.size() - kHeader > static_cast<size_t>(kMaxPayload)) {
                m_reply.resize(rowStart); // the row that does not fit is left out
                break;
            }
        }
        sqlite3_reset(m_statement);
        const uint32_t total = static_cast<uint32_t>(m_reply.size());
        std::memcpy(m_reply.data(), &total, sizeof total);
        size_t sent = 0;
        while (sent < m_reply.size()) {
            const ssize_t n = ::send(fd, m_reply.data() + sent, m_reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }

    void Serve() {
        const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = nullptr;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, m_listen, &event);
        Connection stop{m_stop, {}, 0};
        event.data.ptr = &stop;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, m_stop, &event);
        std::vector<Connection*> connections;
        const size_t requestBytes = static_cast<size_t>(RequestBytes(m_options.What));
        bool running = true;
        while (running) {
            epoll_event events[64];
            const int count = ::epoll_wait(epoll, events, 64, 1000);
            for (int i = 0; i < count; ++i) {
                auto* connection = static_cast<Connection*>(events[i].data.ptr);
                if (connection == &stop) {
                    running = false;
                } else if (!connection) {
                    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd < 0)
                        continue;
                    const int on = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    auto* added = new Connection{fd, std::vector<char>(requestBytes), 0};
                    connections.push_back(added);
                    event.data.ptr = added;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
                } else {
                    const ssize_t got = ::recv(connection->Fd, connection->In.data() + connection->Have,
                                               requestBytes - connection->Have, MSG_DONTWAIT);
                    if (got <= 0) {
                        ::epoll_ctl(epoll, EPOLL_CTL_DEL, connection->Fd, nullptr);
                        continue;
                    }
                    connection->Have += static_cast<size_t>(got);
                    if (connection->Have == requestBytes) {
                        int64_t param = 0;
                        std::memcpy(&param, connection->In.data(), sizeof param);
                        connection->Have = 0;
                        Answer(connection->Fd, param);
                    }
                }
            }
        }
        for (Connection* connection : connections) {
            ::close(connection->Fd);
            delete connection;
        }
        ::close(epoll);
    }

    const Options& m_options;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
    std::vector<char> m_reply;
    int m_listen = -1;
    int m_port = 0;
    int m_stop = -1;
    std::thread m_thread;
};

[[noreturn]] void Fatal(sqlite3* db, const char* what) {
    std::fprintf(stderr, "zel-anchor: %s: %s\n", what, db ? sqlite3_errmsg(db) : "cannot open");
    std::exit(1);
}

// Steps through the table in key order and touches every value as text.
int Scan(const Options& options) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(options.File.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        Fatal(db, options.File.c_str());
    sqlite3_stmt* statement = nullptr;
    const std::string sql = std::string(kColumns) + " ORDER BY \"ItemNo\"";
    const Clock::time_point start = Clock::now();
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        Fatal(db, "prepare");
    int64_t rows = 0;
    uint64_t touched = 0;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int c = 0; c < 6; ++c) {
            const unsigned char* text = sqlite3_column_text(statement, c);
            const int length = sqlite3_column_bytes(statement, c);
            touched += static_cast<uint64_t>(length) + (length > 0 ? text[length - 1] : 0u);
        }
        ++rows;
    }
    if (step != SQLITE_DONE)
        Fatal(db, "step");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sqlite3_finalize(statement);
    sqlite3_close(db);
    std::printf("kv anchor kind=scan rows=%lld seconds=%.3f touched=%llu\n", static_cast<long long>(rows),
                seconds, static_cast<unsigned long long>(touched));
    return rows == options.Rows ? 0 : 1;
}

// Takes the lock every other connection has to wait for, and keeps it.
int HoldLock(const Options& options) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(options.File.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        Fatal(db, options.File.c_str());
    sqlite3_busy_timeout(db, 10000);
    if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fatal(db, "BEGIN EXCLUSIVE");
    std::printf("kv anchor kind=lock held=1\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.Duration));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

struct Client {
    int Fd = -1;
    std::vector<char> In;
    size_t Have = 0;
    Clock::time_point SentAt;
};

} // namespace

int main(int argc, char* argv[]) {
    const Options options = Parse(argc, argv);
    if (options.What == Kind::Scan)
        return Scan(options);
    if (options.What == Kind::Lock)
        return HoldLock(options);
    AnchorServer server(options);
    std::mt19937_64 random(1);
    std::uniform_int_distribution<int64_t> keys(1, options.Rows);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<size_t>(options.Clients));
    std::vector<char> request(static_cast<size_t>(RequestBytes(options.What)), 'x');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));
    TLatencyStats stats;
    const Clock::time_point start = Clock::now();
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const Clock::time_point measureStart = start + seconds(options.Warmup);
    const Clock::time_point measureEnd = measureStart + seconds(options.Duration);

    auto send = [&](Client& client) {
        const int64_t param = options.What == Kind::Key      ? keys(random)
                              : options.What == Kind::Window ? options.Depth
                                                             : 0;
        std::memcpy(request.data(), &param, sizeof param);
        client.Have = 0;
        client.SentAt = Clock::now();
        if (::send(client.Fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            std::fprintf(stderr, "zel-anchor: short send\n");
            std::exit(1);
        }
    };
    for (Client& client : clients) {
        client.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(client.Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (::connect(client.Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::fprintf(stderr, "zel-anchor: cannot connect\n");
            return 1;
        }
        client.In.resize(kHeader + kMaxPayload + 4096);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &client;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, client.Fd, &event);
        send(client);
    }
    size_t inFlight = clients.size();
    while (inFlight > 0) {
        epoll_event events[64];
        const int count = ::epoll_wait(epoll, events, 64, 1000);
        const bool sending = Clock::now() < measureEnd;
        for (int i = 0; i < count; ++i) {
            Client& client = *static_cast<Client*>(events[i].data.ptr);
            const ssize_t got = ::recv(client.Fd, client.In.data() + client.Have,
                                       client.In.size() - client.Have, MSG_DONTWAIT);
            if (got <= 0)
                continue;
            client.Have += static_cast<size_t>(got);
            uint32_t total = 0;
            if (client.Have < sizeof total)
                continue;
            std::memcpy(&total, client.In.data(), sizeof total);
            if (client.Have < total)
                continue;
            const Clock::time_point now = Clock::now();
            if (client.SentAt >= measureStart && client.SentAt < measureEnd)
                stats.Add(std::chrono::duration_cast<std::chrono::nanoseconds>(now - client.SentAt).count(),
                          static_cast<int64_t>(request.size()), total);
            if (sending)
                send(client);
            else
                --inFlight;
        }
    }
    for (Client& client : clients)
        ::close(client.Fd);
    ::close(epoll);
    const char* kindName = options.What == Kind::Key      ? "key"
                           : options.What == Kind::Window ? "window"
                                                          : "page";
    std::printf("kv anchor kind=%s clients=%d requests=%lld rps=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f "
                "max_us=%.1f request_bytes=%.1f reply_bytes=%.1f\n",
                kindName, options.Clients, static_cast<long long>(stats.Count()),
                static_cast<double>(stats.Count()) / options.Duration, stats.PercentileMicros(0.5),
                stats.PercentileMicros(0.9), stats.PercentileMicros(0.99), stats.MaxMicros(),
                stats.AverageRequestBytes(), stats.AverageReplyBytes());
    return 0;
}
