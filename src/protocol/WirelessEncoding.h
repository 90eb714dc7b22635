#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Per-connection scrambler: XORs every byte with a rolling key. The send and
// receive positions are independent and run on across frames for the whole
// connection. Works in place and allocates nothing.
class TZelWirelessEncoder {
public:
    std::vector<uint8_t> Key;
    int32_t KeyLength = 0;
    int32_t SendPos = 0;
    int32_t RecvPos = 0;
    bool Enabled = false;

    void SetKeyLength(int n);
    void GenerateKey();
    void SetEnabled(bool flag) { Enabled = flag; }
    void EncodeSend(char* buffer, int count);
    void DecodeRecv(char* buffer, int count);
    std::string Describe() const;

    // Seeds the key generator; called once at program start (tests may reseed).
    static void SeedGenerator(uint32_t seed);
};
