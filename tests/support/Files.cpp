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
