#pragma once

#include <string>

// Whole-file reads and writes for test fixtures (binary, no line-ending changes).
std::string ReadAll(const std::string& fileName);
void WriteAll(const std::string& fileName, const std::string& content);
// Occurrences of text in the file (0 when there is no file).
int CountText(const std::string& fileName, const std::string& text);
