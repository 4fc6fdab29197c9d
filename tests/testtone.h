#pragma once

#include <cmath>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

// A sine tone at full level from its first sample, as a WAV file (no encoder delay, no fade):
// what the player does at the start of the sound is all there is to hear there.
inline QString makeTestWave(const QString& folder, double seconds, double hz = 8000.0)
{
    const int rate = 44100;
    const quint32 frames = quint32(seconds * rate);
    QByteArray wave("RIFF....WAVEfmt ");
    const auto put = [&wave](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wave.append(char((value >> (8 * i)) & 0xff));
    };
    put(16, 4), put(1, 2), put(1, 2), put(rate, 4), put(rate * 2, 4), put(2, 2), put(16, 2);
    wave.append("data");
    put(frames * 2, 4);
    for (quint32 i = 0; i < frames; ++i)
        put(quint16(qint16(16000 * std::cos(2 * M_PI * hz * i / rate))), 2);
    wave.replace(4, 4, QByteArray(4, '\0'));
    for (int i = 0; i < 4; ++i)
        wave[4 + i] = char(((wave.size() - 8) >> (8 * i)) & 0xff);
    const QString path = QDir(folder).filePath(QStringLiteral("tone.wav"));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(wave) == wave.size() ? path : QString();
}

// Encodes a short sine tone to an MP3 file (LAME, no Info header, like the program's
// recordings) and returns its path, or an empty string when encoding failed.
inline QString makeTestTone(const QString& folder, double seconds, double hz = 8000.0,
                            const QString& name = QStringLiteral("tone.mp3"))
{
    const int rate = 44100;
    const int frames = static_cast<int>(seconds * rate);
    QByteArray pcm(frames * 4, '\0');
    auto* samples = reinterpret_cast<qint16*>(pcm.data());
    for (int i = 0; i < frames; ++i) {
        const auto value = static_cast<qint16>(16000 * std::sin(2 * M_PI * hz * i / rate));
        samples[2 * i] = samples[2 * i + 1] = value;
    }
    const QString raw = QDir(folder).filePath(QStringLiteral("tone.raw"));
    QFile file(raw);
    if (!file.open(QIODevice::WriteOnly) || file.write(pcm) != pcm.size())
        return {};
    file.close();
    const QString mp3 = QDir(folder).filePath(name);
    const int code = QProcess::execute(
        QStringLiteral("lame"),
        {QStringLiteral("--quiet"), QStringLiteral("-r"), QStringLiteral("-s"),
         QStringLiteral("44.1"), QStringLiteral("--bitwidth"), QStringLiteral("16"),
         QStringLiteral("-t"), QStringLiteral("-b"), QStringLiteral("256"),
         QStringLiteral("--lowpass"), QStringLiteral("-1"), raw, mp3});
    return code == 0 ? mp3 : QString();
}
