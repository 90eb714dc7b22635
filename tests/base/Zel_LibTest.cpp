#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/UserRegistry.h"
#include "base/Zel_Lib.h"

namespace {

std::string Bytes(std::initializer_list<char> bytes) {
    return std::string(bytes);
}

TEST(FieldCodec, ReadsUpToTheFirstNulAndAlwaysAdvancesByTheWidth) {
    const std::string buffer = Bytes({'A', 'B', '\0', 'C', 'D'});
    EXPECT_EQ(GetFieldStr(buffer.data(), 0, 5), "AB");
    int position = 0;
    EXPECT_EQ(ReadFieldStr(buffer.data(), position, 5), "AB");
    EXPECT_EQ(position, 5);
    EXPECT_EQ(GetFieldStr("     ", 0, 5), "     ");
    EXPECT_EQ(GetFieldStr(std::string(5, '\0').data(), 0, 5), "");
}

TEST(FieldCodec, IntegerFieldsTakeOnlyWholeSignedNumbers) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"   12", 12},
        {"12   ", 0},
        {"00042", 42},
        {"-0005", -5},
        {"+7", 7},
        {"", 0},
        {"abc", 0},
        {"1x", 0},
        {"-", 0},
        {"99999999999", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", 0},
        {"  -12", -12},
        {"- 1", 0},
        {"000000000000000000007", 7},
    };
    for (const Case& c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(TextToInt(text), c.value) << "[" << text << "]";
    }
    EXPECT_EQ(GetFieldInt(std::string(5, '\0').data(), 0, 5), 0);
    EXPECT_EQ(GetFieldInt(Bytes({'1', '2', '\0', '9', '9'}).data(), 0, 5), 12);
    EXPECT_EQ(GetFieldInt("123456", 1, 3), 234);
    int position = 3;
    EXPECT_EQ(ReadFieldInt("xxx00042", position, 5), 42);
    EXPECT_EQ(position, 8);
}

TEST(FieldCodec, WritersPadWithNulAndCutToTheWidth) {
    char buffer[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    PutFieldStr(buffer, 0, 5, "AB");
    EXPECT_EQ(std::string(buffer, 6), Bytes({'A', 'B', '\0', '\0', '\0', 'x'}));
    PutFieldStr(buffer, 0, 5, "ABCDEFG");
    EXPECT_EQ(std::string(buffer, 6), "ABCDEx");
    PutFieldInt(buffer, 0, 5, 123456);
    EXPECT_EQ(std::string(buffer, 6), "12345x");
    PutFieldInt(buffer, 0, 5, 42);
    EXPECT_EQ(std::string(buffer, 6), "00042x");
}

TEST(FieldCodec, ZeroPadPutsZerosInFrontOfTheSignAndNeverCuts) {
    EXPECT_EQ(ZeroPadInt(42, 5), "00042");
    EXPECT_EQ(ZeroPadInt(123456, 5), "123456");
    EXPECT_EQ(ZeroPadInt(-5, 4), "00-5");
    EXPECT_EQ(ZeroPadInt(0, 0), "0");
}

TEST(TextHelpers, PrintableTextKeepsOneCharacterPerByte) {
    const std::string bytes = Bytes({'\0', 'A', '\n', '\x7f', '\xe9'});
    EXPECT_EQ(PrintableText(bytes.data(), 5), "*A...");
    EXPECT_EQ(PrintableText(bytes.data(), 0), "");
}

TEST(TextHelpers, BooleansAreCaseSensitive) {
    for (const char* yes : {"Y", "1", "True", "TRUE"})
        EXPECT_TRUE(TextToBool(yes)) << yes;
    for (const char* no : {"y", "true", "N", "", "0", "yes", " Y"})
        EXPECT_FALSE(TextToBool(no)) << no;
    EXPECT_EQ(BoolToYN(true), "Y");
    EXPECT_EQ(BoolToYN(false), "N");
}

class EDemoError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EDemoError"; }
};

TEST(TextHelpers, ExceptionTextNamesEveryClassButThePlainOne) {
    EXPECT_EQ(ExceptionText(Exception("plain")), "plain");
    EXPECT_EQ(ExceptionText(EDemoError("typed")), "EDemoError: typed");
    EXPECT_EQ(ExceptionText(std::runtime_error("std")), "std::runtime_error: std");
    EXPECT_EQ(ExceptionText(), "no exception");
    try {
        throw EDemoError("inside");
    } catch (...) {
        EXPECT_EQ(ExceptionText(), "EDemoError: inside");
    }
}

TEST(TextHelpers, AddTrailingSlash) {
    EXPECT_EQ(AddTrailingSlash(""), "");
    EXPECT_EQ(AddTrailingSlash("/tmp/"), "/tmp/");
    EXPECT_EQ(AddTrailingSlash("C:\\Data\\"), "C:\\Data\\");
    EXPECT_EQ(AddTrailingSlash("C:\\Data"), "C:\\Data\\");
}

QByteArray ReadAll(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(AppendToFile, WritesCrLfLinesWithAnOptionalStamp) {
    QTemporaryDir dir;
    const std::string name = dir.filePath(QStringLiteral("log.txt")).toStdString();
    AppendToFile(name, "plain", false);
    AppendToFile(name, "", true);
    AppendToFile("", "ignored", false);
    const QByteArray text = ReadAll(QString::fromStdString(name));
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "plain\r");
    // "Mmm-dd hh:nn:ss: " and nothing else.
    EXPECT_TRUE(QString::fromLatin1(lines[1]).contains(
        QRegularExpression(QStringLiteral("^[A-Z][a-z]{2}-\\d\\d \\d\\d:\\d\\d:\\d\\d: \\r$"))))
        << lines[1].toStdString();
}

TEST(AppendToFile, ReportsAFailingFileOnceUntilItWorksAgain) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("missing"));
    const std::string name = (folder + QStringLiteral("/log.txt")).toStdString();
    std::vector<std::string> shown;
    Platform::SetMessageHook([&](const std::string& text) {
        shown.push_back(text);
        // A message box runs a nested loop in which more lines are logged.
        AppendToFile(name, "nested", true);
    });
    for (int i = 0; i < 3; ++i)
        AppendToFile(name, "line", true);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("AppendToFile: Error: " + name + ": ", 0), 0u) << shown[0];

    QDir().mkpath(folder);
    AppendToFile(name, "works", false);
    QDir(folder).removeRecursively();
    AppendToFile(name, "fails again", false);
    EXPECT_EQ(shown.size(), 2u);
    Platform::SetMessageHook(nullptr);
}

TEST(PlatformHelpers, InstanceNameAndVersionComeFromTheExecutable) {
    const std::string path = Platform::ExecutablePath();
    ASSERT_FALSE(path.empty());
    std::string expected = path;
    for (char& c : expected)
        if (c == '/')
            c = ';';
    EXPECT_EQ(GetInstanceMutexName(), expected);
    // A configuration file of the command line is part of the name, by its canonical path.
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QDir().mkpath(QString::fromStdString(folder + "/sub"));
    AppendToFile(folder + "/a.ini", "", false);
    std::filesystem::create_symlink(folder + "/a.ini", folder + "/link.ini");
    std::string withConfig = path + "|" + std::filesystem::canonical(folder).string() + "/a.ini";
    for (char& c : withConfig)
        if (c == '/')
            c = ';';
    EXPECT_EQ(GetInstanceMutexName(folder + "/a.ini"), withConfig);
    EXPECT_EQ(GetInstanceMutexName(folder + "/sub/../a.ini"), withConfig);
    EXPECT_EQ(GetInstanceMutexName(folder + "/link.ini"), withConfig);
    EXPECT_NE(GetInstanceMutexName(folder + "/b.ini"), withConfig);
    EXPECT_EQ(GetVersionInfoString(""), ZEL_VERSION_STRING);
    EXPECT_EQ(GetVersionInfoString("FileVersion"), ZEL_VERSION_STRING);
    const std::string version = GetVersionInfoString();
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
    EXPECT_EQ(GetVersionInfoString("NoSuchValue"), "");
}

TEST(PlatformHelpers, UserStoreAndAutostartEntry) {
    QTemporaryDir dir;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    const std::string run = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

    EXPECT_EQ(ReadUserRegString("\\Software\\Zel", "Missing"), "");
    WriteUserRegString("\\Software\\Zel", "Value", "text");
    EXPECT_EQ(ReadUserRegString("\\Software\\Zel", "Value"), "text");

    EXPECT_EQ(ReadUserRegString(run, "Zel Wireless Server"), "");
    WriteUserRegString(run, "Zel Wireless Server", "/opt/zel/ZelWireless");
    const QString entry = dir.filePath(QStringLiteral("autostart/zel-wireless-server.desktop"));
    EXPECT_TRUE(ReadAll(entry).contains("Exec=/opt/zel/ZelWireless"));
    EXPECT_EQ(ReadUserRegString(run, "Zel Wireless Server"), "/opt/zel/ZelWireless");
    // Removing the desktop entry by hand turns autostart off as far as we can tell.
    QFile::remove(entry);
    EXPECT_EQ(ReadUserRegString(run, "Zel Wireless Server"), "");
    WriteUserRegString(run, "Zel Wireless Server", "");
    EXPECT_FALSE(QFile::exists(entry));

    if (saved.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", saved);
}

} // namespace
