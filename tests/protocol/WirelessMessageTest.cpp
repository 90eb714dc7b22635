#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/Exception.h"
#include "protocol/WirelessEncoding.h"
#include "protocol/WirelessMessage.h"

namespace {

std::string PayloadOf(const TZelWirelessMessage& msg) {
    return std::string(msg.Payload.Data(), msg.PayloadCount);
}
std::string HeaderOf(const TZelWirelessMessage& msg) {
    return std::string(msg.Header.Data(), ZEL_HEADER_SIZE);
}

TZelWirelessMessageRead ReadHeader(const std::string& header) {
    TZelWirelessMessageRead msg;
    std::copy(header.begin(), header.end(), msg.Header.Data());
    return msg;
}

TEST(SendFrame, AppendTextCutsToWidthMinusOne) {
    struct Case {
        std::string text;
        int width;
        std::string field;
    } cases[] = {
        {"ABCDEFGHIJKL", 12, "ABCDEFGHIJKL"},
        {"ABCDEFGHIJKL", 10, std::string("ABCDEFGHI") + '\0'},
        {"ABC", 10, std::string("ABC") + std::string(7, '\0')},
        {"", 2, std::string(2, '\0')},
    };
    for (const Case& c : cases) {
        TZelWirelessMessageSend msg;
        msg.AppendText(c.text, c.width);
        EXPECT_EQ(PayloadOf(msg), c.field) << c.text << " into " << c.width;
    }
    TZelWirelessMessageSend msg;
    msg.AppendInt(1234, 3);
    EXPECT_EQ(PayloadOf(msg), std::string("12") + '\0');
    msg.AppendInt(7, 8);
    msg.AppendBytes("\x01\x00\xff", 3);
    EXPECT_EQ(msg.PayloadCount, 14);
    EXPECT_EQ(PayloadOf(msg).substr(3), std::string("00000007\x01\x00\xff", 11));
}

TEST(SendFrame, HeaderCarriesTypeFlagAndLength) {
    TZelWirelessMessageSend msg;
    msg.MessageType = "PCERR";
    msg.OutOfBand = true;
    msg.AppendText("Y", 1);
    msg.DataLength = msg.PayloadCount;
    msg.BuildHeader();
    EXPECT_EQ(HeaderOf(msg), std::string("ZWYPCERR") + std::string(4, '\0') + "00001");

    msg.Clear();
    msg.MessageType = "PDASELECT";
    msg.BuildHeader();
    EXPECT_EQ(HeaderOf(msg), "ZWNPDASELECT00000");
}

TEST(SendFrame, RefusesPayloadsTheLengthFieldCannotState) {
    TZelWirelessMessageSend msg;
    msg.MessageType = "PCDATA";
    msg.AppendBytes(std::string(ZEL_MAX_PAYLOAD, 'x').data(), ZEL_MAX_PAYLOAD);
    msg.DataLength = msg.PayloadCount;
    EXPECT_NO_THROW(msg.BuildHeader());
    EXPECT_EQ(HeaderOf(msg).substr(12), "99999");
    msg.AppendText("x", 1);
    msg.DataLength = msg.PayloadCount;
    EXPECT_THROW(msg.BuildHeader(), Exception);
}

TEST(SendFrame, DescribeShowsTheClearHeader) {
    TZelWirelessMessageSend msg;
    msg.MessageType = "PCHELO";
    msg.AppendBytes(std::string(591, 'k').data(), 591);
    msg.DataLength = msg.PayloadCount;
    msg.BuildHeader();
    EXPECT_EQ(msg.Describe(), "hi[ZW] oob[N] mt[PCHELO] dl[591] buf[ZWNPCHELO***00591]");
}

TEST(ReadFrame, ParsesNulAndBlankPaddedTypes) {
    struct Case {
        std::string header;
        std::string type;
        int length;
        bool outOfBand;
    } cases[] = {
        {std::string("ZWNPDABYE") + std::string(3, '\0') + "00000", "PDABYE", 0, false},
        {std::string("ZWNPDAHELO") + std::string(2, '\0') + "00060", "PDAHELO", 60, false},
        {"ZWYPDAHELO  00060", "PDAHELO  ", 60, true},
        {"ZW1PDASELECT00016", "PDASELECT", 16, true},
        {"ZWNPDAPOST  ABCDE", "PDAPOST  ", 0, false},
    };
    for (const Case& c : cases) {
        TZelWirelessMessageRead msg = ReadHeader(c.header);
        msg.ParseHeader();
        EXPECT_TRUE(msg.HeaderComplete);
        EXPECT_EQ(msg.MessageType, c.type);
        EXPECT_EQ(msg.DataLength, c.length);
        EXPECT_EQ(msg.OutOfBand, c.outOfBand);
    }
}

TEST(ReadFrame, RefusesABadIdentifierAndANegativeLength) {
    struct Case {
        std::string header;
        std::string message;
    } cases[] = {
        {std::string("XXNPDAHELO\0\0"
                     "00060",
                     17),
         "Invalid HeaderId [XX]"},
        {std::string("ZWNPDAHELO\0\0-0001", 17), "Invalid DataLength [-0001]"},
    };
    for (const Case& c : cases) {
        TZelWirelessMessageRead msg = ReadHeader(c.header);
        try {
            msg.ParseHeader();
            ADD_FAILURE() << "accepted " << c.message;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_FALSE(msg.HeaderComplete);
    }
}

// The steps a connection takes, fed two frames in pieces of every size: each
// piece at most what the frame wants, the header parsed once it is filled.
TEST(ReadFrame, AssemblesFramesFromPiecesOfAnySize) {
    using namespace std::string_literals;
    const std::string stream = "ZWNPDAHELO\0\0"s + "00005hello" + "ZWYPDABYE\0\0\0"s + "00000";
    for (int32_t piece = 1; piece <= static_cast<int32_t>(stream.size()); ++piece) {
        TZelWirelessMessageRead msg;
        std::vector<std::string> frames;
        size_t at = 0;
        while (at < stream.size()) {
            const int32_t wanted = msg.HeaderComplete ? msg.PayloadWanted() : msg.HeaderWanted();
            const int32_t n = std::min({piece, wanted, static_cast<int32_t>(stream.size() - at)});
            std::copy_n(stream.data() + at, n, msg.Reserve(n));
            msg.Received(n);
            at += static_cast<size_t>(n);
            if (!msg.HeaderComplete && msg.HeaderFilled())
                msg.ParseHeader();
            if (msg.Complete()) {
                frames.push_back(msg.MessageType + ":" + PayloadOf(msg));
                msg.Clear();
            }
        }
        EXPECT_EQ(frames, (std::vector<std::string>{"PDAHELO:hello", "PDABYE:"})) << "pieces of " << piece;
        EXPECT_EQ(msg.BytesRead, 0);
    }
}

TEST(Encoder, ScramblesWithIndependentRollingPositions) {
    TZelWirelessEncoder encoder;
    encoder.SetKeyLength(200);
    encoder.GenerateKey();
    for (uint8_t byte : encoder.Key)
        ASSERT_TRUE(byte >= 1 && byte <= 254);

    // Off: nothing changes and no position moves.
    std::string data(5, 'a');
    encoder.DecodeRecv(data.data(), 5);
    EXPECT_EQ(data, std::string(5, 'a'));
    EXPECT_EQ(encoder.RecvPos, 0);

    encoder.SetEnabled(true);
    std::string sent(201, '\0');
    encoder.EncodeSend(sent.data(), 201);
    EXPECT_EQ(static_cast<uint8_t>(sent[0]), encoder.Key[0]);
    EXPECT_EQ(static_cast<uint8_t>(sent[200]), encoder.Key[0]);
    EXPECT_EQ(encoder.SendPos, 1);
    EXPECT_EQ(encoder.RecvPos, 0);

    // The receive side starts at key byte 0 whatever was sent before, and
    // runs on across calls (frames).
    std::string received(3, '\0');
    encoder.DecodeRecv(received.data(), 2);
    encoder.DecodeRecv(received.data() + 2, 1);
    EXPECT_EQ(static_cast<uint8_t>(received[2]), encoder.Key[2]);
    EXPECT_EQ(encoder.RecvPos, 3);
}

// Long buffers cross the end of the key several times, from any position:
// every byte must still use the key byte its position names.
TEST(Encoder, LongRunsWrapTheKeyLikeSingleBytes) {
    TZelWirelessEncoder whole;
    whole.SetKeyLength(7);
    for (int i = 0; i < 7; ++i)
        whole.Key[static_cast<size_t>(i)] = static_cast<uint8_t>(0x11 * (i + 1));
    whole.SetEnabled(true);
    TZelWirelessEncoder single = whole;
    whole.SendPos = single.SendPos = 5;

    std::string a(40, 'x');
    std::string b = a;
    whole.EncodeSend(a.data(), 40);
    for (char& byte : b)
        single.EncodeSend(&byte, 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(whole.SendPos, (5 + 40) % 7);
    EXPECT_EQ(whole.SendPos, single.SendPos);
    EXPECT_EQ(static_cast<uint8_t>(a[0] ^ 'x'), whole.Key[5]);
    EXPECT_EQ(static_cast<uint8_t>(a[2] ^ 'x'), whole.Key[0]);
}

TEST(Encoder, DescribeGroupsTheKey) {
    TZelWirelessEncoder encoder;
    EXPECT_EQ(encoder.Describe(), "KeyLength[0]");
    encoder.SetKeyLength(200);
    encoder.GenerateKey();
    const std::string text = encoder.Describe();
    EXPECT_EQ(std::count(text.begin(), text.end(), '-'), 20);
    EXPECT_EQ(text.size(), std::string("KeyLength[200] HexData[]").size() + 400 + 20);
    encoder.SetKeyLength(10);
    for (int i = 0; i < 10; ++i)
        encoder.Key[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(encoder.Describe(), "KeyLength[10] HexData[0102030405060708-090A]");
}

} // namespace
