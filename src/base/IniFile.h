#pragma once

#include <string>
#include <utility>
#include <vector>

// A configuration file with classic private-profile semantics: section and
// key names compare case-insensitively, every read goes to the file (so two
// objects on one file see each other's writes at once), and every write
// replaces the file atomically (temporary file + rename), so a crash or a
// full disk never leaves half a file. A writable file in a folder that is not
// writable is overwritten in place instead. A new file is readable by its
// owner only. Key order, comments and unknown lines survive a rewrite; a new
// key goes to the end of its section.
class TIniFile {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return m_fileName; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal with a leading "0x"; def when missing or not a number.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // An integer read: any value but 0 is true; def when missing or not a number.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Reads raise Exception when the file exists but cannot be read; a missing
    // file reads as empty. Writes raise Exception when the file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value); // "1" / "0"

    // Writes collected for one replace of the file: a save of many keys costs
    // one rewrite and one fsync instead of one per key.
    class TBatch {
    public:
        struct TEntry {
            std::string section;
            std::string key;
            std::string value;
        };
        void WriteString(const std::string& section, const std::string& key, const std::string& value);
        void WriteInteger(const std::string& section, const std::string& key, int value);
        void WriteBool(const std::string& section, const std::string& key, bool value); // "1" / "0"
        const std::vector<TEntry>& Entries() const { return m_entries; }

    private:
        std::vector<TEntry> m_entries;
    };
    // Applies the batch's writes in order as one atomic replace. Every entry is
    // checked first: when one is refused, or the file cannot be replaced, the
    // file keeps its old content whole and the failure is raised.
    void WriteBatch(const TBatch& batch);

    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& key);
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSection(const std::string& section) const; // key names

    // The whole file at once, for files of many sections that would cost one
    // read per key otherwise: every section in file order with its keys and
    // values (a repeated section or key is read once, the first wins).
    struct TSection {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    std::vector<TSection> ReadAll() const;
    // Replaces the whole content by these sections in one atomic replace
    // that keeps the file's owner and mode. Names and values are checked as
    // for single writes; a refused one leaves the file untouched.
    void ReplaceAll(const std::vector<TSection>& sections);

private:
    std::string m_fileName;
};
