#pragma once

#include <string>

// Whole-file reads and writes for test fixtures (binary, no line-ending changes).
std::string ReadAll(const std::string& fileName);
void WriteAll(const std::string& fileName, const std::string& content);
