#pragma once

#include <exception>
#include <string>

class QDateTime;

// Fixed-width field codec. Buffers are never grown; the caller guarantees
// that index + width lies inside the buffer.
std::string GetFieldStr(const char* buffer, int index, int width);
int GetFieldInt(const char* buffer, int index, int width);
std::string ReadFieldStr(const char* buffer, int& position, int width);
int ReadFieldInt(const char* buffer, int& position, int width);
void PutFieldStr(char* buffer, int index, int width, const std::string& text);
void PutFieldInt(char* buffer, int index, int width, int number);
std::string ZeroPadInt(int number, int width);

// Signed decimal text (leading blanks skipped) to a 32-bit integer; 0 for
// anything else, including trailing blanks and values out of range.
int TextToInt(const std::string& text);
// Like TextToInt, but reports whether the text was a number at all.
bool TryTextToInt(const std::string& text, int& value);

std::string PrintableText(const char* buffer, int count);
bool TextToBool(const std::string& text);
std::string BoolToYN(bool flag);

// Class name of a failure: ClassName() of our Exception hierarchy, the
// demangled type name of any other std::exception.
std::string ExceptionClassName(const std::exception& e);
// Message preceded by "<class>: " unless the class is the plain Exception.
std::string ExceptionText(const std::exception& e);
// ExceptionText of the failure being handled, or "no exception".
std::string ExceptionText();

std::string AddTrailingSlash(const std::string& path);

// "mmm-dd hh:nn:ss" with the English abbreviated month name ("Dec"), whatever the locale.
std::string FormatLogTime(const QDateTime& time);
// The time of the line being logged (LogEventTime): now, or when a line
// written later on another thread was logged.
std::string FormatLogTimeNow();

void AppendToFile(const std::string& fileName, const std::string& text, bool withTimestamp);

std::string GetVersionInfoString(const std::string& valueName = std::string());
// The executable's full path with every "/" replaced by ";"; with a
// configuration file of the command line, followed by "|" and that file's
// canonical path (so copies on different files run side by side).
std::string GetInstanceMutexName(const std::string& configFile = std::string());
