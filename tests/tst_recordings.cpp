#include <QFile>
#include <QTest>

#include "support/failure.h"
#include "tones/resourcestore.h"

// The embedded recordings: their layout byte for byte, as the program writes them out.
class TestRecordings : public QObject
{
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void storeReturnsTheCommittedFile();
    void missingResourceIsAFailure();
};

namespace {

struct Frame
{
    int bitrate;
    bool crc;
    int mode;
    int modeExtension;
    bool priv;
    bool original;
    int length;
};

Frame parseFrame(const uchar* p)
{
    static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    Frame f{};
    f.bitrate = kbps[p[2] >> 4];
    f.crc = (p[1] & 1) == 0;
    f.mode = p[3] >> 6;
    f.modeExtension = (p[3] >> 4) & 3;
    f.priv = p[2] & 1;
    f.original = p[3] & 4;
    f.length = 144 * f.bitrate * 1000 / 44100 + ((p[2] >> 1) & 1);
    return f;
}

quint16 crc16(const uchar* data, int length, quint16 crc)
{
    for (int i = 0; i < length; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = crc & 0x8000;
            crc = static_cast<quint16>(crc << 1);
            if (top != bool((data[i] >> bit) & 1))
                crc ^= 0x8005;
        }
    return crc;
}

} // namespace

void TestRecordings::layout_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("tagSize");
    QTest::addColumn<QByteArray>("title");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<bool>("crc");
    QTest::addColumn<int>("mode"); // 1 joint stereo, 3 single channel
    QTest::addColumn<int>("trailingZeros");
    const char* titles[] = {"8 kHz",  "10 kHz", "12  kHz", "14 kHz", "15 kHz",
                            "17 kHz", "18 kHz", "19 kHz",  "20 kHz"};
    for (int id = 101; id <= 109; ++id) {
        const int tag = id == 101 ? 2164 : id == 103 ? 2166 : 2165;
        const int zeros = id == 101 ? 3 : id == 103 ? 1 : 2;
        QTest::addRow("%d", id) << id << 483784 << tag << QByteArray(titles[id - 101]) << 576 << 256
                                << true << 1 << zeros;
    }
    QTest::addRow("110") << 110 << 162168 << 0 << QByteArray() << 388 << 128 << true << 1 << 0;
    QTest::addRow("111") << 111 << 402288 << 0 << QByteArray() << 385 << 320 << false << 3 << 3;
}

void TestRecordings::layout()
{
    QFETCH(int, id);
    QFETCH(int, size);
    QFETCH(int, tagSize);
    QFETCH(QByteArray, title);
    QFETCH(int, frames);
    QFETCH(int, bitrate);
    QFETCH(bool, crc);
    QFETCH(int, mode);
    QFETCH(int, trailingZeros);

    const QByteArray data = ResourceStore::load(id, QStringLiteral("CUSTOM"));
    QCOMPARE(data.size(), size);
    QCOMPARE(data.size() % 4, 0);
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    int at = 0;
    if (tagSize) {
        QVERIFY(data.startsWith(QByteArray("ID3\x03\x00\x00", 6)));
        at = 10 + ((bytes[6] << 21) | (bytes[7] << 14) | (bytes[8] << 7) | bytes[9]);
        QCOMPARE(at, tagSize);
        QVERIFY(data.left(at).contains("TIT2"));
        QVERIFY(data.left(at).contains(QByteArray("\0", 1) + title + QByteArray("\0", 1)));
        QVERIFY(data.left(at).contains("Test Tone"));
        QCOMPARE(data.mid(at - 2048, 2048), QByteArray(2048, '\0'));
    } else {
        QVERIFY(!data.startsWith("ID3"));
    }
    int count = 0;
    while (at + 4 <= data.size() && bytes[at] == 0xFF && (bytes[at + 1] & 0xFE) == 0xFA) {
        const Frame frame = parseFrame(bytes + at);
        QCOMPARE((bytes[at + 2] >> 2) & 3, 0); // 44100 Hz
        QCOMPARE(frame.bitrate, bitrate);
        QCOMPARE(frame.crc, crc);
        QCOMPARE(frame.mode, mode);
        QCOMPARE(bytes[at + 3] & 3, 0); // no emphasis
        if (id <= 109) {
            QCOMPARE(frame.modeExtension, 0);
            QVERIFY(!frame.priv && !frame.original);
        }
        if (id == 110)
            QVERIFY(frame.priv && frame.original);
        if (frame.crc) {
            const int sideInfo = mode == 3 ? 17 : 32;
            const quint16 expected =
                crc16(bytes + at + 6, sideInfo, crc16(bytes + at + 2, 2, 0xFFFF));
            QCOMPARE(quint16((bytes[at + 4] << 8) | bytes[at + 5]), expected);
        }
        // No Xing, Info or VBRI header in any frame.
        const QByteArray body = data.mid(at, frame.length);
        QVERIFY(!body.contains("Xing") && !body.contains("Info") && !body.contains("VBRI"));
        at += frame.length;
        ++count;
    }
    QCOMPARE(count, frames);
    if (tagSize) {
        QVERIFY(data.mid(at, 3) == "TAG");
        QCOMPARE(data.at(at + 127), char(12));
        QCOMPARE(data.mid(at + 93, 4), QByteArray("2005"));
        at += 128;
    }
    QCOMPARE(data.size() - at, trailingZeros);
    QCOMPARE(data.mid(at), QByteArray(trailingZeros, '\0'));
}

void TestRecordings::storeReturnsTheCommittedFile()
{
    QFile committed(QStringLiteral(PITCHWARDEN_SOURCE_DIR "/resources/recordings/101.mp3"));
    QVERIFY(committed.open(QIODevice::ReadOnly));
    QCOMPARE(ResourceStore::load(101, QStringLiteral("CUSTOM")), committed.readAll());
}

void TestRecordings::missingResourceIsAFailure()
{
    QVERIFY_THROWS_EXCEPTION(Failure, ResourceStore::load(112, QStringLiteral("CUSTOM")));
    QVERIFY_THROWS_EXCEPTION(Failure, ResourceStore::load(101, QStringLiteral("WAVE")));
}

QTEST_MAIN(TestRecordings)
#include "tst_recordings.moc"
