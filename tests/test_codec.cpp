// The frame codec and the CRC, against published and documented vectors.
#include "protocol/frame.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <string>

namespace kinetra {
namespace {

using test::bytes;
using test::hex;

TEST(Crc16Modbus, MatchesThePublishedCheckValue) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const std::uint8_t *>(digits.data()), digits.size()),
              0x4B37);
}

TEST(Crc16Modbus, OfNothingIsTheInitialValue) { EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF); }

// Every table entry is reached by some first byte; compare each with the
// CRC computed bit by bit, then a longer run that mixes all of them.
TEST(Crc16Modbus, AgreesWithBitwiseReferenceOnEveryByte) {
    bytes all;
    for (int i = 0; i < 256; ++i) {
        const bytes one{static_cast<std::uint8_t>(i)};
        ASSERT_EQ(crc16_modbus(one.data(), 1), test::reference_crc(one)) << "byte " << i;
        all.push_back(static_cast<std::uint8_t>(255 - i));
        all.push_back(static_cast<std::uint8_t>(i * 7));
    }
    EXPECT_EQ(crc16_modbus(all.data(), all.size()), test::reference_crc(all));
}

frame make(std::uint8_t head, std::uint8_t tag, std::uint8_t cmd, const bytes &payload,
           std::size_t len_override = 256) {
    frame f;
    f.head = head;
    f.tag = tag;
    f.cmd = cmd;
    f.len = static_cast<std::uint8_t>(len_override < 256 ? len_override : payload.size());
    std::copy(payload.begin(), payload.end(), f.payload.bytes.begin());
    f.payload.size = payload.size();
    return f;
}

bytes wire_of(const frame &f) {
    const wire_bytes w = encode_frame(f);
    return {w.bytes.begin(), w.bytes.begin() + static_cast<std::ptrdiff_t>(w.size)};
}

struct encode_case {
    const char *name;
    frame input;
    const char *wire;
};

TEST(EncodeFrame, ProducesTheDocumentedBytes) {
    const encode_case cases[] = {
        {"empty upload", make(0x7A, 0x01, 0xF5, {}), "7A 01 00 F5 88 BB"},
        {"x move", make(0x01, 0x01, 0xA1, {0xE8, 0x03, 0xC8, 0x00, 0x32, 0x00}),
         "01 01 06 A1 E8 03 C8 00 32 00 64 9A"},
        {"sample upload",
         make(0x7B, 0x01, 0xF5,
              {0x02, 0x64, 0x00, 0xCE, 0xFF, 0x07, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00}),
         "7B 01 0D F5 02 64 00 CE FF 07 00 01 00 00 01 00 00 9D 3E"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(hex(wire_of(c.input)), c.wire) << c.name;
    }
}

TEST(EncodeFrame, WritesTheLenFieldAsStoredNotThePayloadSize) {
    bytes expected{0x01, 0x01, 0x09, 0xA1, 1, 2, 3};
    const std::uint16_t crc = test::reference_crc(expected);
    expected.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    expected.push_back(static_cast<std::uint8_t>(crc >> 8));
    EXPECT_EQ(hex(wire_of(make(0x01, 0x01, 0xA1, {1, 2, 3}, 9))), hex(expected));
}

TEST(EncodeFrame, CarriesTheLargestPayload) {
    bytes payload(255);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i);
    }
    const bytes w = wire_of(make(0x55, 0x01, 0xA4, payload));
    ASSERT_EQ(w.size(), 261u);
    EXPECT_EQ(hex(w), hex(test::make_frame(0x55, 0x01, 0xA4, payload)));
}

struct decode_case {
    const char *name;
    bytes input;
    bool valid;
};

TEST(DecodeFrame, AcceptsExactlyCompleteFramesWithTheirCrc) {
    const bytes upload = test::sample_upload();
    bytes flipped = upload;
    flipped.at(6) ^= 0x10;
    bytes swapped = upload;
    std::swap(swapped.at(17), swapped.at(18));
    const decode_case cases[] = {
        {"sample upload", upload, true},
        {"followed by extra bytes", test::concat({upload, {0x7A, 0x00, 0x12}}), true},
        {"five bytes", {0x7A, 0x01, 0x00, 0xF5, 0x88}, false},
        {"len promises more than the buffer", bytes(upload.begin(), upload.end() - 1), false},
        {"one payload bit flipped", flipped, false},
        {"CRC bytes swapped", swapped, false},
        {"empty payload", {0x7A, 0x01, 0x00, 0xF5, 0x88, 0xBB}, true},
        {"CRC of another frame", {0x7A, 0x01, 0x00, 0xF5, 0xBB, 0x88}, false},
    };
    for (const auto &c : cases) {
        frame f;
        EXPECT_EQ(decode_frame(c.input.data(), c.input.size(), f), c.valid) << c.name;
    }
}

TEST(DecodeFrame, FillsEveryFieldFromTheWire) {
    const bytes upload = test::sample_upload();
    frame f;
    ASSERT_TRUE(decode_frame(upload.data(), upload.size(), f));
    EXPECT_EQ(f.head, 0x7B);
    EXPECT_EQ(f.tag, 0x01);
    EXPECT_EQ(f.len, 13);
    EXPECT_EQ(f.cmd, 0xF5);
    EXPECT_EQ(f.crc, 0x3E9D);
    ASSERT_EQ(f.payload.size, 13u);
    EXPECT_EQ(hex(bytes(f.payload.bytes.begin(), f.payload.bytes.begin() + 13)),
              hex(bytes(upload.begin() + 4, upload.begin() + 17)));
}

TEST(DecodeFrame, KeepsTheHeaderOfAFrameThatIsCutOff) {
    const bytes cut{0x7A, 0x05, 0x10, 0xA3, 0x00, 0x00};
    frame f;
    EXPECT_FALSE(decode_frame(cut.data(), cut.size(), f));
    EXPECT_EQ(f.head, 0x7A);
    EXPECT_EQ(f.tag, 0x05);
    EXPECT_EQ(f.len, 0x10);
    EXPECT_EQ(f.cmd, 0xA3);
}

TEST(DecodeFrame, RefusesANullBuffer) {
    frame f;
    EXPECT_FALSE(decode_frame(nullptr, 19, f));
}

} // namespace
} // namespace kinetra
