// Realtime timing of the virtual board: wire time per byte at the host's
// baud and frame, flash timings, 1 ms USB frames, and the bridge's transmit
// FIFO. Exact checks run on a manual clock; one check measures wall time,
// and only as a lower bound.

#include "tests/support/SimTestSupport.h"

#include <QElapsedTimer>

namespace {
const uint8_t ACK = 0x79;
const int64_t kMs = 1000000;
} // namespace

class TestSimTiming : public ManualRigSuite
{
    Q_OBJECT

    void start() { QVERIFY(m_rig.start(SimTiming::Realtime)); }
    // Moves the clock to the next whole millisecond (plus offset).
    void alignMs(int64_t offsetNs = 0)
    {
        const int64_t now = m_clock->nowNs();
        m_clock->setNs((now / kMs + 1) * kMs + offsetNs);
    }
    // Advances in 1 ms steps until a byte arrives; returns the time it took.
    int64_t untilReply(Bytes* reply, int64_t limitMs = 1000)
    {
        const int64_t from = m_clock->nowNs();
        for (int64_t i = 0; i < limitMs; ++i) {
            Bytes got = host().take();
            if (!got.empty()) {
                *reply = got;
                return m_clock->nowNs() - from;
            }
            m_clock->advanceMs(1);
        }
        return -1;
    }
    void syncAt115200()
    {
        QVERIFY(host().enterBootloader());
        alignMs();
        host().send({0x7F});
        Bytes reply;
        QCOMPARE(untilReply(&reply), 1 * kMs);
        COMPARE_BYTES(reply, Bytes{ACK});
    }

private slots:
    void cleanup() { m_rig.reset(); }

    void repliesComeWithTheNextUsbFrame()
    {
        start();
        syncAt115200();
        // Get ID: 2 bytes out, 5 back, 11 bits each at 115200: done after
        // 0.67 ms, visible with the frame at 1 ms.
        alignMs();
        host().send(commandFrame(0x02));
        m_clock->advanceNs(999999);
        QCOMPARE(host().waiting(), 0u);
        m_clock->advanceNs(1);
        COMPARE_BYTES(host().take(), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void aSlowerBaudTakesLonger()
    {
        start();
        QVERIFY(host().enterBootloader(9600));
        alignMs();
        host().send({0x7F});
        Bytes reply;
        // 2 x 11 bits at 9600 baud = 2.29 ms: visible at 3 ms.
        QCOMPARE(untilReply(&reply), 3 * kMs);
        COMPARE_BYTES(reply, Bytes{ACK});
    }

    void aFullDataFrameTakesItsWireAndProgrammingTime()
    {
        start();
        syncAt115200();
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{});
        m_clock->advanceMs(1);
        COMPARE_BYTES(host().take(), Bytes{ACK});
        alignMs();
        host().send({0xFF, 0x00});
        Bytes reply;
        // Mass erase: 30 ms plus the wire.
        const int64_t erase = untilReply(&reply);
        COMPARE_BYTES(reply, Bytes{ACK});
        QCOMPARE(erase, 31 * kMs);

        host().send(commandFrame(0x31));
        m_clock->advanceMs(1);
        COMPARE_BYTES(host().take(), Bytes{ACK});
        host().send(addressFrame(0x08000000));
        m_clock->advanceMs(1);
        COMPARE_BYTES(host().take(), Bytes{ACK});

        // 258 bytes x 11 bits at 115200 = 24.635 ms on the wire, 128
        // half-words x 52.5 us = 6.72 ms programming, then the ACK itself.
        alignMs();
        host().send(dataFrame(bytesOf(randomBytes(256, 5))));
        const int64_t took = untilReply(&reply);
        COMPARE_BYTES(reply, Bytes{ACK});
        const int64_t exact = 258 * simByteTimeNs(115200, BRIDGE_LINE_8E1) + 128 * kSimHalfWordProgramNs +
                              simByteTimeNs(115200, BRIDGE_LINE_8E1);
        QCOMPARE(took, (exact + kMs - 1) / kMs * kMs);
        QVERIFY(took >= 24600000);
    }

    void pageErasesTakeTheirTimeEach()
    {
        start();
        syncAt115200();
        host().send(commandFrame(0x43));
        m_clock->advanceMs(1);
        COMPARE_BYTES(host().take(), Bytes{ACK});
        alignMs();
        host().send(pageListFrame({1, 2, 3, 4}));
        Bytes reply;
        const int64_t took = untilReply(&reply);
        COMPARE_BYTES(reply, Bytes{ACK});
        QCOMPARE(took, 4 * kSimPageEraseNs + 1 * kMs);
    }

    void bytesWhileTheChipIsBusyOverrun()
    {
        start();
        syncAt115200();
        host().send(commandFrame(0x43));
        m_clock->advanceMs(1);
        host().take();
        host().send({0xFF, 0x00});
        m_clock->advanceMs(2);
        // Mid-erase: the first byte waits in the receive register, the
        // next two are lost.
        host().send({0x02, 0xFD, 0x02});
        m_clock->advanceMs(40);
        QCOMPARE(board().counters().overrunsAtChip, uint64_t(2));
        COMPARE_BYTES(host().take(), Bytes{ACK});
        host().send({0xFD});
        m_clock->advanceMs(1);
        COMPARE_BYTES(host().take(), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
    }

    void aLongWriteWaitsForTheFifo()
    {
        start();
        board().setFlash(0, bootableImage());
        QVERIFY(host().enterFirmware());
        alignMs();
        const int64_t before = m_clock->nowNs();
        uint32_t written = 0;
        const Bytes data(4096, 'x');
        QCOMPARE(m_backend->write(host().handle(), data.data(), 4096, &written), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(written, 4096u);
        // The call returns when only the FIFO's worth is left unsent.
        QCOMPARE(m_clock->nowNs() - before, int64_t(4096 - kSimBridgeTxFifo) * simByteTimeNs(115200, BRIDGE_LINE_8N1));
        // With the FIFO still full even a short write waits; once it has
        // drained, a short write returns at once.
        m_clock->advanceMs(60);
        const int64_t t = m_clock->nowNs();
        QCOMPARE(m_backend->write(host().handle(), "ab", 2, &written), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(m_clock->nowNs(), t);
    }

    void firmwareOutputIsPacedToo()
    {
        start();
        board().setFlash(0, bootableImage());
        QVERIFY(host().enterFirmware());
        const size_t greeting = QUADREL_TLV_FRAME_MAX(sizeof QUADREL_TEXT_GREETING); // an upper bound
        m_clock->advanceMs(1);
        // 1 ms holds 11 bytes at 115200 8N1.
        const uint32_t first = host().waiting();
        QVERIFY2(first >= 10 && first <= 12, QByteArray::number(first));
        QVERIFY(board().nextEventNs() - m_clock->nowNs() <= kMs); // more of it is on its way
        m_clock->advanceMs(1);
        const uint32_t second = host().waiting();
        QVERIFY2(second >= 21 && second <= 24, QByteArray::number(second));
        m_clock->advanceMs(10);
        QVERIFY(host().waiting() < greeting);
    }

    void nothingIsDueWhenNothingHappens()
    {
        start();
        QVERIFY(host().enterBootloader());
        QCOMPARE(board().nextEventNs(), std::numeric_limits<int64_t>::max());
        board().setFlash(0, bootableImage());
        QVERIFY(host().enterFirmware());
        m_clock->advanceMs(100);
        host().take();
        // The next status line, a second after the start.
        QCOMPARE(board().nextEventNs() - m_clock->nowNs(), 900 * kMs);
    }

    void wallClockLowerBound()
    {
        // The steady clock: a 258-byte frame at 115200 8E1 cannot be
        // answered sooner than its bytes take on the wire.
        SimOptions options = fastOptions();
        options.timing = SimTiming::Realtime;
        SimBridgeBackend backend(options);
        SimHost host(backend);
        QCOMPARE(host.open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host.enterBootloader());
        host.send({0x7F});
        COMPARE_BYTES(host.takeAtLeast(1), Bytes{ACK});
        host.send(commandFrame(0x31));
        COMPARE_BYTES(host.takeAtLeast(1), Bytes{ACK});
        host.send(addressFrame(0x20000200));
        COMPARE_BYTES(host.takeAtLeast(1), Bytes{ACK});
        QElapsedTimer timer;
        timer.start();
        host.send(dataFrame(bytesOf(randomBytes(256, 11))));
        COMPARE_BYTES(host.takeAtLeast(1), Bytes{ACK});
        const qint64 ns = timer.nsecsElapsed();
        QVERIFY2(ns >= 24600000, QByteArray::number(ns));
    }
};

QTEST_GUILESS_MAIN(TestSimTiming)
#include "tst_sim_timing.moc"
