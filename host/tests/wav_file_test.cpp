// The host's own WAV code (used where libsndfile is missing): float files
// round-trip bit for bit, PCM files read at full scale 1.0, and files that
// are not WAV, or lie about their sizes, are refused or read only as far as
// they go.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "wav_file.h"

using namespace kvhost;

namespace {

std::string TempFile(const std::string& name) { return ::testing::TempDir() + "/" + name; }

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le(uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// A RIFF/WAVE file with one fmt chunk (tag, channels, bits) and the given
// sample bytes; `dataLength` overrides the data chunk's stated length.
std::string MakeWav(uint16_t tag, uint16_t channels, uint16_t bits, const std::string& samples,
                    int64_t dataLength = -1) {
    std::string fmt = Le(tag, 2) + Le(channels, 2) + Le(44100, 4) + Le(44100u * channels * bits / 8, 4) +
                      Le(channels * bits / 8, 2) + Le(bits, 2);
    uint32_t len = dataLength < 0 ? static_cast<uint32_t>(samples.size()) : static_cast<uint32_t>(dataLength);
    std::string body = "WAVEfmt " + Le(16, 4) + fmt + "data" + Le(len, 4) + samples;
    return "RIFF" + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

TEST(WavFile, FloatFilesRoundTripBitForBit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> data = {0.0f, -0.0f, 1.0f, -1.0f, 1e-40f, 3.4e38f, 0.1f, -0.7f, nan,
                               std::numeric_limits<float>::infinity()};
    std::string path = TempFile("roundtrip.wav");
    std::string error;
    ASSERT_TRUE(WriteFloatWav(path, 48000, 2, data.data(), 5, error)) << error;
    WavData w;
    ASSERT_TRUE(ReadWav(path, w, error)) << error;
    EXPECT_EQ(w.sample_rate, 48000);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.frames, 5);
    ASSERT_EQ(w.samples.size(), data.size());
    for (size_t i = 0; i < data.size(); ++i) {
        uint32_t a, b;
        std::memcpy(&a, &data[i], 4);
        std::memcpy(&b, &w.samples[i], 4);
        EXPECT_EQ(a, b) << i;
    }
}

TEST(WavFile, PcmReadsAtFullScaleOne) {
    struct Case {
        uint16_t bits;
        std::string bytes;
        std::vector<float> expected;
    } cases[] = {
        {8, std::string("\x00\x80\xFF", 3), {-1.0f, 0.0f, 127.0f / 128.0f}},
        {16, Le(0x8000, 2) + Le(0, 2) + Le(0x4000, 2) + Le(0xFFFF, 2), {-1.0f, 0.0f, 0.5f, -1.0f / 32768.0f}},
        {24, Le(0x800000, 3) + Le(0x400000, 3) + Le(0xFFFFFF, 3), {-1.0f, 0.5f, static_cast<float>(-1.0 / 8388608.0)}},
        {32, Le(0x80000000u, 4) + Le(0xC0000000u, 4), {-1.0f, -0.5f}},
    };
    for (const Case& c : cases) {
        std::string path = TempFile("pcm" + std::to_string(c.bits) + ".wav");
        WriteBytes(path, MakeWav(1, 1, c.bits, c.bytes));
        WavData w;
        std::string error;
        ASSERT_TRUE(ReadWav(path, w, error)) << c.bits << ": " << error;
        EXPECT_EQ(w.samples, c.expected) << c.bits << " bits";
    }
}

TEST(WavFile, BadFilesAreRefusedAndShortDataIsReadAsFarAsItGoes) {
    std::string error;
    WavData w;
    EXPECT_FALSE(ReadWav(TempFile("no_such_file.wav"), w, error));
    struct Case {
        const char* name;
        std::string bytes;
    } refused[] = {
        {"empty.wav", ""},
        {"text.wav", "RIFF....WAVX this is no wave file"},
        {"alaw.wav", MakeWav(6, 1, 8, "abcd")},          // A-law: not read
        {"bits12.wav", MakeWav(1, 1, 12, "abcd")},       // odd sample width
        {"nochannels.wav", MakeWav(1, 0, 16, "abcd")},
        {"nodata.wav", MakeWav(3, 1, 32, "").substr(0, 36)},
    };
    for (const Case& c : refused) {
        WriteBytes(TempFile(c.name), c.bytes);
        EXPECT_FALSE(ReadWav(TempFile(c.name), w, error)) << c.name;
    }
    // A data chunk claiming 4 GiB holds three whole 16-bit frames and a half.
    WriteBytes(TempFile("short.wav"), MakeWav(1, 1, 16, Le(0x4000, 2) + Le(0xC000, 2) + Le(0, 2) + "x", 0xFFFFFFF0));
    ASSERT_TRUE(ReadWav(TempFile("short.wav"), w, error)) << error;
    EXPECT_EQ(w.frames, 3);
    EXPECT_EQ(w.samples, (std::vector<float>{0.5f, -0.5f, 0.0f}));
}

}  // namespace
