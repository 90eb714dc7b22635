#include "base/IniFile.h"

#include "base/Exception.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

// One line of the file as found, with its meaning. Raw text is what a
// rewrite puts back, so lines we do not understand survive unchanged.
struct TIniLine {
    enum class Kind { Other, Section, Key };
    std::string raw;
    Kind kind = Kind::Other;
    std::string name;  // section or key name, trimmed
    std::string value; // key value, trimmed
    int section = -1;  // index of the section header this line belongs to
};

struct TIniDocument {
    std::vector<TIniLine> lines;
};

std::string_view TrimView(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string Trim(std::string_view text) {
    return std::string(TrimView(text));
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Names in the file are read trimmed, so a caller's name is trimmed too:
// what is written under " Key " reads back under "Key" and " Key ".
bool SameName(std::string_view a, std::string_view b) {
    a = TrimView(a);
    b = TrimView(b);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

void Classify(TIniLine& line, int currentSection, bool firstLine) {
    std::string_view text = line.raw;
    if (firstLine && text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3); // a UTF-8 byte order mark is not part of the first line's meaning
    const std::string trimmed = Trim(text);
    line.section = currentSection;
    if (trimmed.empty() || trimmed[0] == ';')
        return;
    if (trimmed[0] == '[') {
        const auto close = trimmed.find(']');
        if (close != std::string::npos) {
            line.kind = TIniLine::Kind::Section;
            line.name = Trim(std::string_view(trimmed).substr(1, close - 1));
        }
        return;
    }
    const auto equals = trimmed.find('=');
    if (equals == std::string::npos || currentSection < 0)
        return; // stray text, or a key before the first section: kept, never read
    line.kind = TIniLine::Kind::Key;
    line.name = Trim(std::string_view(trimmed).substr(0, equals));
    line.value = Trim(std::string_view(trimmed).substr(equals + 1));
}

TIniDocument Parse(const std::string& content) {
    TIniDocument doc;
    int currentSection = -1;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        const size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos)
            end = content.size();
        if (end > start && content[end - 1] == '\r')
            --end;
        TIniLine line;
        line.raw = content.substr(start, end - start);
        Classify(line, currentSection, doc.lines.empty());
        if (line.kind == TIniLine::Kind::Section)
            line.section = currentSection = int(doc.lines.size());
        doc.lines.push_back(std::move(line));
        start = next;
    }
    return doc;
}

[[noreturn]] void ReadFailed(const std::string& fileName, int error) {
    throw Exception("TIniFile: cannot read file [" + fileName + "]: " + std::strerror(error));
}

// The document on disk; an empty one when the file does not exist. A file
// that exists but cannot be read (or cannot even be looked at) raises:
// reading defaults from it would hide the fault, and a later write would
// replace every session in it.
TIniDocument Load(const std::string& fileName) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return TIniDocument{};
        ReadFailed(fileName, errno);
    }
    std::string content;
    char chunk[16384];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            const int error = errno;
            ::close(fd);
            ReadFailed(fileName, error);
        }
        if (count == 0)
            break;
        content.append(chunk, size_t(count));
    }
    ::close(fd);
    return Parse(content);
}

bool InSection(const TIniLine& line, const TIniDocument& doc, const std::string& section) {
    return line.section >= 0 && SameName(doc.lines[size_t(line.section)].name, section);
}

// Several sections of one name read as one: the first key of a name wins.
int FindKey(const TIniDocument& doc, const std::string& section, const std::string& key) {
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        const TIniLine& line = doc.lines[i];
        if (line.kind == TIniLine::Kind::Key && SameName(line.name, key) && InSection(line, doc, section))
            return int(i);
    }
    return -1;
}

int FindSection(const TIniDocument& doc, const std::string& section) {
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        if (doc.lines[i].kind == TIniLine::Kind::Section && SameName(doc.lines[i].name, section))
            return int(i);
    }
    return -1;
}

// After the last line of the section that is neither blank nor a comment, so
// that blank lines and comments in front of the next section stay there.
size_t InsertPosition(const TIniDocument& doc, int header) {
    size_t position = size_t(header) + 1;
    for (size_t i = position; i < doc.lines.size() && doc.lines[i].section == header; ++i) {
        const std::string trimmed = Trim(doc.lines[i].raw);
        if (!trimmed.empty() && trimmed[0] != ';')
            position = i + 1;
    }
    return position;
}

std::optional<int> ParseInteger(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Hexadecimal is a 32-bit pattern: 0xFFFFFFFF is -1.
        uint32_t bits = 0;
        const auto [ptr, ec] = std::from_chars(begin + 2, end, bits, 16);
        if (ec != std::errc() || ptr != end)
            return std::nullopt;
        return int32_t(bits);
    }
    if (begin != end && *begin == '+')
        ++begin;
    int value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value, 10);
    if (begin == end || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

void CheckSectionName(const std::string& section) {
    if (Trim(section).empty() || section.find_first_of("]\r\n") != std::string::npos)
        throw Exception("TIniFile: invalid section name [" + section + "]");
}

void CheckKeyName(const std::string& key) {
    if (Trim(key).empty() || Trim(key)[0] == '[' || Trim(key)[0] == ';' ||
        key.find_first_of("=\r\n") != std::string::npos)
        throw Exception("TIniFile: invalid key name [" + key + "]");
}

void CheckWrite(const std::string& section, const std::string& key, const std::string& value) {
    CheckSectionName(section);
    CheckKeyName(key);
    if (value.find_first_of("\r\n") != std::string::npos)
        throw Exception("TIniFile: a value cannot hold a line break [" + key + "]");
}

// Each line's section index, after lines were inserted.
void Reindex(TIniDocument& doc) {
    int current = -1;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        if (doc.lines[i].kind == TIniLine::Kind::Section)
            current = int(i);
        doc.lines[i].section = current;
    }
}

// Sets key in the document; false when it already held that value.
bool SetValue(TIniDocument& doc, const std::string& section, const std::string& key,
              const std::string& value) {
    TIniLine line;
    line.raw = Trim(key) + "=" + value;
    line.kind = TIniLine::Kind::Key;
    line.name = Trim(key);
    line.value = Trim(value);
    const int index = FindKey(doc, section, key);
    if (index >= 0) {
        TIniLine& old = doc.lines[size_t(index)];
        if (old.name == line.name && old.value == line.value)
            return false;
        line.section = old.section;
        old = std::move(line);
        return true;
    }
    int header = FindSection(doc, section);
    if (header < 0) {
        header = int(doc.lines.size());
        TIniLine headerLine;
        headerLine.name = Trim(section);
        headerLine.raw = "[" + headerLine.name + "]";
        headerLine.kind = TIniLine::Kind::Section;
        headerLine.section = header;
        doc.lines.push_back(std::move(headerLine));
    }
    line.section = header;
    doc.lines.insert(doc.lines.begin() + std::ptrdiff_t(InsertPosition(doc, header)), std::move(line));
    Reindex(doc);
    return true;
}

// The window and the server write the file from different threads; each
// write reads, changes and replaces the whole file, so two at once would lose
// one of them. Writes of this program therefore take turns.
std::mutex& UpdateLock() {
    static std::mutex lock;
    return lock;
}

// A file that exists but cannot be read must not be replaced by one that
// holds only the new key: that would lose every session in it.
TIniDocument LoadForUpdate(const std::string& fileName) {
    try {
        return Load(fileName);
    } catch (const Exception&) {
        throw Exception("TIniFile: cannot read file [" + fileName + "] before writing it");
    }
}

// A new file may hold data-source passwords: only its owner reads it.
constexpr mode_t kNewFileMode = 0600;

// The file a write replaces: the target of a symbolic link, so that the link survives.
std::string WriteTarget(const std::string& fileName) {
    std::error_code error;
    if (!std::filesystem::is_symlink(fileName, error))
        return fileName;
    const auto target = std::filesystem::weakly_canonical(fileName, error);
    return error ? fileName : target.string();
}

[[noreturn]] void WriteFailed(const std::string& fileName, int error) {
    throw Exception("TIniFile: cannot write file [" + fileName + "]: " + std::strerror(error));
}

bool WriteFully(int fd, const std::string& content) {
    for (size_t written = 0; written < content.size();) {
        const ssize_t count =
            ::pwrite(fd, content.data() + written, content.size() - written, off_t(written));
        if (count < 0 && errno != EINTR)
            return false;
        if (count > 0)
            written += size_t(count);
    }
    return true;
}

// The folder holds the new name only once its own change is on disk.
void SyncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// For a writable file in a folder that is not (a service's read-only
// program folder): overwritten where it is, so that its inode, mode and
// owner stay. The space is reserved first, so a full disk fails before the
// old content is touched.
void SaveInPlace(const std::string& fileName, const std::string& target, const std::string& content) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        WriteFailed(fileName, errno);
    const auto fail = [&](int error) {
        ::close(fd);
        WriteFailed(fileName, error);
    };
    const int reserved = ::posix_fallocate(fd, 0, off_t(content.size()));
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL)
        fail(reserved);
    if (!WriteFully(fd, content) || ::ftruncate(fd, off_t(content.size())) != 0 || ::fsync(fd) != 0)
        fail(errno);
    if (::close(fd) != 0)
        WriteFailed(fileName, errno);
}

// Writes a temporary file beside the target, syncs it and renames it over the
// target, checking every step: on any failure the old file stays whole and the
// temporary file is removed. Where no file can be made beside an existing
// target, the target is overwritten in place instead.
void Save(const std::string& fileName, const TIniDocument& doc) {
    std::string content;
    for (const TIniLine& line : doc.lines) {
        content += line.raw;
        content += "\r\n";
    }
    const std::string target = WriteTarget(fileName);
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    const std::filesystem::path path(target);
    std::string tempName = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (exists && (error == EACCES || error == EPERM || error == EROFS) &&
            ::access(target.c_str(), W_OK) == 0)
            return SaveInPlace(fileName, target, content);
        WriteFailed(fileName, error);
    }
    const auto fail = [&](int error) {
        ::close(fd);
        ::unlink(tempName.c_str());
        WriteFailed(fileName, error);
    };
    if (!WriteFully(fd, content))
        fail(errno);
    if (exists && ::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        fail(errno);
    if (::fchmod(fd, exists ? (old.st_mode & 07777) : kNewFileMode) != 0 || ::fsync(fd) != 0)
        fail(errno);
    const int closed = ::close(fd);
    if (closed != 0 || ::rename(tempName.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempName.c_str());
        WriteFailed(fileName, error);
    }
    SyncFolder(path.parent_path());
}

// Rewrites the file without the lines that drop() selects; no rewrite when none is.
template <typename Pred> void SaveWithout(const std::string& fileName, const TIniDocument& doc, Pred drop) {
    TIniDocument kept;
    for (const TIniLine& line : doc.lines) {
        if (!drop(line))
            kept.lines.push_back(line);
    }
    if (kept.lines.size() != doc.lines.size())
        Save(fileName, kept);
}

} // namespace

TIniFile::TIniFile(std::string fileName) : m_fileName(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    const TIniDocument doc = Load(m_fileName);
    const int index = FindKey(doc, section, key);
    return index < 0 ? def : doc.lines[size_t(index)].value;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    const TIniDocument doc = Load(m_fileName);
    const int index = FindKey(doc, section, key);
    if (index < 0)
        return def;
    return ParseInteger(doc.lines[size_t(index)].value).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    CheckWrite(section, key, value);
    const std::lock_guard lock(UpdateLock());
    TIniDocument doc = LoadForUpdate(m_fileName);
    if (SetValue(doc, section, key, value))
        Save(m_fileName, doc);
}

void TIniFile::WriteBatch(const TBatch& batch) {
    for (const TBatch::TEntry& entry : batch.Entries())
        CheckWrite(entry.section, entry.key, entry.value);
    const std::lock_guard lock(UpdateLock());
    TIniDocument doc = LoadForUpdate(m_fileName);
    const TIniDocument before = doc;
    for (const TBatch::TEntry& entry : batch.Entries())
        SetValue(doc, entry.section, entry.key, entry.value);
    const auto sameText = [](const TIniLine& a, const TIniLine& b) { return a.raw == b.raw; };
    if (!std::equal(doc.lines.begin(), doc.lines.end(), before.lines.begin(), before.lines.end(), sameText))
        Save(m_fileName, doc);
}

void TIniFile::TBatch::WriteString(const std::string& section, const std::string& key,
                                   const std::string& value) {
    m_entries.push_back({section, key, value});
}

void TIniFile::TBatch::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::TBatch::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
    const std::lock_guard lock(UpdateLock());
    const TIniDocument doc = LoadForUpdate(m_fileName);
    SaveWithout(m_fileName, doc, [&](const TIniLine& line) {
        return (line.kind == TIniLine::Kind::Section && SameName(line.name, section)) ||
               InSection(line, doc, section);
    });
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    const std::lock_guard lock(UpdateLock());
    const TIniDocument doc = LoadForUpdate(m_fileName);
    SaveWithout(m_fileName, doc, [&](const TIniLine& line) {
        return line.kind == TIniLine::Kind::Key && SameName(line.name, key) && InSection(line, doc, section);
    });
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(Load(m_fileName), section) >= 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return FindKey(Load(m_fileName), section, key) >= 0;
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> names;
    const TIniDocument doc = Load(m_fileName);
    for (const TIniLine& line : doc.lines) {
        if (line.kind == TIniLine::Kind::Section &&
            std::none_of(names.begin(), names.end(), [&](const auto& n) { return SameName(n, line.name); }))
            names.push_back(line.name);
    }
    return names;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    const TIniDocument doc = Load(m_fileName);
    for (const TIniLine& line : doc.lines) {
        if (line.kind == TIniLine::Kind::Key && InSection(line, doc, section) &&
            std::none_of(keys.begin(), keys.end(), [&](const auto& k) { return SameName(k, line.name); }))
            keys.push_back(line.name);
    }
    return keys;
}

std::vector<TIniFile::TSection> TIniFile::ReadAll() const {
    // Names are looked up by their folded form: a file of thousands of
    // sections is read in one pass, not one search per section.
    const auto folded = [](std::string_view name) {
        std::string text(TrimView(name));
        std::transform(text.begin(), text.end(), text.begin(), LowerAscii);
        return text;
    };
    std::vector<TSection> sections;
    std::unordered_map<std::string, size_t> sectionIndex;
    std::vector<std::unordered_set<std::string>> keysSeen;
    const TIniDocument doc = Load(m_fileName);
    std::vector<size_t> headerToIndex(doc.lines.size(), 0);
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        const TIniLine& line = doc.lines[i];
        if (line.kind == TIniLine::Kind::Section) {
            const auto [entry, added] = sectionIndex.emplace(folded(line.name), sections.size());
            if (added) {
                sections.push_back({line.name, {}});
                keysSeen.emplace_back();
            }
            headerToIndex[i] = entry->second;
            continue;
        }
        if (line.kind != TIniLine::Kind::Key || line.section < 0)
            continue;
        const size_t index = headerToIndex[size_t(line.section)];
        if (keysSeen[index].insert(folded(line.name)).second)
            sections[index].values.emplace_back(line.name, line.value);
    }
    return sections;
}

void TIniFile::ReplaceAll(const std::vector<TSection>& sections) {
    TIniDocument doc;
    for (const TSection& section : sections) {
        CheckSectionName(section.name);
        TIniLine header;
        header.name = Trim(section.name);
        header.raw = "[" + header.name + "]";
        header.kind = TIniLine::Kind::Section;
        doc.lines.push_back(std::move(header));
        for (const auto& [key, value] : section.values) {
            CheckWrite(section.name, key, value);
            TIniLine line;
            line.raw = Trim(key) + "=" + value;
            line.kind = TIniLine::Kind::Key;
            doc.lines.push_back(std::move(line));
        }
    }
    const std::lock_guard lock(UpdateLock());
    Save(m_fileName, doc);
}
