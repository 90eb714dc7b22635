#include "protocol/WirelessEncoding.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace {

std::mt19937& Generator() {
    static std::mt19937 generator(
        static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    return generator;
}

// XORs runs of bytes against contiguous stretches of the key, so that the
// loop has no division per byte and the compiler can vectorise it.
void Scramble(const std::vector<uint8_t>& key, int32_t keyLength, int32_t& pos, char* buffer, int count) {
    int32_t at = pos >= 0 && pos < keyLength ? pos : ((pos % keyLength) + keyLength) % keyLength;
    while (count > 0) {
        const int run = std::min(count, keyLength - at);
        const uint8_t* stretch = key.data() + at;
        for (int i = 0; i < run; ++i)
            buffer[i] = static_cast<char>(static_cast<uint8_t>(buffer[i]) ^ stretch[i]);
        buffer += run;
        count -= run;
        at += run;
        if (at == keyLength)
            at = 0;
    }
    pos = at;
}

} // namespace

void TZelWirelessEncoder::SeedGenerator(uint32_t seed) {
    Generator().seed(seed);
}

void TZelWirelessEncoder::SetKeyLength(int n) {
    Key.clear();
    if (n > 0) {
        Key.assign(static_cast<size_t>(n), 0);
        KeyLength = n;
    } else {
        KeyLength = 0;
    }
}

void TZelWirelessEncoder::GenerateKey() {
    std::uniform_int_distribution<int> draw(0, 253);
    for (auto& byte : Key)
        byte = static_cast<uint8_t>(draw(Generator()) + 1);
}

void TZelWirelessEncoder::EncodeSend(char* buffer, int count) {
    if (buffer && count > 0 && KeyLength > 0 && Enabled)
        Scramble(Key, KeyLength, SendPos, buffer, count);
}

void TZelWirelessEncoder::DecodeRecv(char* buffer, int count) {
    if (buffer && count > 0 && KeyLength > 0 && Enabled)
        Scramble(Key, KeyLength, RecvPos, buffer, count);
}

std::string TZelWirelessEncoder::Describe() const {
    std::string text = "KeyLength[" + std::to_string(KeyLength) + "]";
    if (KeyLength > 0) {
        text += " HexData[";
        for (int i = 0; i < KeyLength; ++i) {
            if ((i + 1) % 10 == 9)
                text += "-";
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", Key[static_cast<size_t>(i)]);
            text += hex;
        }
        text += "]";
    }
    return text;
}
