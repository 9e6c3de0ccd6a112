// The TLV debug-frame decoder, fed the way the bridge worker feeds it.

#include "tests/support/LogCapture.h"
#include "tests/support/TestData.h"
#include "tests/support/TlvFeeder.h"
#include "tlv/KX_Debug_TLV_Server.h"

#include <QRandomGenerator>
#include <QtTest>

#include <memory>

using namespace tlvframes;

namespace {

const QString kHandler = QStringLiteral("KX_Debug_TLV_Server::TLV_Handler");
const QString kReceive = QStringLiteral("KX_Debug_TLV_Server::ReceiveBytes");
const QString kOutput = QStringLiteral("KX_Debug_TLV_Server::WriteOutputBuffer");

const QByteArray kAbFrame = QByteArray::fromHex("AA0500F00200616246FE");

} // namespace

class TestTlv : public QObject
{
    Q_OBJECT

private slots:
    void abFrameAndItsBrokenTwin();
    void emptyQueue();
    void escapes();
    void emptyFrame();
    void unknownTagThenText();
    void bytesBetweenFramesAreDropped();
    void escapedHeadByteNeverStartsAFrame();
    void framesSplitAtEveryByte();
    void severalFramesInOneCall();
    void badChecksumDoesNotStopDecoding();
    void itemOverrunningItsFrame();
    void frameThatCanNeverFit();
    void frameCutShortByTheNextHead();
    void fullOutputQueueKeepsUnreadText();
    void fullReceiveBufferDropsOnlyStrayBytes();
    void manyHeadsInOneCall();
    void sourceRingIsReadModuloItsSize();
    void badArguments();
    void randomStreamsYieldExactlyTheGoodText();
};

void TestTlv::abFrameAndItsBrokenTwin()
{
    QCOMPARE(kAbFrame, frame(item(0xF0, "ab")));
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(kAbFrame), QByteArray("ab"));
    QCOMPARE(log.lines().size(), 0);
    QCOMPARE(w.decoder.BufferLength(), 0);
    QCOMPARE(w.decoder.HeadBufferLength(), 0);

    QByteArray broken = kAbFrame;
    broken[broken.size() - 1] = '\xFF';
    TlvFeeder w2;
    QCOMPARE(w2.feed(broken), QByteArray());
    QCOMPARE(log.errors(kHandler), QStringList{"CheckSum Wrong!"});
    QCOMPARE(w2.decoder.OutputBufferLength(), 0);
}

void TestTlv::emptyQueue()
{
    KX_Debug_TLV_Server decoder;
    uint8_t byte = 0x42;
    QCOMPARE(decoder.OutputBufferLength(), 0);
    QCOMPARE(decoder.GetOutputByte(&byte), 0xFF);
    QCOMPARE(byte, 0x42);
    QCOMPARE(decoder.GetOutputByte(nullptr), 0xFF);

    // Also once everything has been taken.
    TlvFeeder w;
    QCOMPARE(w.feed(kAbFrame), QByteArray("ab"));
    QCOMPARE(w.decoder.GetOutputByte(&byte), 0xFF);
    QCOMPARE(byte, 0x42);
}

void TestTlv::escapes()
{
    struct Case
    {
        QByteArray wireValue;
        QByteArray text;
    };
    const Case cases[] = {
        {QByteArray::fromHex("558A"), QByteArray("\xAA")},
        {QByteArray::fromHex("5575"), QByteArray("\x55")},
        {QByteArray::fromHex("5541"), QByteArray("a")},   // any byte may be escaped
        {QByteArray::fromHex("555541"), QByteArray("a")}, // two escapes count as one
        {QByteArray::fromHex("41558A42"), QByteArray("A\xAA"
                                                     "B")},
    };
    for (const Case& c : cases) {
        // Wire form of a frame with one text item whose value is escaped by hand.
        const QByteArray plain = frame(item(0xF0, c.text));
        const QByteArray checksum = escape('\xAA' + plain.right(2)).mid(1);
        const QByteArray wire = plain.left(6) + c.wireValue + checksum;
        for (int chunk = 1; chunk <= wire.size(); ++chunk) {
            TlvFeeder w;
            QCOMPARE(w.feed(wire, chunk), c.text);
        }
    }

    // A raw 0xAA is a head even right after an escape byte.
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(QByteArray::fromHex("AA0500F002") + QByteArray("\x55") + kAbFrame), QByteArray("ab"));
    QCOMPARE(log.errors(kHandler).size(), 1);
    QVERIFY(log.errors(kHandler).first().startsWith("Frame @ 0 cut short"));
}

void TestTlv::emptyFrame()
{
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(QByteArray::fromHex("AA00000000")), QByteArray());
    QCOMPARE(log.statuses(kHandler), QStringList{"DataLength == 0 @ 0"});
    QCOMPARE(log.errors(kHandler), QStringList());
    QCOMPARE(w.decoder.BufferLength(), 0);
    QCOMPARE(w.decoder.HeadBufferLength(), 0);
    // The next frame follows right on: no missing-head complaint.
    QCOMPARE(w.feed(kAbFrame), QByteArray("ab"));
    QCOMPARE(log.errors(kHandler), QStringList());
}

void TestTlv::unknownTagThenText()
{
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(frame(item(0x10, "zzz") + item(0xF1, "ok"))), QByteArray("ok"));
    QCOMPARE(log.errors(kHandler), QStringList{"Unkown Tag: 16"});
}

void TestTlv::bytesBetweenFramesAreDropped()
{
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(kAbFrame + "xyz" + frame(item(0xF2, "cd"))), QByteArray("abcd"));
    QCOMPARE(log.errors(kHandler),
             (QStringList{"DataPointer adr:10 != HeadBuffer adr:13", "Data @ DataPointer[0x78] != TLV_DATA_HEAD"}));
    QCOMPARE(w.decoder.BufferLength(), 0);

    // Bytes before the very first head, too.
    TlvFeeder w2;
    QCOMPARE(w2.feed("noise" + kAbFrame), QByteArray("ab"));
}

void TestTlv::escapedHeadByteNeverStartsAFrame()
{
    // After the first frame come stray bytes that, once un-escaped, look just
    // like a frame: only a raw head may start one.
    const QByteArray lookalike = frame(item(0xF0, "xy"));
    const QByteArray stray = QByteArray("\x55\x8A") + lookalike.mid(1);
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(kAbFrame + stray + frame(item(0xF0, "cd"))), QByteArray("abcd"));
    QCOMPARE(log.errors(kHandler), QStringList{"DataPointer adr:10 != HeadBuffer adr:20"});
}

void TestTlv::framesSplitAtEveryByte()
{
    LogCapture log;
    TlvFeeder w;
    for (int i = 0; i < kAbFrame.size() - 1; ++i)
        QCOMPARE(w.feed(kAbFrame.mid(i, 1)), QByteArray());
    QCOMPARE(w.feed(kAbFrame.right(1)), QByteArray("ab"));
    // One line per piece while the frame is incomplete.
    const QStringList errors = log.errors(kHandler);
    QCOMPARE(errors.size(), kAbFrame.size() - 1);
    QCOMPARE(errors.count("BufferLength() < 0x03"), 2);
    for (int have = 3; have < 10; ++have)
        QVERIFY(errors.contains(QString("BufferLength() < (u16DataLength + 0x05) -> Soll:10 Bytes Ist:%1").arg(have)));

    // An escape byte at the end of one call applies to the next call's first byte.
    TlvFeeder w2;
    const QByteArray wire = escape(frame(item(0xF0, "\xAA\x55")));
    const int escapeAt = wire.indexOf('\x55');
    QCOMPARE(w2.feed(wire.left(escapeAt + 1)), QByteArray());
    QCOMPARE(w2.feed(wire.mid(escapeAt + 1)), QByteArray("\xAA\x55"));
}

void TestTlv::severalFramesInOneCall()
{
    LogCapture log;
    TlvFeeder w;
    const QByteArray wire = frame(item(0xF0, "one ")) + frame(item(0xF1, "two ") + item(0xF2, "three ")) +
                            frame(item(0xF2, "four")) + QByteArray::fromHex("AA00000000");
    QCOMPARE(w.feed(wire), QByteArray("one two three four"));
    QCOMPARE(log.errors(kHandler), QStringList());
    QCOMPARE(w.decoder.HeadBufferLength(), 0);
}

void TestTlv::badChecksumDoesNotStopDecoding()
{
    QByteArray bad = frame(item(0xF0, "bad"));
    bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] + 1);
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(bad + kAbFrame + bad + "junk" + frame(item(0xF0, "cd"))), QByteArray("abcd"));
    QCOMPARE(log.errors(kHandler).count("CheckSum Wrong!"), 2);
    // Also when the good frame only arrives in a later call.
    TlvFeeder w2;
    QCOMPARE(w2.feed(bad), QByteArray());
    QCOMPARE(w2.feed(kAbFrame), QByteArray("ab"));
    QCOMPARE(w2.decoder.HeadBufferLength(), 0);
}

void TestTlv::itemOverrunningItsFrame()
{
    // Second item claims 100 bytes but the frame holds 3 more.
    QByteArray payload = item(0xF0, "ok") + item(0xF0, "abc");
    payload[5 + 1] = 100;
    LogCapture log;
    TlvFeeder w;
    QCOMPARE(w.feed(frame(payload) + kAbFrame), QByteArray("okab"));
    QCOMPARE(log.errors(kHandler), QStringList{"Item length 100 @ 8 runs past the frame end, item dropped"});

    // A length near 0xFFFF must not wrap the walk around to the frame start.
    payload = item(0xF0, "ok") + item(0xF0, "abc");
    payload[6] = '\xFD';
    payload[7] = '\xFF';
    log.clear();
    TlvFeeder w2;
    QCOMPARE(w2.feed(frame(payload)), QByteArray("ok"));
    QCOMPARE(log.errors(kHandler).size(), 1);

    // Item header cut by the frame end.
    log.clear();
    TlvFeeder w3;
    QCOMPARE(w3.feed(frame(item(0xF0, "ok") + QByteArray("\xF0\x01", 2))), QByteArray("ok"));
    QCOMPARE(log.errors(kHandler), QStringList{"Item header @ 8 runs past the frame end, rest of the frame dropped"});
}

void TestTlv::frameThatCanNeverFit()
{
    // The largest frame the 4096-byte buffer can hold: 4095 bytes.
    const QByteArray longest(4087, 'x');
    TlvFeeder w;
    QCOMPARE(w.feed(escape(frame(item(0xF0, longest))), 1000), longest);

    // One byte more can never complete; it is dropped as soon as its length is known.
    LogCapture log;
    TlvFeeder w2;
    const QByteArray tooLong = escape(frame(item(0xF0, QByteArray(4088, 'y'))));
    QCOMPARE(w2.feed(tooLong.left(3)), QByteArray());
    QCOMPARE(log.errors(kHandler), QStringList{"u16DataLength 4091 @ 0 never fits the buffer, frame dropped"});
    QCOMPARE(w2.decoder.HeadBufferLength(), 0);
    QCOMPARE(w2.feed(tooLong.mid(3) + kAbFrame, 512), QByteArray("ab"));

    log.clear();
    TlvFeeder w3;
    QCOMPARE(w3.feed(QByteArray::fromHex("AAFFFF") + kAbFrame), QByteArray("ab"));
    QCOMPARE(log.errors(kHandler), QStringList{"u16DataLength 65535 @ 0 never fits the buffer, frame dropped"});
}

void TestTlv::frameCutShortByTheNextHead()
{
    LogCapture log;
    TlvFeeder w;
    // A frame broken off after 4 bytes, then a good one: decoded at once.
    QCOMPARE(w.feed(kAbFrame.left(4) + kAbFrame), QByteArray("ab"));
    QCOMPARE(log.errors(kHandler), QStringList{"Frame @ 0 cut short by the next head after 4 bytes, dropped"});
    // A stray head right before a frame.
    log.clear();
    TlvFeeder w2;
    QCOMPARE(w2.feed("\xAA" + kAbFrame), QByteArray("ab"));
    QCOMPARE(log.errors(kHandler), QStringList{"Frame @ 0 cut short by the next head after 1 bytes, dropped"});
    // The broken frame's length would have swallowed the next frame.
    log.clear();
    TlvFeeder w3;
    QCOMPARE(w3.feed(QByteArray::fromHex("AA00F0") + kAbFrame + frame(item(0xF0, "cd"))), QByteArray("abcd"));
}

void TestTlv::fullOutputQueueKeepsUnreadText()
{
    LogCapture log;
    TlvFeeder w;
    const QByteArray first(3000, 'a');
    const QByteArray second(2000, 'b');
    // Nobody drains in between: the queue holds 4095 bytes, the rest is dropped.
    w.feed(escape(frame(item(0xF0, first))), 4095, false);
    w.feed(escape(frame(item(0xF0, second))), 4095, false);
    QCOMPARE(w.decoder.OutputBufferLength(), 4095);
    QCOMPARE(w.drain(), first + second.left(1095));
    QCOMPARE(log.errors(kOutput), QStringList{"OutputBuffer full, 905 decoded bytes dropped"});
    // Once drained, text flows again.
    QCOMPARE(w.feed(kAbFrame), QByteArray("ab"));
}

void TestTlv::fullReceiveBufferDropsOnlyStrayBytes()
{
    LogCapture log;
    TlvFeeder w;
    QByteArray noise(10000, 'n');
    QCOMPARE(w.feed(noise + kAbFrame, 3000), QByteArray("ab"));
    QVERIFY(!log.errors(kReceive).isEmpty());
    QVERIFY(log.errors(kReceive).first().startsWith("Receive buffer full: 4095 undecoded bytes, 0 heads dropped"));

    // Frames in one call that together exceed the buffer are all decoded.
    log.clear();
    QByteArray wire;
    QByteArray text;
    for (int i = 0; wire.size() < 12000; ++i) {
        const QByteArray t = QByteArray::number(i) + ' ';
        wire += frame(item(0xF0, t));
        text += t;
    }
    KX_Debug_TLV_Server decoder;
    QCOMPARE(decoder.ReceiveBytes(reinterpret_cast<const uint8_t*>(wire.constData()), 0,
                                  static_cast<uint16_t>(wire.size()), static_cast<uint16_t>(wire.size())),
             wire.size());
    QByteArray out;
    uint8_t byte;
    while (decoder.GetOutputByte(&byte) == 1)
        out += static_cast<char>(byte);
    QCOMPARE(out, text.left(4095));
    QCOMPARE(log.errors(kReceive), QStringList());
    QCOMPARE(log.errors(kHandler), QStringList());
}

void TestTlv::manyHeadsInOneCall()
{
    LogCapture log;
    TlvFeeder w;
    QByteArray wire;
    for (int i = 0; i < 300; ++i)
        wire += kAbFrame;
    QCOMPARE(w.feed(wire), QByteArray("ab").repeated(300));
    QCOMPARE(log.lines().size(), 0);

    // Hundreds of bare heads, then a frame.
    TlvFeeder w2;
    QCOMPARE(w2.feed(QByteArray(1000, '\xAA') + kAbFrame), QByteArray("ab"));
    QCOMPARE(w2.decoder.HeadBufferLength(), 0);
}

void TestTlv::sourceRingIsReadModuloItsSize()
{
    const uint16_t ringSize = 16;
    uint8_t ring[ringSize] = {};
    // The frame starts 3 bytes before the ring's end and wraps.
    for (int i = 0; i < kAbFrame.size(); ++i)
        ring[(13 + i) % ringSize] = static_cast<uint8_t>(kAbFrame[i]);
    KX_Debug_TLV_Server decoder;
    QCOMPARE(decoder.ReceiveBytes(ring, 13, static_cast<uint16_t>(kAbFrame.size()), ringSize), kAbFrame.size());
    QCOMPARE(decoder.OutputBufferLength(), 2);
    // A start position beyond the ring size is taken modulo it.
    KX_Debug_TLV_Server decoder2;
    QCOMPARE(decoder2.ReceiveBytes(ring, 13 + 5 * ringSize, static_cast<uint16_t>(kAbFrame.size()), ringSize),
             kAbFrame.size());
    QCOMPARE(decoder2.OutputBufferLength(), 2);
}

void TestTlv::badArguments()
{
    LogCapture log;
    KX_Debug_TLV_Server decoder;
    uint8_t ring[4] = {0xAA, 0, 0, 0};
    QCOMPARE(decoder.ReceiveBytes(ring, 0, 0, 4), 0);
    QCOMPARE(decoder.ReceiveBytes(nullptr, 0, 5, 4096), 0);
    QCOMPARE(decoder.ReceiveBytes(ring, 0, 4, 0), 0);
    QCOMPARE(log.errors(kReceive).size(), 2);
    QCOMPARE(decoder.HeadBufferLength(), 0);
    QCOMPARE(decoder.BufferLength(), 0);
}

void TestTlv::randomStreamsYieldExactlyTheGoodText()
{
    LogCapture log; // keeps the expected error lines out of the test output
    for (quint32 seed = 1; seed <= 150; ++seed) {
        QRandomGenerator rng(seed);
        QByteArray wire;
        QByteArray expected;
        const int pieces = rng.bounded(1, 60);
        for (int p = 0; p < pieces; ++p) {
            switch (rng.bounded(4)) {
            case 0:
            case 1: {
                QByteArray payload;
                const int items = rng.bounded(0, 4);
                for (int i = 0; i < items; ++i) {
                    const uint8_t tag = rng.bounded(3) ? static_cast<uint8_t>(0xF0 + rng.bounded(3))
                                                       : static_cast<uint8_t>(rng.bounded(256));
                    const QByteArray value = randomBytes(rng, rng.bounded(0, 200));
                    payload += item(tag, value);
                    if (tag >= 0xF0 && tag <= 0xF2)
                        expected += value;
                }
                wire += escape(frame(payload), &rng);
                break;
            }
            case 2: {
                QByteArray bad = frame(item(0xF0, randomBytes(rng, rng.bounded(0, 100))));
                const int at = bad.size() - 1 - rng.bounded(2);
                bad[at] = static_cast<char>(bad[at] ^ (1 + rng.bounded(255)));
                wire += escape(bad, &rng);
                break;
            }
            default: {
                // Stray bytes without a head; an escape byte at their end must
                // not reach into the next frame's head.
                QByteArray noise = randomBytes(rng, rng.bounded(0, p % 10 == 9 ? 5000 : 40));
                noise.replace('\xAA', '\x2A');
                wire += noise;
                break;
            }
            }
        }
        const int chunk = rng.bounded(1, 1025);
        TlvFeeder w;
        const QByteArray text = w.feed(wire, chunk);
        if (text != expected)
            QFAIL(qPrintable(QString("seed %1, chunk %2: %3 bytes decoded, %4 expected")
                                 .arg(seed)
                                 .arg(chunk)
                                 .arg(text.size())
                                 .arg(expected.size())));
    }
}

QTEST_GUILESS_MAIN(TestTlv)
#include "test_tlv.moc"
