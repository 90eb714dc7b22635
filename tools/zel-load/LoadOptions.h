#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What one handheld asks for; the weights of the mix choose among them.
enum class TRequestKind { Select, Window, Count, Post, Delete, Page, Update, Download };
constexpr int REQUEST_KIND_COUNT = 8;

const char* RequestKindName(TRequestKind kind);

struct TLoadOptions {
    std::string Host = "127.0.0.1";
    // The local address the handhelds connect from; empty: the system's choice.
    std::string BindAddress;
    // Serial numbers "<prefix><number>" instead of ones unique to the run.
    std::string SerialPrefix;
    int Port = 4402;
    int Session = 1;
    int Handhelds = 1;
    int Idle = 0;
    double Duration = 5.0;
    double Warmup = 1.0;
    int64_t Requests = 0; // > 0: stop after this many measured requests instead of Duration
    std::array<int, REQUEST_KIND_COUNT> Mix{60, 10, 10, 10, 10, 0, 0, 0};
    int64_t Rows = 1000000;
    std::vector<int64_t> Depths{0, 1000, 100000, 900000};
    int WindowRows = 20;
    double Timeout = 10.0;
    int ServerPid = 0;
    int FirstHandheld = 1;
    uint64_t Seed = 1;
    bool KeyValue = false;
    int OpeningsInFlight = 32;
    int64_t KeyRow = 0;       // > 0: selects and updates ask for this base row only
    bool RefusalsOk = false;  // a "PCERR" reply is counted as refused, not as wrong
    double TimeLimit = 600.0; // download: give up after this long
    double StartDelay = 0.0;  // pause between the openings and the first request
    // Every --server, and --host with every --port; the first is Host and Port.
    std::vector<std::pair<std::string, int>> Servers;
    int RaceKeys = 0; // > 0: the race mode, posting this many new keys
    std::string KeyPrefix = "R";
    std::string PostLog;   // race mode: one line per post
    double KeyPause = 0.0; // race mode: pause before each key

    bool Downloading() const { return Mix[static_cast<size_t>(TRequestKind::Download)] > 0; }
};

// Parses the command line; prints the usage and exits on --help or an error.
TLoadOptions ParseLoadOptions(int argc, char* argv[]);

struct sockaddr_in;
// The --bind address as a socket address (port 0); false without one.
bool LocalBindAddress(const TLoadOptions& options, sockaddr_in& local);
