#include "wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace kvhost {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;

void Put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}
uint32_t Get16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t Get32(const unsigned char* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace

bool WriteFloatWav(const std::string& path, int sampleRate, int channels, const float* data, int64_t frames,
                   std::string& error) {
    const uint64_t dataBytes = static_cast<uint64_t>(frames) * static_cast<uint64_t>(channels) * 4u;
    if (channels <= 0 || channels > 0xFFFF || sampleRate <= 0 || frames < 0 || dataBytes > 0xFFFFFF00u - 58u) {
        error = "cannot write '" + path + "': unsupported size";
        return false;
    }
    // RIFF header, an 18-byte fmt chunk, the fact chunk float files carry,
    // then the samples.
    std::string h;
    h += "RIFF";
    Put32(h, static_cast<uint32_t>(4 + 26 + 12 + 8 + dataBytes));
    h += "WAVEfmt ";
    Put32(h, 18);
    Put16(h, kFormatFloat);
    Put16(h, static_cast<uint32_t>(channels));
    Put32(h, static_cast<uint32_t>(sampleRate));
    Put32(h, static_cast<uint32_t>(sampleRate) * static_cast<uint32_t>(channels) * 4u);
    Put16(h, static_cast<uint32_t>(channels) * 4u);
    Put16(h, 32);
    Put16(h, 0);
    h += "fact";
    Put32(h, 4);
    Put32(h, static_cast<uint32_t>(frames));
    h += "data";
    Put32(h, static_cast<uint32_t>(dataBytes));
    std::string body(static_cast<size_t>(dataBytes), '\0');
    for (size_t i = 0; i < body.size() / 4; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &data[i], 4);
        for (int b = 0; b < 4; ++b) body[i * 4 + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
    std::ofstream f(path, std::ios::binary);
    f.write(h.data(), static_cast<std::streamsize>(h.size()));
    f.write(body.data(), static_cast<std::streamsize>(body.size()));
    f.close();
    if (!f) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

bool ReadWav(const std::string& path, WavData& out, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot open '" + path + "'";
        return false;
    }
    std::string file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    const size_t size = file.size();
    if (size < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) {
        error = "'" + path + "' is not a WAV file";
        return false;
    }
    uint32_t format = 0, channels = 0, rate = 0, bits = 0;
    const unsigned char* samples = nullptr;
    size_t sampleBytes = 0;
    // Chunks are word-aligned; a truncated data chunk is read as far as it goes.
    for (size_t pos = 12; pos + 8 <= size;) {
        uint32_t len = Get32(p + pos + 4);
        size_t body = pos + 8;
        size_t avail = size - body < len ? size - body : len;
        if (std::memcmp(p + pos, "fmt ", 4) == 0 && avail >= 16) {
            format = Get16(p + body);
            channels = Get16(p + body + 2);
            rate = Get32(p + body + 4);
            bits = Get16(p + body + 14);
            // Extensible: the real format is the first word of the sub-format GUID.
            if (format == kFormatExtensible && avail >= 26) format = Get16(p + body + 24);
        } else if (std::memcmp(p + pos, "data", 4) == 0) {
            samples = p + body;
            sampleBytes = avail;
        }
        pos = body + len + (len & 1u);
        if (pos < body) break;  // overflow of a hostile length
    }
    const bool pcm = format == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool flt = format == kFormatFloat && (bits == 32 || bits == 64);
    if (!samples || channels == 0 || (!pcm && !flt)) {
        error = "'" + path + "' is not a PCM or float WAV file this host reads";
        return false;
    }
    const size_t bytes = bits / 8;
    const size_t frameBytes = bytes * channels;
    out.sample_rate = static_cast<int>(rate);
    out.channels = static_cast<int>(channels);
    out.frames = static_cast<int64_t>(sampleBytes / frameBytes);
    out.samples.assign(static_cast<size_t>(out.frames) * channels, 0.0f);
    for (size_t i = 0; i < out.samples.size(); ++i) {
        const unsigned char* s = samples + i * bytes;
        float v = 0.0f;
        if (flt && bits == 32) {
            uint32_t u = Get32(s);
            std::memcpy(&v, &u, 4);
        } else if (flt) {
            uint64_t u = Get32(s) | (static_cast<uint64_t>(Get32(s + 4)) << 32);
            double d;
            std::memcpy(&d, &u, 8);
            v = static_cast<float>(d);
        } else if (bits == 8) {
            v = static_cast<float>((static_cast<int>(s[0]) - 128) / 128.0);
        } else {
            // Signed little-endian integer, scaled so that full scale is 1.0.
            uint32_t u = 0;
            for (size_t b = 0; b < bytes; ++b) u |= static_cast<uint32_t>(s[b]) << (8 * (b + 4 - bytes));
            v = static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
        }
        out.samples[i] = v;
    }
    return true;
}

}  // namespace kvhost
