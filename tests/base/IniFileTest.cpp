#include "base/IniFile.h"
#include "base/Exception.h"

#include <QTemporaryDir>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Files.h"

namespace {

ino_t InodeOf(const std::string& fileName) {
    struct stat info {};
    return ::stat(fileName.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

// Drops root rights in a forked child, so that folder and file permissions apply there too.
void BecomeUnprivileged() {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
        _exit(3);
}

// Runs write() in a forked child after prepare(); the child exits 0 when write
// raised our Exception (its message goes to stderr for the caller's pattern).
void RunWriteInChild(void (*prepare)(), const std::function<void()>& write) {
    prepare();
    try {
        write();
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s", e.what());
        _exit(0);
    }
    _exit(1);
}

void LimitFileSize() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    std::string Path(const std::string& name) const {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }

    QTemporaryDir dir;
    const std::string file = Path("test.ini");
};

TEST_F(IniFileTest, TwoObjectsOnOneFileSeeEachOthersWritesAtOnce) {
    TIniFile a(file), b(file);
    a.WriteString("Settings", "Name", "first");
    EXPECT_EQ(b.ReadString("Settings", "Name", "none"), "first");
    b.WriteString("Settings", "Name", "other");
    EXPECT_EQ(a.ReadString("Settings", "Name", "none"), "other");
    // Quick same-size rewrites must never be mistaken for an unchanged file.
    for (int i = 0; i < 20; ++i) {
        (i % 2 ? a : b).WriteInteger("Settings", "Counter", i % 10);
        ASSERT_EQ((i % 2 ? b : a).ReadInteger("Settings", "Counter", -1), i % 10);
    }
    b.DeleteKey("Settings", "Name");
    EXPECT_EQ(a.ReadString("Settings", "Name", "gone"), "gone");
}

TEST_F(IniFileTest, WriteReplacesTheFileAndLeavesNoTemporaryFile) {
    WriteAll(file, "[Settings]\r\nKey=1\r\n");
    ::chmod(file.c_str(), 0640);
    const ino_t before = InodeOf(file);
    TIniFile ini(file);
    ini.WriteString("Settings", "Key", "2");
    EXPECT_NE(InodeOf(file), before) << "the file must be replaced, not rewritten in place";
    EXPECT_EQ(ReadAll(file), "[Settings]\r\nKey=2\r\n");
    EXPECT_EQ(FolderEntries(dir.path().toStdString()), std::vector<std::string>{"test.ini"});
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u) << "the permissions of the old file are kept";
}

TEST_F(IniFileTest, WriteOfAnUnchangedValueLeavesTheFileAlone) {
    WriteAll(file, "[Settings]\r\nKey=1\r\n");
    const ino_t before = InodeOf(file);
    TIniFile(file).WriteString("settings", "Key", "1");
    EXPECT_EQ(InodeOf(file), before);
}

TEST_F(IniFileTest, WriteOfAReadOnlyFileInAReadOnlyFolderRaisesAndKeepsTheOldFile) {
    const std::string original = "stamp\r\n[Session01]\r\nDSN=Stock\r\n";
    WriteAll(file, original);
    ::chmod(file.c_str(), 0444);
    ::chmod(dir.path().toLocal8Bit().constData(), 0555);
    EXPECT_EXIT(
        RunWriteInChild(BecomeUnprivileged, [&] { TIniFile(file).WriteString("Session01", "DSN", "Other"); }),
        ::testing::ExitedWithCode(0), "TIniFile: cannot write file \\[.*test.ini\\]: ");
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(FolderEntries(dir.path().toStdString()), std::vector<std::string>{"test.ini"});
}

// A service's configuration file may be writable where its folder is not:
// the file is then rewritten where it is, keeping its inode, mode and owner.
TEST_F(IniFileTest, WritableFileInAReadOnlyFolderIsWrittenInPlace) {
    WriteAll(file, "stamp\r\n[Session01]\r\nDSN=Stock\r\nTablename=Items\r\n");
    ::chmod(file.c_str(), 0640);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ::chmod(dir.path().toLocal8Bit().constData(), 0555);
    const auto child = [&] {
        BecomeUnprivileged();
        TIniFile ini(file);
        ini.WriteString("Session01", "DSN", "Other");
        ini.DeleteKey("Session01", "Tablename"); // shorter than before: the rest is cut off
        _exit(ini.ReadString("Session01", "DSN", "") == "Other" ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    EXPECT_EQ(ReadAll(file), "stamp\r\n[Session01]\r\nDSN=Other\r\n");
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(FolderEntries(dir.path().toStdString()), std::vector<std::string>{"test.ini"});
}

// It may hold data-source passwords, whatever the process's umask.
TEST_F(IniFileTest, ANewFileIsReadableByItsOwnerOnly) {
    const mode_t umask = ::umask(0);
    TIniFile(file).WriteString("Session01", "Password", "secret");
    ::umask(umask);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(IniFileTest, ReadingAnUnreadableFileRaisesInsteadOfGivingTheDefaults) {
    WriteAll(file, "[Settings]\r\nServerPort=5000\r\n[Session01]\r\nEnabled=1\r\n");
    ::chmod(file.c_str(), 0200);
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    const auto child = [&] {
        BecomeUnprivileged();
        const TIniFile ini(file);
        int raised = 0;
        const std::vector<std::function<void()>> reads = {
            [&] { ini.ReadString("Settings", "ServerPort", ""); },
            [&] { ini.ReadInteger("Settings", "ServerPort", 0); },
            [&] { ini.ReadBool("Session01", "Enabled", false); },
            [&] { ini.SectionExists("Session01"); },
            [&] { ini.ValueExists("Session01", "Enabled"); },
            [&] { ini.ReadSections(); },
            [&] { ini.ReadSection("Session01"); },
        };
        for (const auto& read : reads) {
            try {
                read();
            } catch (const Exception& e) {
                raised += std::string(e.what()).starts_with("TIniFile: cannot read file [" + file + "]");
            }
        }
        _exit(raised == int(reads.size()) ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
    ::chmod(file.c_str(), 0600);
    // A missing file is no fault: it reads as empty.
    EXPECT_EQ(TIniFile(Path("missing.ini")).ReadInteger("Settings", "ServerPort", 4402), 4402);
}

TEST_F(IniFileTest, WriteOnAFullDiskRaisesAndKeepsTheOldFile) {
    const std::string original = "[Session01]\r\nDSN=Stock\r\n";
    WriteAll(file, original);
    // A file-size limit makes the write of the temporary file fail part-way, as a full disk would.
    const std::string longValue(1000, 'x');
    EXPECT_EXIT(
        RunWriteInChild(LimitFileSize, [&] { TIniFile(file).WriteString("Session01", "Filter", longValue); }),
        ::testing::ExitedWithCode(0), "TIniFile: cannot write file");
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(FolderEntries(dir.path().toStdString()), std::vector<std::string>{"test.ini"});
}

TEST_F(IniFileTest, WriteOverAnUnreadableFileRaisesInsteadOfLosingIt) {
    const std::string original = "[Session01]\r\nDSN=Stock\r\n";
    WriteAll(file, original);
    ::chmod(file.c_str(), 0200);
    ::chmod(dir.path().toLocal8Bit().constData(), 0777);
    EXPECT_EXIT(
        RunWriteInChild(BecomeUnprivileged, [&] { TIniFile(file).WriteString("Settings", "Verbose", "Y"); }),
        ::testing::ExitedWithCode(0), "TIniFile: cannot read file \\[.*test.ini\\] before writing it");
    EXPECT_EQ(ReadAll(file), original);
}

TEST_F(IniFileTest, WriteInAMissingFolderRaises) {
    TIniFile ini(Path("missing/test.ini"));
    EXPECT_THROW(ini.WriteString("Settings", "Key", "1"), Exception);
}

TEST_F(IniFileTest, SectionAndKeyNamesIgnoreCase) {
    TIniFile ini(file);
    ini.WriteString("Settings", "ServerPort", "4402");
    EXPECT_EQ(ini.ReadString("SETTINGS", "serverport", ""), "4402");
    ini.WriteString("settings", "SERVERPORT", "5000");
    EXPECT_EQ(ini.ReadSection("Settings"), std::vector<std::string>{"SERVERPORT"});
    EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"Settings"});
    EXPECT_TRUE(ini.ValueExists("SeTTings", "ServerPORT"));
    EXPECT_TRUE(ini.SectionExists("SETTINGS"));
}

TEST_F(IniFileTest, IntegersAreDecimalOrHexadecimal) {
    struct Case {
        const char* stored;
        int expected;
    };
    const Case cases[] = {
        {"42", 42},          {"-7", -7},
        {"+5", 5},           {" 12 ", 12},
        {"0x1F", 31},        {"0X10", 16},
        {"0xFFFFFFFF", -1},  {"2147483647", INT_MAX},
        {"12abc", 99},       {"", 99},
        {"abc", 99},         {"0x", 99},
        {"0x1G", 99},        {"99999999999", 99},
        {"0x100000000", 99}, {"1.5", 99},
        {"- 1", 99},
    };
    TIniFile ini(file);
    for (const Case& c : cases) {
        WriteAll(file, std::string("[S]\nN=") + c.stored + "\n");
        EXPECT_EQ(ini.ReadInteger("S", "N", 99), c.expected) << "stored: '" << c.stored << "'";
    }
    EXPECT_EQ(ini.ReadInteger("S", "Missing", 99), 99);
    EXPECT_EQ(ini.ReadInteger("Missing", "N", 99), 99);
    ini.WriteInteger("S", "N", -12);
    EXPECT_EQ(ini.ReadString("S", "N", ""), "-12");
}

TEST_F(IniFileTest, BooleansAreIntegers) {
    TIniFile ini(file);
    ini.WriteBool("S", "On", true);
    ini.WriteBool("S", "Off", false);
    EXPECT_EQ(ini.ReadString("S", "On", ""), "1");
    EXPECT_EQ(ini.ReadString("S", "Off", ""), "0");
    EXPECT_TRUE(ini.ReadBool("S", "On", false));
    EXPECT_FALSE(ini.ReadBool("S", "Off", true));
    ini.WriteString("S", "Text", "Y");
    EXPECT_TRUE(ini.ReadBool("S", "Text", true)) << "a non-number gives the default";
    EXPECT_FALSE(ini.ReadBool("S", "Text", false));
    ini.WriteString("S", "Two", "2");
    EXPECT_TRUE(ini.ReadBool("S", "Two", false));
}

TEST_F(IniFileTest, StringsAreTrimmedAndMissingOnesGiveTheDefault) {
    WriteAll(file, "Mar-07 14:05:09: \n[S]\n  Name  =  two words  \nEmpty=\nEq=a=b\n");
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadString("S", "Name", "def"), "two words");
    EXPECT_EQ(ini.ReadString("S", "Empty", "def"), "") << "an empty value is a value";
    EXPECT_EQ(ini.ReadString("S", "Eq", "def"), "a=b");
    EXPECT_EQ(ini.ReadString("S", "Missing", "def"), "def");
    EXPECT_EQ(ini.ReadString("Other", "Name", "def"), "def");
    EXPECT_EQ(TIniFile(Path("nofile.ini")).ReadString("S", "Name", "def"), "def");
}

TEST_F(IniFileTest, RewritePreservesOrderCommentsAndUnknownLines) {
    WriteAll(file, "Mar-07 14:05:09: \n"
                   "; settings of the server\n"
                   "[Settings]\n"
                   "Logfilename=/tmp/log.txt\n"
                   "ServerPort = 4402\n"
                   "some unknown line\n"
                   "\n"
                   "; the first session\n"
                   "[Session01]\n"
                   "DSN=Stock\n");
    TIniFile ini(file);
    ini.WriteString("Settings", "serverport", "5000");
    ini.WriteString("Settings", "Verbose", "Y");
    ini.WriteString("Session01", "Table", "Items");
    ini.WriteString("ApplicationState", "LastDataViewSessionNumber", "0");
    EXPECT_EQ(ReadAll(file), "Mar-07 14:05:09: \r\n"
                             "; settings of the server\r\n"
                             "[Settings]\r\n"
                             "Logfilename=/tmp/log.txt\r\n"
                             "serverport=5000\r\n"
                             "some unknown line\r\n"
                             "Verbose=Y\r\n"
                             "\r\n"
                             "; the first session\r\n"
                             "[Session01]\r\n"
                             "DSN=Stock\r\n"
                             "Table=Items\r\n"
                             "[ApplicationState]\r\n"
                             "LastDataViewSessionNumber=0\r\n");
}

TEST_F(IniFileTest, EraseSectionAndDeleteKey) {
    WriteAll(file, "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n[a]\r\nw=4\r\n");
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadSection("A"), (std::vector<std::string>{"x", "y", "w"}));
    ini.DeleteKey("A", "X");
    EXPECT_EQ(ini.ReadSection("A"), (std::vector<std::string>{"y", "w"}));
    ini.EraseSection("a");
    EXPECT_FALSE(ini.SectionExists("A"));
    EXPECT_EQ(ReadAll(file), "[B]\r\nz=3\r\n");

    const std::string absent = Path("absent.ini");
    TIniFile(absent).EraseSection("B");
    TIniFile(absent).DeleteKey("B", "z");
    EXPECT_FALSE(std::filesystem::exists(absent)) << "deleting from no file creates none";
}

// Names in the file read trimmed; a padded name given by the caller once
// wrote a key that no read could find again.
TEST_F(IniFileTest, PaddedNamesFindWhatTheyWrite) {
    WriteAll(file, "[ S ]\r\n k = v \r\n");
    TIniFile ini(file);
    ini.WriteString(" S ", " k ", "w");
    ini.WriteString("\tNew ", " n", "1");
    EXPECT_EQ(ini.ReadString(" S ", " k ", "def"), "w");
    EXPECT_EQ(ini.ReadString("S", "k", "def"), "w");
    EXPECT_EQ(ini.ReadInteger("New", "n ", 0), 1);
    EXPECT_TRUE(ini.ValueExists(" new", "N"));
    EXPECT_EQ(ini.ReadSection(" S"), std::vector<std::string>{"k"});
    EXPECT_EQ(ReadAll(file), "[ S ]\r\nk=w\r\n[New]\r\nn=1\r\n");
    ini.DeleteKey("S ", " K");
    EXPECT_FALSE(ini.ValueExists("S", "k"));
    ini.EraseSection(" new ");
    EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"S"});
}

TEST_F(IniFileTest, NamesAndValuesThatWouldBreakTheFileAreRefused) {
    const std::string original = "[S]\r\nk=v\r\n";
    WriteAll(file, original);
    TIniFile ini(file);
    EXPECT_THROW(ini.WriteString("S", "k", "line\r\n[Session01]"), Exception);
    EXPECT_THROW(ini.WriteString("S", "a=b", "v"), Exception);
    EXPECT_THROW(ini.WriteString("S", "", "v"), Exception);
    EXPECT_THROW(ini.WriteString("S]", "k", "v"), Exception);
    EXPECT_EQ(ReadAll(file), original);
}

// Counts the replaces of one file: the renames that land on its name.
class ReplaceCounter {
public:
    ReplaceCounter(const std::string& folder, std::string name)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_name(std::move(name)) {
        ::inotify_add_watch(m_fd, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~ReplaceCounter() { ::close(m_fd); }
    int Count() {
        alignas(inotify_event) char buffer[8192];
        for (ssize_t length; (length = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if ((event->mask & IN_MOVED_TO) && event->len > 0 && m_name == event->name)
                    ++m_count;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return m_count;
    }

private:
    int m_fd;
    std::string m_name;
    int m_count = 0;
};

TEST_F(IniFileTest, BatchWritesEveryKeyWithOneReplaceOfTheFile) {
    WriteAll(file, "[A]\r\nOld=1\r\n\r\n[B]\r\nKeep=x\r\n");
    ReplaceCounter replaces(dir.path().toStdString(), "test.ini");
    TIniFile ini(file);
    TIniFile::TBatch batch;
    batch.WriteString("A", "Old", "2");
    batch.WriteString("A", "New", "n");  // a line inserted before [B]...
    batch.WriteInteger("B", "Count", 7); // ...must not send this one into [A]
    for (int i = 0; i < 50; ++i)
        batch.WriteString("C", "Key" + std::to_string(i), std::to_string(i));
    batch.WriteBool("c", "Flag", true);
    batch.WriteString("A", "new", "last wins");
    ini.WriteBatch(batch);
    EXPECT_EQ(replaces.Count(), 1);
    std::string expected = "[A]\r\nOld=2\r\nnew=last wins\r\n\r\n[B]\r\nKeep=x\r\nCount=7\r\n[C]\r\n";
    for (int i = 0; i < 50; ++i)
        expected += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    expected += "Flag=1\r\n";
    EXPECT_EQ(ReadAll(file), expected);

    ini.WriteBatch(batch); // nothing changes: no rewrite at all
    EXPECT_EQ(replaces.Count(), 1);
}

TEST_F(IniFileTest, FailingBatchLeavesTheOldFileWhole) {
    const std::string original = "[Session01]\r\nDSN=Stock\r\n";
    WriteAll(file, original);
    const ino_t before = InodeOf(file);
    TIniFile::TBatch refused;
    refused.WriteString("Session01", "DSN", "Other");
    refused.WriteString("Session01", "Bad", "line\r\nbreak");
    EXPECT_THROW(TIniFile(file).WriteBatch(refused), Exception);
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(InodeOf(file), before);

    TIniFile::TBatch large;
    large.WriteString("Session01", "DSN", "Other");
    large.WriteString("Session01", "Filter", std::string(1000, 'x'));
    EXPECT_EXIT(RunWriteInChild(LimitFileSize, [&] { TIniFile(file).WriteBatch(large); }),
                ::testing::ExitedWithCode(0), "TIniFile: cannot write file");
    EXPECT_EQ(ReadAll(file), original);
    EXPECT_EQ(FolderEntries(dir.path().toStdString()), std::vector<std::string>{"test.ini"});
}

} // namespace

namespace {

// The whole file at once reads as the single reads do: names compare
// without case, a repeated section reads as one, the first key of a name wins.
TEST_F(IniFileTest, ReadAllMatchesSingleReadsAndReplaceAllKeepsTheMode) {
    WriteAll(file, "stray\r\n[One]\r\na=1\r\n;c=0\r\n[two]\r\nB = 2\r\n[ONE]\r\nA=9\r\nc=3\r\n");
    const std::vector<TIniFile::TSection> sections = TIniFile(file).ReadAll();
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].name, "One");
    EXPECT_EQ(sections[0].values, (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"c", "3"}}));
    EXPECT_EQ(sections[1].values, (std::vector<std::pair<std::string, std::string>>{{"B", "2"}}));

    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    TIniFile ini(file);
    ini.ReplaceAll({{"New", {{"k", "v"}}}});
    EXPECT_EQ(ReadAll(file), "[New]\r\nk=v\r\n");
    EXPECT_EQ(ini.ReadString("new", "K", ""), "v");
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_THROW(ini.ReplaceAll({{"Bad]", {}}}), Exception);
    EXPECT_THROW(ini.ReplaceAll({{"Ok", {{"k", "line\nbreak"}}}}), Exception);
    EXPECT_EQ(ReadAll(file), "[New]\r\nk=v\r\n") << "a refused replace leaves the file alone";
}

} // namespace
