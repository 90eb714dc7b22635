#include "base/Zel_Lib.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <filesystem>
#include <memory>
#include <set>
#include <typeinfo>

#include "base/Exception.h"
#include "base/Platform.h"
#include "base/Zel_EventLogger.h"

std::string GetFieldStr(const char* buffer, int index, int width) {
    const char* field = buffer + index;
    const void* nul = std::memchr(field, '\0', static_cast<size_t>(width));
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : static_cast<size_t>(width);
    return std::string(field, length);
}

namespace {

// TryTextToInt over bytes that need not end in a NUL: leading blanks, an
// optional sign, then digits only; false for anything else or a value
// outside the 32-bit range.
bool TryBytesToInt(const char* text, size_t length, int& value) {
    size_t i = 0;
    while (i < length && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    if (i >= length)
        return false;
    long long magnitude = 0;
    for (; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    const long long parsed = negative ? -magnitude : magnitude;
    if (parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

} // namespace

int GetFieldInt(const char* buffer, int index, int width) {
    const char* field = buffer + index;
    const void* nul = std::memchr(field, '\0', static_cast<size_t>(width));
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : static_cast<size_t>(width);
    int value = 0;
    return TryBytesToInt(field, length, value) ? value : 0;
}

std::string ReadFieldStr(const char* buffer, int& position, int width) {
    std::string text = GetFieldStr(buffer, position, width);
    position += width;
    return text;
}

int ReadFieldInt(const char* buffer, int& position, int width) {
    const int value = GetFieldInt(buffer, position, width);
    position += width;
    return value;
}

void PutFieldStr(char* buffer, int index, int width, const std::string& text) {
    const size_t copied = std::min(text.size(), static_cast<size_t>(width));
    std::memcpy(buffer + index, text.data(), copied);
    std::memset(buffer + index + copied, 0, static_cast<size_t>(width) - copied);
}

void PutFieldInt(char* buffer, int index, int width, int number) {
    PutFieldStr(buffer, index, width, ZeroPadInt(number, width));
}

std::string ZeroPadInt(int number, int width) {
    std::string text = std::to_string(number);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<size_t>(width) - text.size(), '0');
    return text;
}

bool TryTextToInt(const std::string& text, int& value) {
    return TryBytesToInt(text.data(), text.size(), value);
}

int TextToInt(const std::string& text) {
    int value = 0;
    return TryTextToInt(text, value) ? value : 0;
}

std::string PrintableText(const char* buffer, int count) {
    std::string text(static_cast<size_t>(std::max(count, 0)), '.');
    for (int i = 0; i < count; ++i) {
        const unsigned char byte = static_cast<unsigned char>(buffer[i]);
        if (byte == 0)
            text[static_cast<size_t>(i)] = '*';
        else if (byte >= 32 && byte <= 126)
            text[static_cast<size_t>(i)] = static_cast<char>(byte);
    }
    return text;
}

bool TextToBool(const std::string& text) {
    return text == "Y" || text == "1" || text == "True" || text == "TRUE";
}

std::string BoolToYN(bool flag) {
    return flag ? "Y" : "N";
}

std::string ExceptionClassName(const std::exception& e) {
    if (const auto* own = dynamic_cast<const Exception*>(&e))
        return own->ClassName();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(typeid(e).name());
}

std::string ExceptionText(const std::exception& e) {
    const std::string className = ExceptionClassName(e);
    if (className == "Exception")
        return e.what();
    return className + ": " + e.what();
}

std::string ExceptionText() {
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return "no exception";
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return ExceptionText(e);
    } catch (...) {
        return "unknown exception";
    }
}

std::string AddTrailingSlash(const std::string& path) {
    if (path.empty() || path.back() == '/' || path.back() == '\\')
        return path;
    return path + "\\";
}

// English month names in every locale: log readers and tools parse these
// lines, and some locales' abbreviations are longer than three letters.
std::string FormatLogTime(const QDateTime& time) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int month = time.date().month();
    if (month < 1 || month > 12)
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%s-%02d %02d:%02d:%02d", months[month - 1], time.date().day(),
                  time.time().hour(), time.time().minute(), time.time().second());
    return text;
}

std::string FormatLogTimeNow() {
    return FormatLogTime(LogEventTime());
}

namespace {

// Files whose failure has been shown and not yet cleared by a good append.
std::set<std::string>& FailedAppendFiles() {
    static std::set<std::string> files;
    return files;
}

} // namespace

void AppendToFile(const std::string& fileName, const std::string& text, bool withTimestamp) {
    if (fileName.empty())
        return;
    static bool reporting = false;
    std::string line = withTimestamp ? FormatLogTimeNow() + ": " + text : text;
    line += "\r\n";
    QFile file(QString::fromLocal8Bit(fileName.c_str()));
    const bool written =
        file.open(QIODevice::WriteOnly | QIODevice::Append) &&
        file.write(line.data(), static_cast<qint64>(line.size())) == static_cast<qint64>(line.size()) &&
        file.flush();
    if (written) {
        FailedAppendFiles().erase(fileName);
        return;
    }
    // One message per failing file until it works again, and never from inside
    // the message itself: a modal box runs a nested loop that logs more lines.
    if (reporting || !FailedAppendFiles().insert(fileName).second)
        return;
    reporting = true;
    Platform::ShowMessage("AppendToFile: Error: " + fileName + ": " + file.errorString().toStdString());
    reporting = false;
}

std::string GetVersionInfoString(const std::string& valueName) {
    if (valueName.empty() || valueName == "FileVersion" || valueName == "ProductVersion")
        return ZEL_VERSION_STRING;
    return {};
}

std::string GetInstanceMutexName(const std::string& configFile) {
    std::string name = Platform::ExecutablePath();
    if (!configFile.empty()) {
        // Two names of one file (relative, through a link) are one instance.
        std::error_code error;
        const auto absolute = std::filesystem::absolute(configFile, error);
        const auto canonical = std::filesystem::weakly_canonical(absolute, error);
        name += "|" + (error ? absolute.lexically_normal() : canonical).string();
    }
    for (char& c : name)
        if (c == '/')
            c = ';';
    return name;
}
