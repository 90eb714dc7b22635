#include "base/Zel_EventLogger.h"

#include "base/Exception.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace {

// The one instance; created by GetLogger and never freed.
TZelLogger* g_Logger = nullptr;

// The innermost capture of this thread, if any.
thread_local TZelLogCapture* t_capture = nullptr;
// While TZelLogCapture::Write writes a line: when it was logged; else -1.
thread_local int64_t t_lineTime = -1;

// "Log.txt" -> "Log-old.txt", "log" -> "log-old"; empty when the name has no file part.
std::string OldLogName(const std::string& fileName) {
    const std::filesystem::path path(fileName);
    if (!path.has_filename())
        return {};
    const std::string stem = path.stem().string();
    const std::string extension = path.extension().string();
    return fileName.substr(0, fileName.size() - path.filename().string().size()) + stem + "-old" + extension;
}

} // namespace

TZelLogger::TZelLogger() {
    if (g_Logger)
        throw Exception("TZelLogger.Create: invoked from non-singleton interface!");
}

// Database workers log too: the first call may come from any thread.
TZelLogger* GetLogger() {
    static std::once_flag created;
    std::call_once(created, [] { g_Logger = new TZelLogger(); });
    return g_Logger;
}

void TZelLogger::SetSinks(Sink onMessage, Sink onError) {
    const std::lock_guard lock(SinkLock);
    OnLogMessage = std::move(onMessage);
    OnLogError = std::move(onError);
}

void SetVerbose(bool verbose) {
    GetLogger()->Verbose = verbose;
}

bool GetVerbose() {
    return GetLogger()->Verbose;
}

bool TZelLogCapture::Keep(TKind kind, const std::string& text) {
    if (!t_capture)
        return false;
    t_capture->m_lines.push_back({kind, text, QDateTime::currentMSecsSinceEpoch()});
    return true;
}

TZelLogCapture::TZelLogCapture() : m_outer(t_capture) {
    t_capture = this;
}

TZelLogCapture::~TZelLogCapture() {
    t_capture = m_outer;
}

std::vector<TZelLogCapture::TLine> TZelLogCapture::Take() {
    return std::exchange(m_lines, {});
}

void TZelLogCapture::Write(const std::vector<TLine>& lines) {
    struct TRestore {
        ~TRestore() { t_lineTime = -1; }
    } restore;
    for (const TLine& line : lines) {
        t_lineTime = line.MSecsSinceEpoch;
        switch (line.Kind) {
        case TKind::Info:
            LogInfo(line.Text);
            break;
        case TKind::Error:
            LogError(line.Text);
            break;
        case TKind::Verbose:
            LogVerbose(line.Text);
            break;
        }
    }
}

QDateTime LogEventTime() {
    return t_lineTime < 0 ? QDateTime::currentDateTime()
                          : QDateTime::fromMSecsSinceEpoch(t_lineTime, Qt::LocalTime);
}

void LogInfo(const std::string& text) {
    if (TZelLogCapture::Keep(TZelLogCapture::TKind::Info, text))
        return;
    TZelLogger* logger = GetLogger();
    const std::lock_guard lock(logger->SinkLock);
    if (logger->OnLogMessage)
        logger->OnLogMessage(text);
}

void LogError(const std::string& text) {
    if (TZelLogCapture::Keep(TZelLogCapture::TKind::Error, text))
        return;
    TZelLogger* logger = GetLogger();
    const std::lock_guard lock(logger->SinkLock);
    if (logger->OnLogError)
        logger->OnLogError(text);
}

void LogVerbose(const std::string& text) {
    if (TZelLogCapture::Keep(TZelLogCapture::TKind::Verbose, text))
        return;
    TZelLogger* logger = GetLogger();
    const std::lock_guard lock(logger->SinkLock);
    if (logger->OnLogMessage)
        logger->OnLogMessage(" -- " + text);
}

// Keeps one generation: the current log becomes the "-old" file. Each step
// ignores its own failure, so the current log is gone even when the rename fails.
void ResetLogFile(const std::string& fileName) {
    if (fileName.empty())
        return;
    const std::string oldName = OldLogName(fileName);
    if (oldName.empty() || oldName == fileName)
        return;
    ::unlink(oldName.c_str());
    std::rename(fileName.c_str(), oldName.c_str());
    ::unlink(fileName.c_str());
}
