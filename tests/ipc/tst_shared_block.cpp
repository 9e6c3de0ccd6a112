// Field reads and writes of the shared block and the watch loop's decisions,
// on plain memory.

#include "ipc/SharedBlock.h"

#include <QtTest>

#include <array>

using namespace SharedBlock;

namespace {

// A block with guard bytes on both sides, to see writes that stray.
struct GuardedBlock
{
    std::array<uchar, kBlockSize + 32> bytes;
    GuardedBlock() { bytes.fill(0xA5); }
    uchar* block() { return bytes.data() + 16; }
    bool guardsIntact() const
    {
        for (int i = 0; i < 16; ++i)
            if (bytes[size_t(i)] != 0xA5 || bytes[size_t(kBlockSize + 16 + i)] != 0xA5)
                return false;
        return true;
    }
};

} // namespace

class SharedBlockTest : public QObject
{
    Q_OBJECT

private slots:
    void utf8PrefixStopsAtCharacterBoundaries()
    {
        const QByteArray text = QString::fromUtf8("a\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80").toUtf8(); // 1+2+3+4 bytes
        QCOMPARE(utf8PrefixLength(text, 100), 10);
        QCOMPARE(utf8PrefixLength(text, 10), 10);
        QCOMPARE(utf8PrefixLength(text, 9), 6);
        QCOMPARE(utf8PrefixLength(text, 6), 6);
        QCOMPARE(utf8PrefixLength(text, 5), 3);
        QCOMPARE(utf8PrefixLength(text, 2), 1);
        QCOMPARE(utf8PrefixLength(text, 1), 1);
        QCOMPARE(utf8PrefixLength(text, 0), 0);
        QCOMPARE(utf8PrefixLength(QByteArray(), 5), 0);
    }

    void textFieldsNeverLeaveTheirPlace()
    {
        GuardedBlock g;
        std::fill(g.block(), g.block() + kBlockSize, uchar(0x11));
        QCOMPARE(writeText(g.block(), kNameOfConnectedDevice, kNameOfConnectedDeviceSize, QByteArray(400, 'n')),
                 int(kMaxNameBytes));
        QCOMPARE(g.block()[kBlockSize - 1], uchar(0));
        QVERIFY(g.guardsIntact());
        QCOMPARE(g.block()[kNameOfConnectedDevice - 1], uchar(0x11)); // the path's last byte

        // A shorter text clears the old tail.
        QCOMPARE(writeText(g.block(), kNameOfConnectedDevice, kNameOfConnectedDeviceSize, "abc"), 3);
        bool terminated = false;
        QCOMPARE(readText(g.block(), kNameOfConnectedDevice, kNameOfConnectedDeviceSize, &terminated),
                 QStringLiteral("abc"));
        QVERIFY(terminated);
        for (int i = kNameOfConnectedDevice + 3; i < kBlockSize; ++i)
            QCOMPARE(g.block()[i], uchar(0));

        // A NUL inside the text ends it.
        QCOMPARE(writeText(g.block(), kPath2Hexfile, kPath2HexfileSize, QByteArray("ab\0cd", 5)), 2);
        QCOMPARE(readText(g.block(), kPath2Hexfile, kPath2HexfileSize, &terminated), QStringLiteral("ab"));
        QCOMPARE(g.block()[kPath2Hexfile - 1], uchar(0x11)); // the connection flag
        QVERIFY(g.guardsIntact());
    }

    void pathWithoutEndIsNoPath()
    {
        GuardedBlock g;
        std::fill(g.block(), g.block() + kBlockSize, uchar('z'));
        bool valid = true;
        QCOMPARE(readPath2Hexfile(g.block(), &valid), QString());
        QVERIFY(!valid);
        bool terminated = true;
        QCOMPARE(readText(g.block(), kPath2Hexfile, kPath2HexfileSize, &terminated),
                 QString(kPath2HexfileSize, QLatin1Char('z')));
        QVERIFY(!terminated);

        g.block()[kPath2Hexfile + kPath2HexfileSize - 1] = 0;
        QCOMPARE(readPath2Hexfile(g.block(), &valid), QString(kMaxPathBytes, QLatin1Char('z')));
        QVERIFY(valid);
    }

    void integersAreLittleEndian()
    {
        GuardedBlock g;
        writeProgrammingResult(g.block(), -2);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(g.block() + kProgrammingResult), 4),
                 QByteArray("\xfe\xff\xff\xff", 4));
        QCOMPARE(readProgrammingResult(g.block()), -2);
        QCOMPARE(g.block()[kProgrammingResult - 1], uchar(0xA5));
        QCOMPARE(g.block()[kProgrammingResult + 4], uchar(0xA5));
    }

    void decodeReadsEveryField()
    {
        GuardedBlock g;
        std::fill(g.block(), g.block() + kBlockSize, uchar(0));
        g.block()[kStatusZuvodErirora] = 1;
        g.block()[kProgrammingRequest] = 1;
        writeProgrammingResult(g.block(), -1);
        g.block()[kStatusTivakoConnection] = 1;
        writeText(g.block(), kPath2Hexfile, kPath2HexfileSize, "/x/y.hex");
        writeText(g.block(), kNameOfConnectedDevice, kNameOfConnectedDeviceSize, "Dev");
        const Snapshot s = decode(g.block());
        QVERIFY(s.loaderPresent);
        QCOMPARE(int(s.programmingRequest), 1);
        QCOMPARE(s.programmingResult, -1);
        QVERIFY(s.boardConnected);
        QCOMPARE(s.path2Hexfile, QStringLiteral("/x/y.hex"));
        QVERIFY(s.pathTerminated);
        QCOMPARE(s.deviceName, QStringLiteral("Dev"));
        QVERIFY(s.nameTerminated);
    }

    void watchPassFollowsRequestAndResult()
    {
        GuardedBlock g;
        std::fill(g.block(), g.block() + kBlockSize, uchar(0));
        quint8 lastRequest = 0;
        qint32 lastResult = 0;

        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true).requestPending);
        g.block()[kProgrammingRequest] = 1;
        // Nobody listens yet: the request waits, however many passes go by.
        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true, false).requestPending);
        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true, false).requestPending);
        QCOMPARE(int(lastRequest), 0);
        QVERIFY(watchPass(g.block(), lastRequest, lastResult, true).requestPending);
        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true).requestPending);

        writeProgrammingResult(g.block(), 1);
        WatchEvents e = watchPass(g.block(), lastRequest, lastResult, true);
        QVERIFY(e.finished);
        QCOMPARE(e.result, 1);
        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true).finished);

        // The request ends after its result was seen: reset, nothing new.
        g.block()[kProgrammingRequest] = 0;
        e = watchPass(g.block(), lastRequest, lastResult, true);
        QVERIFY(e.idleReset);
        QVERIFY(!e.finished);
        QCOMPARE(readProgrammingResult(g.block()), 0);

        // The result arrives and the request ends before the next pass:
        // the result is still reported once, then reset.
        g.block()[kProgrammingRequest] = 1;
        QVERIFY(watchPass(g.block(), lastRequest, lastResult, true).requestPending);
        writeProgrammingResult(g.block(), -1);
        g.block()[kProgrammingRequest] = 0;
        e = watchPass(g.block(), lastRequest, lastResult, true);
        QVERIFY(e.finished);
        QCOMPARE(e.result, -1);
        QVERIFY(e.idleReset);
        QCOMPARE(readProgrammingResult(g.block()), 0);
        QVERIFY(!watchPass(g.block(), lastRequest, lastResult, true).finished);

        // Not present: no reset.
        g.block()[kProgrammingRequest] = 1;
        watchPass(g.block(), lastRequest, lastResult, false);
        writeProgrammingResult(g.block(), -1);
        QCOMPARE(watchPass(g.block(), lastRequest, lastResult, false).result, -1);
        g.block()[kProgrammingRequest] = 0;
        e = watchPass(g.block(), lastRequest, lastResult, false);
        QVERIFY(!e.idleReset);
        QCOMPARE(readProgrammingResult(g.block()), -1);
        QVERIFY(g.guardsIntact());
    }
};

QTEST_GUILESS_MAIN(SharedBlockTest)
#include "tst_shared_block.moc"
