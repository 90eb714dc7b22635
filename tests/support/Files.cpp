#include "support/Files.h"

#include <fstream>
#include <sstream>

std::string ReadAll(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const std::string& fileName, const std::string& content) {
    std::ofstream(fileName, std::ios::binary) << content;
}

int CountText(const std::string& fileName, const std::string& text) {
    const std::string content = ReadAll(fileName);
    int count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
        ++count;
    return count;
}
