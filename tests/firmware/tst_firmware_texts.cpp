// The texts and helpers that the board firmware and the virtual board share:
// status-line formatting, frame encoding (checked against the loader's decoder
// and a strict one), and the command parser. Every helper is also compiled as
// C (texts_c.c) and must give the same bytes there.

#include "quadrel_texts.h"

#include "FrameCheck.h"
#include "tests/support/TlvFeeder.h"
#include "texts_c.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstring>
#include <vector>

namespace {

QByteArray statusOf(uint32_t seconds, bool identity)
{
    char buf[QUADREL_STATUS_MAX];
    const size_t n = quadrel_format_status(buf, sizeof buf, seconds, identity ? 1 : 0);
    return QByteArray(buf, static_cast<int>(n));
}

QByteArray encode(const QByteArray& text)
{
    std::vector<uint8_t> out(QUADREL_TLV_FRAME_MAX(static_cast<size_t>(text.size())));
    const size_t n = quadrel_tlv_encode(text.constData(), static_cast<size_t>(text.size()), out.data(), out.size());
    return QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<int>(n));
}

QList<int> commandEvents(const QByteArray& input)
{
    quadrel_command parser;
    quadrel_command_init(&parser);
    QList<int> events;
    for (const char ch : input) {
        const quadrel_command_event e = quadrel_command_feed(&parser, static_cast<uint8_t>(ch));
        if (e != QUADREL_COMMAND_NONE)
            events << static_cast<int>(e);
    }
    return events;
}

} // namespace

class TestFirmwareTexts : public QObject
{
    Q_OBJECT

private slots:
    void textsAreWellFormed();
    void statusLine_data();
    void statusLine();
    void statusLineRejectsSmallBuffers();
    void encodeKnownFrame();
    void encodeEscapesHeadAndEscapeBytes();
    void encodeRoundTripsThroughBothDecoders();
    void encodeRejectsBadArguments();
    void commandParser_data();
    void commandParser();
};

void TestFirmwareTexts::textsAreWellFormed()
{
    const QByteArray greeting(QUADREL_TEXT_GREETING);
    QVERIFY(greeting.startsWith("\x1b[32m"));
    QVERIFY(greeting.endsWith("\x1b[0m\r\n"));
    QVERIFY(greeting.contains("1.0.54"));
    QVERIFY(greeting.contains("RozazerEvu"));
    QCOMPARE(QByteArray(texts_c_greeting()), greeting);

    const QByteArray confirmation(QUADREL_TEXT_IDENTITY_SET);
    QVERIFY(confirmation.startsWith("\x1b[34m"));
    QVERIFY(confirmation.endsWith("\x1b[0m\r\n"));
    QVERIFY(confirmation.contains(QUADREL_IDENTITY_NAME));
    QCOMPARE(QByteArray(QUADREL_IDENTITY_NAME), QByteArray("Quadrel"));

    QCOMPARE(QByteArray(QUADREL_COMMAND_SET_IDENTITY), QByteArray("setHWqd\r"));
    QCOMPARE(std::strlen(QUADREL_COMMAND_SET_IDENTITY), size_t(QUADREL_COMMAND_SET_IDENTITY_LENGTH));

    // The console renders board text as HTML: nothing may open markup.
    for (const QByteArray& text :
         {greeting, confirmation, QByteArray(QUADREL_TEXT_UNKNOWN_COMMAND), statusOf(4294967295u, true)}) {
        QVERIFY2(!text.contains('<') && !text.contains('&'), text.constData());
    }
}

void TestFirmwareTexts::statusLine_data()
{
    QTest::addColumn<quint32>("seconds");
    QTest::addColumn<bool>("identity");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("zero") << 0u << false << QByteArray("Uptime 0 s\r\n");
    QTest::newRow("identity") << 59u << true << QByteArray("Uptime 59 s, HardwareID Quadrel\r\n");
    QTest::newRow("ten") << 10u << false << QByteArray("Uptime 10 s\r\n");
    QTest::newRow("largest") << 4294967295u << true << QByteArray("Uptime 4294967295 s, HardwareID Quadrel\r\n");
}

void TestFirmwareTexts::statusLine()
{
    QFETCH(quint32, seconds);
    QFETCH(bool, identity);
    QFETCH(QByteArray, expected);
    QCOMPARE(statusOf(seconds, identity), expected);
    QVERIFY(static_cast<size_t>(expected.size()) < QUADREL_STATUS_MAX);

    char c_buf[QUADREL_STATUS_MAX];
    const size_t n = texts_c_format_status(c_buf, sizeof c_buf, seconds, identity ? 1 : 0);
    QCOMPARE(QByteArray(c_buf, static_cast<int>(n)), expected);
    QCOMPARE(c_buf[n], '\0');
}

void TestFirmwareTexts::statusLineRejectsSmallBuffers()
{
    const QByteArray line("Uptime 123 s, HardwareID Quadrel\r\n");
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    // Line and NUL fit exactly.
    QCOMPARE(quadrel_format_status(buf, static_cast<size_t>(line.size()) + 1, 123, 1), size_t(line.size()));
    QCOMPARE(QByteArray(buf), line);

    std::memset(buf, 'x', sizeof buf);
    QCOMPARE(quadrel_format_status(buf, static_cast<size_t>(line.size()), 123, 1), size_t(0));
    QCOMPARE(buf[0], 'x'); // nothing written
    QCOMPARE(quadrel_format_status(nullptr, sizeof buf, 1, 0), size_t(0));
    QCOMPARE(quadrel_format_status(buf, 0, 1, 0), size_t(0));
}

void TestFirmwareTexts::encodeKnownFrame()
{
    const QByteArray expected = QByteArray::fromHex("AA0500F00200616246FE");
    QCOMPARE(encode("ab"), expected);

    uint8_t out[QUADREL_TLV_FRAME_MAX(2)];
    const size_t n = texts_c_encode("ab", 2, out, sizeof out);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), static_cast<int>(n)), expected);

    // An empty text is still one item of length zero.
    QCOMPARE(encode(QByteArray()), QByteArray::fromHex("AA0300F00000"
                                                       "0DFF"));
}

void TestFirmwareTexts::encodeEscapesHeadAndEscapeBytes()
{
    // 0xAA and 0x55 as text, and a length of 0x55 (text of 0x52 bytes) in the header.
    QCOMPARE(encode(QByteArray("\xaa\x55", 2)), QByteArray::fromHex("AA0500F00200558A55750AFE"));

    const QByteArray text(0x52, 'a');
    const QByteArray frame = encode(text);
    QVERIFY(frame.startsWith(QByteArray::fromHex("AA557500F0520061")));
    QCOMPARE(frame.count('\xaa'), 1);

    TlvFeeder loader;
    QCOMPARE(loader.feed(frame), text);
}

void TestFirmwareTexts::encodeRoundTripsThroughBothDecoders()
{
    QRandomGenerator random(20240603u);
    TlvFeeder loader;
    FrameCheck strict;
    QByteArray allTexts;
    QByteArray stream;
    for (int round = 0; round < 300; ++round) {
        const int length = round < 260 ? round : static_cast<int>(random.bounded(3000));
        QByteArray text(length, '\0');
        for (int i = 0; i < length; ++i) {
            // Mostly head and escape bytes, so every escape path is taken.
            const quint32 pick = random.bounded(4u);
            text[i] = static_cast<char>(pick == 0 ? 0xAA : pick == 1 ? 0x55 : random.bounded(256u));
        }
        const QByteArray frame = encode(text);
        QVERIFY(!frame.isEmpty());
        QVERIFY(static_cast<size_t>(frame.size()) <= QUADREL_TLV_FRAME_MAX(static_cast<size_t>(length)));
        QCOMPARE(frame.count('\xaa'), 1);
        QCOMPARE(frame.at(0), '\xaa');

        std::vector<uint8_t> c_out(QUADREL_TLV_FRAME_MAX(static_cast<size_t>(length)));
        const size_t c_n = texts_c_encode(text.constData(), static_cast<size_t>(length), c_out.data(), c_out.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(c_out.data()), static_cast<int>(c_n)), frame);

        stream += frame;
        allTexts += text;
    }
    // Fed in uneven pieces, so frames and escapes are split across calls.
    QByteArray decoded;
    for (int at = 0; at < stream.size();) {
        const int piece = 1 + static_cast<int>(random.bounded(700u));
        decoded += loader.feed(stream.mid(at, piece));
        strict.feed(stream.mid(at, piece));
        at += piece;
    }
    QCOMPARE(decoded, allTexts);
    QVERIFY2(strict.errors().isEmpty(), qPrintable(strict.errors().join('\n')));
    QCOMPARE(strict.frameCount(), 300);
    QCOMPARE(strict.texts().join(QString()).toLatin1(), allTexts);
}

void TestFirmwareTexts::encodeRejectsBadArguments()
{
    uint8_t out[64];
    std::memset(out, 0x11, sizeof out);
    QCOMPARE(quadrel_tlv_encode("abc", 3, out, QUADREL_TLV_FRAME_MAX(3) - 1), size_t(0));
    QCOMPARE(out[0], uint8_t(0x11));
    QCOMPARE(quadrel_tlv_encode("abc", 3, nullptr, sizeof out), size_t(0));
    QCOMPARE(quadrel_tlv_encode(nullptr, 3, out, sizeof out), size_t(0));
    QCOMPARE(quadrel_tlv_encode(nullptr, 0, out, sizeof out), size_t(8));

    // The item length shares the 16-bit frame length with its header.
    std::vector<uint8_t> big(QUADREL_TLV_FRAME_MAX(QUADREL_TLV_TEXT_MAX + 1u));
    std::vector<uint8_t> text(QUADREL_TLV_TEXT_MAX + 1u, 'z');
    QCOMPARE(quadrel_tlv_encode(text.data(), text.size(), big.data(), big.size()), size_t(0));
    const size_t n = quadrel_tlv_encode(text.data(), text.size() - 1u, big.data(), big.size());
    QVERIFY(n > text.size());
    FrameCheck strict;
    strict.feed(QByteArray(reinterpret_cast<const char*>(big.data()), static_cast<int>(n)));
    QVERIFY(strict.errors().isEmpty());
    QCOMPARE(strict.texts().value(0).size(), int(QUADREL_TLV_TEXT_MAX));
}

void TestFirmwareTexts::commandParser_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<int>>("events");
    const int id = QUADREL_COMMAND_IDENTITY;
    const int unknown = QUADREL_COMMAND_UNKNOWN;
    QTest::newRow("command") << QByteArray("setHWqd\r") << QList<int>{id};
    QTest::newRow("no carriage return yet") << QByteArray("setHWqd") << QList<int>{};
    QTest::newRow("line feed alone does not end") << QByteArray("setHWqd\n") << QList<int>{};
    QTest::newRow("CR LF twice") << QByteArray("setHWqd\r\nsetHWqd\r\n") << QList<int>{id, id};
    QTest::newRow("empty lines ignored") << QByteArray("\r\r\n\n\r") << QList<int>{};
    QTest::newRow("prefix") << QByteArray("xsetHWqd\r") << QList<int>{unknown};
    QTest::newRow("short") << QByteArray("setHWq\r") << QList<int>{unknown};
    QTest::newRow("long") << QByteArray("setHWqdd\r") << QList<int>{unknown};
    QTest::newRow("case") << QByteArray("SETHWQD\r") << QList<int>{unknown};
    QTest::newRow("overlong then command")
        << QByteArray(200, 's') + QByteArray("\rsetHWqd\r") << QList<int>{unknown, id};
    QTest::newRow("overlong ending in command") << QByteArray(40, 's') + QByteArray("setHWqd\r") << QList<int>{unknown};
    QTest::newRow("binary noise") << QByteArray("\xaa\x00\x55\xff\r", 5) << QList<int>{unknown};
}

void TestFirmwareTexts::commandParser()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<int>, events);
    QCOMPARE(commandEvents(input), events);

    int c_events[16];
    const int n = texts_c_command_events(input.constData(), static_cast<size_t>(input.size()), c_events, 16);
    QCOMPARE(QList<int>(c_events, c_events + n), events);
}

QTEST_APPLESS_MAIN(TestFirmwareTexts)
#include "tst_firmware_texts.moc"
