#include "base/DeviceRegistry.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Exception.h"
#include "base/IniFile.h"
#include "base/Zel_EventLogger.h"

namespace {

const char* const kRegistrySection = "Registry";
const char* const kDevicePrefix = "Device ";
const char* const kNoSerialPrefix = "(no serial) ";

Exception UnknownDevice(const std::string& key, const std::string& fileName) {
    return Exception("Unknown device [" + key + "]: not in the registry " + fileName);
}

// What the handheld sends may hold any byte: line breaks, brackets and
// blanks at either end would not survive an INI line, so they are written
// as %XX (and '%' itself).
std::string Encode(const std::string& text, bool sectionName = false) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool edgeBlank = c == ' ' && (i == 0 || i + 1 == text.size());
        if (c < 0x20 || c == 0x7F || c == '%' || edgeBlank || (sectionName && (c == '[' || c == ']'))) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string TimeText(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs).toStdString() : std::string();
}

QDateTime ParseTime(const std::string& text) {
    if (text.empty())
        return {};
    return QDateTime::fromString(QString::fromStdString(text), Qt::ISODateWithMs).toUTC();
}

TDeviceState ParseState(const std::string& text) {
    if (text == "allowed")
        return TDeviceState::Allowed;
    if (text == "refused")
        return TDeviceState::Refused;
    return TDeviceState::Waiting;
}

[[noreturn]] void LockFailed(const std::string& fileName, int error) {
    throw Exception("Device registry: cannot lock [" + fileName + "]: " + std::strerror(error));
}

// Held while one process reads, changes and replaces the registry. flock is
// released by the kernel when the process dies, even by kill -9.
class TFileLock {
public:
    explicit TFileLock(const std::string& fileName) {
        // Readable by all: a command run as another user (root) must be
        // able to take the lock on a file the service made, and the other
        // way round; flock needs no write access.
        m_fd = ::open(fileName.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0 && errno == EACCES)
            m_fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            LockFailed(fileName, errno);
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::close(m_fd);
                LockFailed(fileName, error);
            }
        }
    }
    ~TFileLock() { ::close(m_fd); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    int m_fd = -1;
};

void Put(std::vector<std::pair<std::string, std::string>>& values, const char* key,
         const std::string& value) {
    values.emplace_back(key, Encode(value));
}

} // namespace

const char* DeviceStateText(TDeviceState state) {
    switch (state) {
    case TDeviceState::Allowed:
        return "allowed";
    case TDeviceState::Refused:
        return "refused";
    case TDeviceState::Waiting:
        break;
    }
    return "waiting";
}

const char* DecisionSourceText(TDecisionSource source) {
    switch (source) {
    case TDecisionSource::OperatorWindow:
        return "operator window";
    case TDecisionSource::CommandLine:
        return "command line";
    case TDecisionSource::Policy:
        break;
    }
    return "policy";
}

std::string DeviceKey(const std::string& serial, const std::string& userName, const std::string& model) {
    if (!serial.empty())
        return serial;
    return kNoSerialPrefix + userName + " / " + model;
}

std::string DecisionLogText(const TDeviceRecord& record) {
    std::string text = "Device [" + record.Key + "]";
    if (record.BySerial)
        text += " (" + record.UserName + ", " + record.Model + ")";
    return text + ": " + record.Decision + ", by " + record.DecisionBy + " (last address " +
           (record.DecisionAddress.empty() ? std::string("unknown") : record.DecisionAddress) + ")";
}

std::vector<int> ParseSessionList(const std::string& text) {
    std::vector<int> sessions;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        int number = -1;
        const auto [ptr, error] = std::from_chars(item.data(), item.data() + item.size(), number);
        if (item.empty() || error != std::errc() || ptr != item.data() + item.size() || number < 0 ||
            number > 99999)
            throw Exception("Invalid session list [" + text + "]: expected session numbers such as 1,3");
        if (std::find(sessions.begin(), sessions.end(), number) == sessions.end())
            sessions.push_back(number);
        start = end + 1;
    }
    std::sort(sessions.begin(), sessions.end());
    return sessions;
}

std::string SessionListText(const std::vector<int>& sessions) {
    std::string text;
    for (const int number : sessions) {
        if (!text.empty())
            text += ",";
        text += std::to_string(number);
    }
    return text;
}

std::string TDeviceRecord::AccessText() const {
    if (State != TDeviceState::Allowed)
        return DeviceStateText(State);
    std::string text = ReadOnly ? "allowed read-only" : "allowed read-write";
    if (!Sessions.empty())
        text += ", sessions " + SessionListText(Sessions);
    return text;
}

bool TDeviceRecord::MayUseSession(int number) const {
    return State == TDeviceState::Allowed &&
           (Sessions.empty() || std::find(Sessions.begin(), Sessions.end(), number) != Sessions.end());
}

std::string TDeviceRegistry::FileNameFor(const std::string& configFile) {
    const std::filesystem::path path(configFile);
    return (path.parent_path() / (path.stem().string() + "Devices.ini")).string();
}

TDeviceRegistry::TDeviceRegistry(std::string fileName, int flushDelayMs)
    : m_fileName(std::move(fileName)),
      m_lockFileName((std::filesystem::path(m_fileName).parent_path() /
                      ("." + std::filesystem::path(m_fileName).filename().string() + ".lock"))
                         .string()),
      m_flushDelayMs(flushDelayMs) {
    {
        const std::lock_guard lock(m_lock);
        m_stamp = StampNow();
        m_file = Load();
        Rebuild();
    }
    m_writer = std::thread([this] { WriterLoop(); });
}

TDeviceRegistry::~TDeviceRegistry() {
    {
        const std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();
    try {
        Flush();
    } catch (const std::exception& e) {
        LogError(e.what());
    }
}

TDeviceRegistry::TStamp TDeviceRegistry::StampNow() const {
    struct stat info {};
    if (::stat(m_fileName.c_str(), &info) != 0)
        return {};
    return {true, info.st_ino, int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            info.st_size};
}

TDeviceRegistry::TContent TDeviceRegistry::Load() const {
    TContent content;
    for (const TIniFile::TSection& section : TIniFile(m_fileName).ReadAll()) {
        const auto value = [&](const char* key) {
            for (const auto& [name, text] : section.values)
                if (strcasecmp(name.c_str(), key) == 0)
                    return Decode(text);
            return std::string();
        };
        if (strcasecmp(section.name.c_str(), kRegistrySection) == 0) {
            content.AcceptNewUntil = ParseTime(value("AcceptNewUntil"));
            continue;
        }
        if (strncasecmp(section.name.c_str(), kDevicePrefix, strlen(kDevicePrefix)) != 0)
            continue;
        TDeviceRecord record;
        record.Key = Decode(section.name.substr(strlen(kDevicePrefix)));
        record.BySerial = value("IdentifiedBy") != "user name and model";
        record.Serial = value("Serial");
        record.UserName = value("UserName");
        record.Model = value("Model");
        record.OperatingSystem = value("OperatingSystem");
        record.FirstSeen = ParseTime(value("FirstSeen"));
        record.LastSeen = ParseTime(value("LastSeen"));
        record.LastAddress = value("LastAddress");
        record.State = ParseState(value("State"));
        record.ReadOnly = value("Access") == "read-only";
        try {
            const std::string sessions = value("Sessions");
            if (!sessions.empty())
                record.Sessions = ParseSessionList(sessions);
        } catch (const std::exception&) {
            // A damaged list must not widen the device's access.
            record.Sessions = {-1};
        }
        record.DecisionBy = value("DecisionBy");
        record.Decision = value("Decision");
        record.DecisionTime = ParseTime(value("DecisionTime"));
        record.DecisionAddress = value("DecisionAddress");
        content.Records.emplace(record.Key, std::move(record));
    }
    return content;
}

void TDeviceRegistry::Save(const TContent& content) {
    std::vector<TIniFile::TSection> sections;
    if (content.AcceptNewUntil.isValid())
        sections.push_back({kRegistrySection, {{"AcceptNewUntil", TimeText(content.AcceptNewUntil)}}});
    sections.reserve(content.Records.size() + 1);
    for (const auto& [key, record] : content.Records) {
        TIniFile::TSection section{kDevicePrefix + Encode(key, true), {}};
        auto& values = section.values;
        Put(values, "IdentifiedBy", record.BySerial ? "serial" : "user name and model");
        Put(values, "Serial", record.Serial);
        Put(values, "UserName", record.UserName);
        Put(values, "Model", record.Model);
        Put(values, "OperatingSystem", record.OperatingSystem);
        Put(values, "FirstSeen", TimeText(record.FirstSeen));
        Put(values, "LastSeen", TimeText(record.LastSeen));
        Put(values, "LastAddress", record.LastAddress);
        Put(values, "State", DeviceStateText(record.State));
        Put(values, "Access", record.ReadOnly ? "read-only" : "read-write");
        Put(values, "Sessions", SessionListText(record.Sessions));
        Put(values, "DecisionBy", record.DecisionBy);
        Put(values, "Decision", record.Decision);
        Put(values, "DecisionTime", TimeText(record.DecisionTime));
        Put(values, "DecisionAddress", record.DecisionAddress);
        sections.push_back(std::move(section));
    }
    TIniFile(m_fileName).ReplaceAll(sections);
}

// The file holds the operator's decisions; what was collected adds logins:
// a device that the file no longer holds was forgotten meanwhile and comes
// back only with a login collected after that (a new entry).
void TDeviceRegistry::ApplyPending(TRecords& records, const std::map<std::string, TPending>& pending) {
    for (const auto& [key, note] : pending) {
        auto found = records.find(key);
        if (found == records.end()) {
            if (!note.IsNew)
                continue;
            TDeviceRecord record = note.Seen;
            if (note.Decision) {
                record.State = note.Decision->State;
                record.ReadOnly = false;
                record.DecisionBy = DecisionSourceText(TDecisionSource::Policy);
                record.Decision = note.Decision->What;
                record.DecisionTime = note.DecisionTime;
                record.DecisionAddress = note.Seen.LastAddress;
            }
            records.emplace(key, std::move(record));
            continue;
        }
        TDeviceRecord& record = found->second;
        record.UserName = note.Seen.UserName;
        record.Model = note.Seen.Model;
        record.OperatingSystem = note.Seen.OperatingSystem;
        if (!record.LastSeen.isValid() || note.Seen.LastSeen > record.LastSeen) {
            record.LastSeen = note.Seen.LastSeen;
            record.LastAddress = note.Seen.LastAddress;
        }
        if (note.Decision && record.State == TDeviceState::Waiting) {
            record.State = note.Decision->State;
            record.ReadOnly = false;
            record.Sessions.clear();
            record.DecisionBy = DecisionSourceText(TDecisionSource::Policy);
            record.Decision = note.Decision->What;
            record.DecisionTime = note.DecisionTime;
            record.DecisionAddress = note.Seen.LastAddress;
        }
    }
}

void TDeviceRegistry::Rebuild() {
    m_records = m_file.Records;
    ApplyPending(m_records, m_pending);
    ++m_generation;
}

void TDeviceRegistry::Notify() {
    if (OnChange)
        OnChange();
}

void TDeviceRegistry::Refresh() {
    {
        const std::lock_guard lock(m_lock);
        if (StampNow() == m_stamp)
            return;
    }
    // A write under way reads the file afresh and takes over what it holds:
    // the caller (the server's loop) does not wait for the disk behind it.
    std::unique_lock turn(m_writeTurn, std::try_to_lock);
    if (!turn.owns_lock())
        return;
    // Read outside m_lock; the replace is atomic, so what is read is whole.
    TStamp stamp = StampNow();
    TContent content = Load();
    {
        const std::lock_guard lock(m_lock);
        if (stamp == m_stamp)
            return;
        m_stamp = stamp;
        m_file = std::move(content);
        Rebuild();
    }
    Notify();
}

uint64_t TDeviceRegistry::Generation() const {
    const std::lock_guard lock(m_lock);
    return m_generation;
}

std::optional<TDeviceRecord> TDeviceRegistry::Find(const std::string& key) const {
    const std::lock_guard lock(m_lock);
    const auto found = m_records.find(key);
    if (found == m_records.end())
        return std::nullopt;
    return found->second;
}

TDeviceRecord TDeviceRegistry::Get(const std::string& key) const {
    std::optional<TDeviceRecord> record = Find(key);
    if (!record)
        throw UnknownDevice(key, m_fileName);
    return *record;
}

std::optional<TDeviceState> TDeviceRegistry::StateOf(const std::string& key) const {
    const std::lock_guard lock(m_lock);
    const auto found = m_records.find(key);
    if (found == m_records.end())
        return std::nullopt;
    return found->second.State;
}

std::vector<TDeviceRecord> TDeviceRegistry::List() const {
    const std::lock_guard lock(m_lock);
    std::vector<TDeviceRecord> list;
    list.reserve(m_records.size());
    for (const auto& entry : m_records)
        list.push_back(entry.second);
    return list;
}

int TDeviceRegistry::WaitingCount() const {
    const std::lock_guard lock(m_lock);
    return int(std::count_if(m_records.begin(), m_records.end(),
                             [](const auto& entry) { return entry.second.State == TDeviceState::Waiting; }));
}

QDateTime TDeviceRegistry::AcceptNewUntil() const {
    const std::lock_guard lock(m_lock);
    return m_file.AcceptNewUntil;
}

bool TDeviceRegistry::AcceptingNew(const QDateTime& now) const {
    const QDateTime until = AcceptNewUntil();
    return until.isValid() && now < until;
}

void TDeviceRegistry::NoteLogin(const TDeviceRecord& seen, const std::optional<TPolicyDecision>& decision) {
    {
        const std::lock_guard lock(m_lock);
        TPending& note = m_pending[seen.Key];
        // A decision collected earlier stays until it is written.
        const std::optional<TPolicyDecision> earlier = note.Decision;
        const QDateTime earlierTime = note.DecisionTime;
        note.IsNew = note.IsNew || m_records.find(seen.Key) == m_records.end();
        note.Seen = seen;
        note.Decision = decision ? decision : earlier;
        note.DecisionTime = decision ? seen.LastSeen : earlierTime;
        note.Sequence = ++m_sequence;
        // Only this entry changes: the rest of the view stays as it is.
        std::map<std::string, TPending> one{{seen.Key, note}};
        ApplyPending(m_records, one);
        ++m_generation;
    }
    m_wake.notify_all();
    Notify();
}

void TDeviceRegistry::Write(const std::function<void(TContent&)>& change) {
    const std::unique_lock turn(m_writeTurn);
    const TFileLock fileLock(m_lockFileName);
    std::map<std::string, TPending> pending;
    {
        const std::lock_guard lock(m_lock);
        pending = m_pending;
    }
    TContent content = Load();
    ApplyPending(content.Records, pending);
    if (change)
        change(content);
    Save(content);
    const TStamp stamp = StampNow();
    {
        const std::lock_guard lock(m_lock);
        // What was noted while the file was written stays collected.
        for (const auto& [key, note] : pending) {
            const auto found = m_pending.find(key);
            if (found != m_pending.end() && found->second.Sequence == note.Sequence)
                m_pending.erase(found);
        }
        m_file = std::move(content);
        m_stamp = stamp;
        Rebuild();
    }
    Notify();
}

void TDeviceRegistry::Flush() {
    {
        const std::lock_guard lock(m_lock);
        if (m_pending.empty())
            return;
    }
    Write(nullptr);
}

void TDeviceRegistry::WriterLoop() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_stopping)
            return;
        // Collect for a while: a burst of logins costs one write.
        m_wake.wait_for(lock, std::chrono::milliseconds(m_flushDelayMs), [this] { return m_stopping; });
        if (m_stopping)
            return;
        lock.unlock();
        try {
            Write(nullptr);
        } catch (const std::exception& e) {
            LogError(e.what());
            // Tried again after the next delay, not in a tight loop.
            lock.lock();
            m_wake.wait_for(lock, std::chrono::milliseconds(m_flushDelayMs), [this] { return m_stopping; });
            continue;
        }
        lock.lock();
    }
}

TDeviceRecord TDeviceRegistry::Decide(const std::string& key, TDecisionSource by,
                                      const std::function<void(TDeviceRecord&)>& apply, bool forget) {
    TDeviceRecord written;
    Write([&](TContent& content) {
        const auto found = content.Records.find(key);
        if (found == content.Records.end())
            throw UnknownDevice(key, m_fileName);
        TDeviceRecord& record = found->second;
        record.DecisionBy = DecisionSourceText(by);
        record.DecisionTime = QDateTime::currentDateTimeUtc();
        record.DecisionAddress = record.LastAddress;
        if (apply)
            apply(record);
        written = record;
        if (forget)
            content.Records.erase(found);
    });
    return written;
}

TDeviceRecord TDeviceRegistry::Allow(const std::string& key, bool readOnly, const std::vector<int>& sessions,
                                     TDecisionSource by) {
    return Allow(key, TAccess{readOnly, sessions}, by);
}

TDeviceRecord TDeviceRegistry::Allow(const std::string& key, const TAccess& access, TDecisionSource by) {
    return Decide(
        key, by,
        [&](TDeviceRecord& record) {
            record.State = TDeviceState::Allowed;
            if (access.ReadOnly)
                record.ReadOnly = *access.ReadOnly;
            if (access.Sessions)
                record.Sessions = *access.Sessions;
            record.Decision = record.AccessText();
        },
        false);
}

TDeviceRecord TDeviceRegistry::Refuse(const std::string& key, TDecisionSource by) {
    return Decide(
        key, by,
        [](TDeviceRecord& record) {
            record.State = TDeviceState::Refused;
            record.ReadOnly = false;
            record.Sessions.clear();
            record.Decision = "refused";
        },
        false);
}

TDeviceRecord TDeviceRegistry::Forget(const std::string& key, TDecisionSource by) {
    return Decide(
        key, by, [](TDeviceRecord& record) { record.Decision = "forgotten"; }, true);
}

void TDeviceRegistry::SetAcceptNewUntil(const QDateTime& until) {
    Write([&](TContent& content) { content.AcceptNewUntil = until.toUTC(); });
}
