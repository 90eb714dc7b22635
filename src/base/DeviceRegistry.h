#pragma once

#include <QDateTime>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

enum class TDeviceState { Waiting, Allowed, Refused };

const char* DeviceStateText(TDeviceState state);

// Who took a decision about a device.
enum class TDecisionSource { Policy, OperatorWindow, CommandLine };

const char* DecisionSourceText(TDecisionSource source);

// One handheld as the registry knows it. A device is identified by its
// serial number; one without a serial by its user name and model, which is
// weaker (two such devices with the same user and model are one entry).
struct TDeviceRecord {
    std::string Key; // see DeviceKey
    bool BySerial = true;
    std::string Serial;
    std::string UserName;
    std::string Model;
    std::string OperatingSystem;
    QDateTime FirstSeen; // UTC
    QDateTime LastSeen;  // UTC
    std::string LastAddress;
    TDeviceState State = TDeviceState::Waiting;
    bool ReadOnly = false;
    std::vector<int> Sessions; // empty: every session
    // The last decision: who, what, when, and the device's address then.
    std::string DecisionBy;
    std::string Decision;
    QDateTime DecisionTime;
    std::string DecisionAddress;

    // "allowed read-write", "allowed read-only, sessions 1,3", "waiting", "refused".
    std::string AccessText() const;
    bool MayUseSession(int number) const;
};

// The serial, or for a device without one "(no serial) <user> / <model>".
std::string DeviceKey(const std::string& serial, const std::string& userName, const std::string& model);

// The log line of a decision that record holds: "Device [SN-1] (anna, MC3300):
// allowed read-only, by command line (last address 10.0.4.17)".
std::string DecisionLogText(const TDeviceRecord& record);

// "1,3" -> {1, 3}; raises Exception for anything but a list of session numbers 0..99999.
std::vector<int> ParseSessionList(const std::string& text);
std::string SessionListText(const std::vector<int>& sessions);

// The devices that have logged in, with the operator's decisions, kept in an
// INI file of their own beside the configuration file. Safe to use from any
// thread.
//
// Every write reads the file, changes it and replaces it whole, under a lock
// file that the server and the command line share, so neither loses the
// other's change; the replace keeps the file's owner and mode (a new file is
// readable by its owner only). What the server notes at every login (last
// seen, last address, new devices) is kept in memory at once and written by
// a thread of the registry's own, at most once per FlushDelay: the server's
// loop never waits for the disk.
class TDeviceRegistry {
public:
    // fileName: the registry file; flushDelayMs: how long the server's notes are collected.
    explicit TDeviceRegistry(std::string fileName, int flushDelayMs = 1000);
    // Writes what is still collected.
    ~TDeviceRegistry();
    TDeviceRegistry(const TDeviceRegistry&) = delete;
    TDeviceRegistry& operator=(const TDeviceRegistry&) = delete;

    // "<config file without extension>Devices.ini".
    static std::string FileNameFor(const std::string& configFile);
    const std::string& FileName() const { return m_fileName; }

    // Reads the file again when it has changed since it was last read (one
    // stat otherwise); never waits for a write of this registry under way,
    // which takes the change over. Raises when it exists but cannot be read.
    void Refresh();
    // Changes whenever what the registry holds has changed.
    uint64_t Generation() const;

    std::optional<TDeviceRecord> Find(const std::string& key) const;
    // As Find, but raises Exception for an unknown key.
    TDeviceRecord Get(const std::string& key) const;
    // The state alone, without copying the record; nullopt for an unknown key.
    std::optional<TDeviceState> StateOf(const std::string& key) const;
    std::vector<TDeviceRecord> List() const;
    int WaitingCount() const;
    // Until when new devices are allowed; invalid when never.
    QDateTime AcceptNewUntil() const;
    bool AcceptingNew(const QDateTime& now) const;

    // A login, noted in memory at once and written with the next batch.
    // decision: set when the policy decided about the device (it replaces
    // the state only of a device that is new or waiting).
    struct TPolicyDecision {
        TDeviceState State = TDeviceState::Allowed;
        std::string What;
    };
    void NoteLogin(const TDeviceRecord& seen, const std::optional<TPolicyDecision>& decision);

    // Operator decisions, written at once. Raise Exception for an unknown key
    // (nothing is written then). Return the record as written.
    TDeviceRecord Allow(const std::string& key, bool readOnly, const std::vector<int>& sessions,
                        TDecisionSource by);
    // What an Allow sets; a part left unset keeps the device's value as the
    // file holds it when written, so that a decision taken meanwhile elsewhere
    // (the command line's) is not undone.
    struct TAccess {
        std::optional<bool> ReadOnly;
        std::optional<std::vector<int>> Sessions;
    };
    TDeviceRecord Allow(const std::string& key, const TAccess& access, TDecisionSource by);
    TDeviceRecord Refuse(const std::string& key, TDecisionSource by);
    TDeviceRecord Forget(const std::string& key, TDecisionSource by);
    void SetAcceptNewUntil(const QDateTime& until);

    // Writes what is collected now.
    void Flush();

    // Called after every change of what the registry holds, on the thread
    // that made it (the registry's writer thread included); keep it short.
    std::function<void()> OnChange;

private:
    using TRecords = std::map<std::string, TDeviceRecord>;
    struct TPending {
        TDeviceRecord Seen;
        std::optional<TPolicyDecision> Decision;
        QDateTime DecisionTime;
        // The device was unknown when it logged in; a note of a known device
        // that the file no longer holds (forgotten meanwhile) is dropped.
        bool IsNew = false;
        uint64_t Sequence = 0;
    };
    struct TStamp {
        bool Exists = false;
        ino_t Inode = 0;
        int64_t MTimeNs = 0;
        off_t Size = 0;
        bool operator==(const TStamp&) const = default;
    };
    struct TContent {
        TRecords Records;
        QDateTime AcceptNewUntil;
    };

    TStamp StampNow() const;
    TContent Load() const;
    void Save(const TContent& content);
    // Takes the lock file and this process's turn, reads the file, applies
    // what is collected and change, writes the file when something changed.
    void Write(const std::function<void(TContent&)>& change);
    static void ApplyPending(TRecords& records, const std::map<std::string, TPending>& pending);
    void Rebuild(); // m_records from m_file and m_pending; under m_lock
    void Notify();
    void WriterLoop();
    TDeviceRecord Decide(const std::string& key, TDecisionSource by,
                         const std::function<void(TDeviceRecord&)>& apply, bool forget);

    const std::string m_fileName;
    const std::string m_lockFileName;
    const int m_flushDelayMs;

    mutable std::mutex m_lock;
    TContent m_file;    // as last read or written
    TRecords m_records; // m_file with m_pending applied
    TStamp m_stamp;     // of m_file
    std::map<std::string, TPending> m_pending;
    uint64_t m_sequence = 0;
    uint64_t m_generation = 0;

    std::mutex m_writeTurn; // one write of this process at a time
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_writer;
};
