// The configuration file: arbitrary bytes as the file, every section and key
// in it read (text, integer, flag), then a key written, an integer written and
// a key deleted. A write either raises Exception and leaves the file as it was,
// or is read back; no other key of the file may change or go missing.
//
// Input: the file, a NUL, then the section, key and value to write, each
// ended by a NUL.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/IniFile.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "ini file: %s\n", what.c_str());
    std::abort();
}

// A file in a folder of this process's own; the folder is removed at exit.
const std::string& WorkFile() {
    // Never destroyed, so that the exit handler can still use it.
    static const std::string* const folder = [] {
        auto* name =
            new std::string((std::filesystem::temp_directory_path() / "zel-fuzz-ini-XXXXXX").string());
        if (!::mkdtemp(name->data()))
            Fail("no temporary folder");
        std::atexit([] { std::filesystem::remove_all(*folder); });
        return name;
    }();
    static const std::string* const file = new std::string(*folder + "/fuzz.ini");
    return *file;
}

std::string ReadAll(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& fileName, const std::string& content) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        Fail("cannot write the work file");
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

using Snapshot = std::map<std::pair<std::string, std::string>, std::string>; // (section, key) lower-cased

// Reads every section and key the file shows, checking that each listed name
// reads as present.
Snapshot ReadEverything(const TIniFile& ini) {
    Snapshot values;
    for (const std::string& section : ini.ReadSections()) {
        if (!ini.SectionExists(section))
            Fail("listed section [" + section + "] does not exist");
        for (const std::string& key : ini.ReadSection(section)) {
            if (!ini.ValueExists(section, key))
                Fail("listed key [" + section + "] " + key + " does not exist");
            const std::string value = ini.ReadString(section, key, "a");
            if (value == "a" && ini.ReadString(section, key, "b") == "b")
                Fail("listed key [" + section + "] " + key + " reads as missing");
            (void)ini.ReadInteger(section, key, 0);
            (void)ini.ReadBool(section, key, false);
            values[{Lower(section), Lower(key)}] = value;
        }
    }
    return values;
}

// Every key of before reads the same in after, except the one changed.
void CheckKept(const Snapshot& before, const Snapshot& after, const std::string& section,
               const std::string& key) {
    for (const auto& [name, value] : before) {
        if (name == std::make_pair(Lower(Trim(section)), Lower(Trim(key))))
            continue;
        const auto found = after.find(name);
        if (found == after.end())
            Fail("key [" + name.first + "] " + name.second + " lost");
        if (found->second != value)
            Fail("key [" + name.first + "] " + name.second + " changed");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 4)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    parts.resize(4);
    const std::string& content = parts[0];
    const std::string& section = parts[1];
    const std::string& key = parts[2];
    const std::string& value = parts[3];

    const std::string& fileName = WorkFile();
    WriteAll(fileName, content);
    TIniFile ini(fileName);
    const Snapshot before = ReadEverything(ini);

    try {
        ini.WriteString(section, key, value);
    } catch (const Exception&) {
        if (ReadAll(fileName) != content)
            Fail("a refused write changed the file");
        return 0;
    }
    if (!ini.ValueExists(section, key) || ini.ReadString(section, key, "a") != Trim(value) ||
        ini.ReadString(section, key, "b") != Trim(value))
        Fail("written key not read back");
    Snapshot after = ReadEverything(ini);
    CheckKept(before, after, section, key);
    if (after.find({Lower(Trim(section)), Lower(Trim(key))}) == after.end())
        Fail("written key not listed");

    // An integer under a second key, then that key deleted again.
    const std::string number = key + "#";
    ini.WriteInteger(section, number, static_cast<int>(size) - 1000);
    if (ini.ReadInteger(section, number, 0) != static_cast<int>(size) - 1000)
        Fail("written integer not read back");
    ini.DeleteKey(section, number);
    if (ini.ValueExists(section, number))
        Fail("deleted key still there");
    const Snapshot last = ReadEverything(ini);
    CheckKept(after, last, section, number);
    return 0;
}
