#include "media/mp3duration.h"

#include <array>
#include <cstdint>

#include <QFile>

namespace {

constexpr qint64 MaxFileSize = 64 * 1024 * 1024;

struct FrameHeader
{
    int length = 0;
    int samples = 0;
    int sampleRate = 0;
};

// Decodes a four-byte MPEG audio frame header (layers I–III, MPEG-1/2/2.5).
std::optional<FrameHeader> parseHeader(const uchar* p)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int version = (p[1] >> 3) & 3; // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
    const int layer = (p[1] >> 1) & 3;   // 3 = I, 2 = II, 1 = III
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    static constexpr std::array<std::array<int, 15>, 6> kbps = {{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // V1 L1
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // V1 L2
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // V1 L3
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // V2 L1
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // V2 L2, L3
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    }};
    static constexpr std::array<int, 3> baseRates = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int table = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
    const int bitrate =
        kbps.at(static_cast<size_t>(table)).at(static_cast<size_t>(bitrateIndex)) * 1000;
    const int sampleRate = baseRates.at(static_cast<size_t>(rateIndex)) >> (mpeg1          ? 0
                                                                            : version == 2 ? 1
                                                                                           : 2);
    FrameHeader header;
    header.sampleRate = sampleRate;
    if (layer == 3) {
        header.samples = 384;
        header.length = (12 * bitrate / sampleRate + padding) * 4;
    } else {
        header.samples = (layer == 1 && !mpeg1) ? 576 : 1152;
        header.length = header.samples / 8 * bitrate / sampleRate + padding;
    }
    return header.length >= 4 ? std::optional(header) : std::nullopt;
}

qint64 skipId3v2(const QByteArray& data)
{
    if (data.size() < 10 || !data.startsWith("ID3"))
        return 0;
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    const qint64 size =
        (qint64(p[6] & 0x7F) << 21) | (p[7] & 0x7F) << 14 | (p[8] & 0x7F) << 7 | (p[9] & 0x7F);
    return 10 + size + ((p[5] & 0x10) ? 10 : 0);
}

} // namespace

std::optional<double> Mp3Duration(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxFileSize)
        return std::nullopt;
    const QByteArray data = file.readAll();
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    qint64 offset = skipId3v2(data);
    qint64 samples = 0;
    int sampleRate = 0;
    int frames = 0;
    while (offset + 4 <= data.size()) {
        const auto header = parseHeader(bytes + offset);
        if (!header || (sampleRate != 0 && header->sampleRate != sampleRate))
            break;
        if (offset + header->length > data.size())
            break;
        sampleRate = header->sampleRate;
        samples += header->samples;
        offset += header->length;
        ++frames;
    }
    // A stream of fewer than two frames is not taken for MPEG audio.
    if (frames < 2)
        return std::nullopt;
    return double(samples) / sampleRate;
}
