#pragma once

#include <QDateTime>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The process-wide logger: a verbose switch and two sinks. It formats and
// writes nothing itself.
class TZelLogger {
public:
    using Sink = std::function<void(const std::string&)>;

    // Raises "TZelLogger.Create: invoked from non-singleton interface!" when
    // an instance exists already; use GetLogger.
    TZelLogger();

    // Read by the database workers while the window may switch it.
    std::atomic<bool> Verbose = false;
    // Any thread may log: the sinks are called, and assigned, under SinkLock,
    // one line at a time. A sink may log itself (the lock is recursive).
    Sink OnLogError;
    Sink OnLogMessage;
    std::recursive_mutex SinkLock;
    // Assigns both sinks under the lock.
    void SetSinks(Sink onMessage, Sink onError);
};

TZelLogger* GetLogger();
void SetVerbose(bool verbose);
bool GetVerbose();
void LogInfo(const std::string& text);
void LogError(const std::string& text);
void LogVerbose(const std::string& text); // " -- " + text, whatever Verbose says
void ResetLogFile(const std::string& fileName);
// The time a sink puts on the line it writes: when the line was logged, for
// a line kept by a capture and written later; else now.
QDateTime LogEventTime();

// Lines logged on the constructing thread while the capture lives are kept
// instead of written, so that work done on another thread can have its lines
// written later by the thread that owns the sinks, in their order and next to
// the lines around them.
class TZelLogCapture {
public:
    enum class TKind { Info, Error, Verbose };
    struct TLine {
        TKind Kind;
        std::string Text;
        int64_t MSecsSinceEpoch = 0; // when it was logged
    };

    TZelLogCapture();
    ~TZelLogCapture();
    TZelLogCapture(const TZelLogCapture&) = delete;
    TZelLogCapture& operator=(const TZelLogCapture&) = delete;

    // The lines kept so far; the capture is then empty.
    std::vector<TLine> Take();
    // Writes lines through the logger as they were first logged, with the
    // time they were logged.
    static void Write(const std::vector<TLine>& lines);

    // Keeps the line in this thread's innermost capture; false without one.
    static bool Keep(TKind kind, const std::string& text);

private:
    std::vector<TLine> m_lines;
    TZelLogCapture* m_outer;
};
