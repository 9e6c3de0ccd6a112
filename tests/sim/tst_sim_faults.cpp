// Every fault a test can arm on the virtual board and its bridge.

#include "tests/support/SimTestSupport.h"

namespace {
const uint8_t ACK = 0x79, NACK = 0x1F;
const Bytes kGetIdReply = {ACK, 0x01, 0x04, 0x10, ACK};
} // namespace

class TestSimFaults : public ManualRigSuite
{
    Q_OBJECT

    void start(SimTiming timing = SimTiming::Fast) { QVERIFY(m_rig.start(timing)); }
    void startInBootloader()
    {
        start();
        QVERIFY(host().enterBootloader());
        QVERIFY(host().sync());
    }
    void startInFirmware(SimTiming timing = SimTiming::Fast)
    {
        start(timing);
        board().setFlash(0, bootableImage());
        QVERIFY(host().enterFirmware());
    }

    // Calls op once with valid arguments on the open handle.
    BRIDGE_STATUS call(SimOp op)
    {
        BridgeBackend& b = *m_backend;
        BRIDGE_HANDLE h = host().handle();
        uint32_t n = 0, s = 0;
        uint8_t byte = 0;
        char text[BRIDGE_MAX_PRODUCT_STRING];
        BRIDGE_HANDLE other = nullptr;
        switch (op) {
        case SimOp::GetNumDevices:
            return b.getNumDevices(&n);
        case SimOp::GetProductString:
            return b.getProductString(0, text, SI_RETURN_DESCRIPTION);
        case SimOp::Open: {
            // The board is open already: a fresh board answers success.
            size_t index = m_backend->addBoard();
            BRIDGE_STATUS status = b.open(uint32_t(index), &other);
            if (status == SI_SUCCESS)
                b.close(other);
            return status;
        }
        case SimOp::Close: {
            BRIDGE_STATUS status = b.close(h);
            if (status == SI_SUCCESS) {
                host().forget();
                host().open();
            }
            return status;
        }
        case SimOp::SetBaudRate:
            return b.setBaudRate(h, 115200);
        case SimOp::SetLineControl:
            return b.setLineControl(h, BRIDGE_LINE_8N1);
        case SimOp::WriteLatch:
            return b.writeLatch(h, 0x04, 0x04);
        case SimOp::CheckRxQueue:
            return b.checkRxQueue(h, &n, &s);
        case SimOp::Read:
            return b.read(h, &byte, 1, &n);
        case SimOp::Write:
            return b.write(h, "x", 1, &n);
        case SimOp::FlushBuffers:
            return b.flushBuffers(h, 1, 1);
        }
        return SI_SUCCESS;
    }

private slots:
    void cleanup() { m_rig.reset(); }

    // ---- statuses of the bridge operations ----

    void anOperationReturnsAChosenStatus_data()
    {
        QTest::addColumn<int>("op");
        for (SimOp op : {SimOp::GetNumDevices, SimOp::GetProductString, SimOp::Open, SimOp::Close, SimOp::SetBaudRate,
                         SimOp::SetLineControl, SimOp::WriteLatch, SimOp::CheckRxQueue, SimOp::Read, SimOp::Write,
                         SimOp::FlushBuffers})
            QTest::newRow(simOpName(op)) << int(op);
    }
    void anOperationReturnsAChosenStatus()
    {
        QFETCH(int, op);
        start();
        const SimOp which = SimOp(op);
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SUCCESS));

        m_backend->injectStatus(which, SI_SYSTEM_ERROR_CODE);
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SYSTEM_ERROR_CODE));
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SUCCESS));

        m_backend->injectStatus(which, SI_DEVICE_IO_FAILED, SimRepeat::Always, 2);
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SUCCESS));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(call(which), BRIDGE_STATUS(SI_DEVICE_IO_FAILED));
        // Other operations are not affected.
        SimOp other = which == SimOp::GetNumDevices ? SimOp::GetProductString : SimOp::GetNumDevices;
        QCOMPARE(call(other), BRIDGE_STATUS(SI_SUCCESS));
        m_backend->clearInjectedStatuses();
        QCOMPARE(call(which), BRIDGE_STATUS(SI_SUCCESS));
    }

    void anInjectedStatusLeavesEverythingAsItWas()
    {
        start();
        uint32_t n = 77;
        m_backend->injectStatus(SimOp::GetNumDevices, SI_DEVICE_NOT_FOUND);
        QCOMPARE(m_backend->getNumDevices(&n), BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        QCOMPARE(n, 77u);
        m_backend->injectStatus(SimOp::WriteLatch, SI_DEVICE_IO_FAILED);
        QVERIFY(!host().latch(0x01, 0x00));
        QCOMPARE(board().mode(), SimBoardMode::Halted); // not held in reset
        QCOMPARE(int(board().latch()), 0xFF);
        m_backend->injectStatus(SimOp::Write, SI_WRITE_TIMED_OUT);
        QVERIFY(host().enterBootloader());
        QCOMPARE(host().send({0x7F}), BRIDGE_STATUS(SI_WRITE_TIMED_OUT));
        QCOMPARE(host().take(), Bytes{});
        QVERIFY(host().sync());
    }

    // ---- bytes on the wire ----

    void bytesDroppedOnTheWayToTheChip()
    {
        start();
        QVERIFY(host().enterBootloader());
        board().dropBytes(SimDirection::ToBoard, 0, 1);
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{});
        QVERIFY(host().sync());
        // Skip one byte, drop the next: Get ID loses its complement.
        board().dropBytes(SimDirection::ToBoard, 1, 1);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{});
        // Out of step now: 0x02 is taken as the complement, 0xFD as the next
        // command, whose complement 0x02 then is, and so on.
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{NACK});
        // One single byte brings host and chip back in step.
        COMPARE_BYTES(host().exchange({0x00}), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
        QCOMPARE(board().counters().droppedByFault, uint64_t(2));
    }

    void bytesDroppedOnTheWayToTheHost()
    {
        startInBootloader();
        board().dropBytes(SimDirection::ToHost, 1, 2);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x10, ACK}));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
    }

    void bytesCorruptedEitherWay()
    {
        startInBootloader();
        board().corruptBytes(SimDirection::ToBoard, 1, 1, 0x01);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{NACK});
        board().corruptBytes(SimDirection::ToHost, 0, 1, 0x66);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{0x1F, 0x01, 0x04, 0x10, ACK}));
        board().corruptBytes(SimDirection::ToHost, 3, 2, 0xFF);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0xEF, 0x86}));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
        QCOMPARE(board().counters().corruptedByFault, uint64_t(4));
    }

    // ---- the bootloader's answers ----

    void aChosenCommandIsNacked()
    {
        startInBootloader();
        board().nack(SimNackPhase::Command, 0x31);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK}); // once only
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(dataFrame(Bytes(4, 0))), Bytes{ACK});

        board().nack(SimNackPhase::Command, 0x02, kSimAnyAddress, SimRepeat::Always);
        for (int i = 0; i < 3; ++i)
            COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x01)), (Bytes{ACK, 0x22, 0x00, 0x00, ACK}));
        board().clearFaults();
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
        board().nack(SimNackPhase::Command);
        QCOMPARE(int(host().exchange(commandFrame(0x00)).front()), int(NACK));
    }

    void aChosenAddressIsNacked()
    {
        startInBootloader();
        board().nack(SimNackPhase::Address, 0x31, 0x08000100);
        const Bytes block = dataFrame(Bytes(4, 0));
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(block), Bytes{ACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000100)), Bytes{NACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000100)), Bytes{ACK}); // once only
        COMPARE_BYTES(host().exchange(block), Bytes{ACK});
        // Read Memory and Go have their address phase too.
        board().nack(SimNackPhase::Address, 0x11);
        COMPARE_BYTES(host().exchange(commandFrame(0x11)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{NACK});
        board().nack(SimNackPhase::Address, kSimAnyCommand, 0x08000000);
        COMPARE_BYTES(host().exchange(commandFrame(0x21)), Bytes{ACK});
        COMPARE_BYTES(host().exchange(addressFrame(0x08000000)), Bytes{NACK});
        QCOMPARE(board().mode(), SimBoardMode::Bootloader);
    }

    void aChosenDataBlockIsNacked()
    {
        startInBootloader();
        board().nack(SimNackPhase::Data, 0x31, 0x08000200);
        for (uint32_t address : {0x08000100u, 0x08000200u}) {
            COMPARE_BYTES(host().exchange(commandFrame(0x31)), Bytes{ACK});
            COMPARE_BYTES(host().exchange(addressFrame(address)), Bytes{ACK});
            COMPARE_BYTES(host().exchange(dataFrame(Bytes(256, 0x5A))), Bytes{address == 0x08000200u ? NACK : ACK});
        }
        const Bytes flash = board().flash();
        QCOMPARE(int(flash[0x100]), 0x5A);
        QCOMPARE(int(flash[0x200]), 0xFF); // refused: nothing written
        // The erase codes are the Erase command's data.
        board().nack(SimNackPhase::Data, 0x43);
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0xFF, 0x00}), Bytes{NACK});
        QCOMPARE(int(board().flash()[0x100]), 0x5A);
        COMPARE_BYTES(host().exchange(commandFrame(0x43)), Bytes{ACK});
        COMPARE_BYTES(host().exchange({0xFF, 0x00}), Bytes{ACK});
    }

    void anotherProductIdAndReplacedReplies()
    {
        startInBootloader();
        board().setProductId(0x0414);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04, 0x14, ACK}));
        board().replaceReply(0x02, {ACK, 0xFF, ACK});
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0xFF, ACK}));
        board().replaceReply(0x02, {ACK, 0x01, 0x04}, SimRepeat::Always);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04}));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04}));
        board().clearFaults();
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), kGetIdReply);
    }

    void silenceAfterSomeBytes()
    {
        startInBootloader();
        board().silenceAfter(3);
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), (Bytes{ACK, 0x01, 0x04}));
        COMPARE_BYTES(host().exchange(commandFrame(0x02)), Bytes{});
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{});
        QCOMPARE(board().counters().silencedByFault, uint64_t(2 + 5));
        board().clearFaults();
        COMPARE_BYTES(host().exchange({0x7F}), Bytes{NACK}); // the chip heard everything meanwhile
    }

    // ---- unplugging ----

    void unplugAndReplugMidExchange()
    {
        startInBootloader();
        host().send(commandFrame(0x31));
        host().send(addressFrame(0x08000000));
        m_backend->unplug(0);
        uint32_t n = 0;
        const Bytes block = dataFrame(Bytes(4, 0));
        QCOMPARE(m_backend->write(host().handle(), block.data(), uint32_t(block.size()), &n),
                 BRIDGE_STATUS(SI_DEVICE_NOT_FOUND));
        m_backend->plug(0);
        QCOMPARE(host().close(), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(host().open(), BRIDGE_STATUS(SI_SUCCESS));
        QVERIFY(host().enterBootloader());
        QVERIFY(host().sync());
        QCOMPARE(int(board().flash()[0]), 0xFF);
    }

    // ---- flooding ----

    void floodAtAChosenRate()
    {
        startInFirmware();
        FrameReader reader;
        reader.feed(host().take());
        board().flood(2000);
        m_clock->advanceMs(1000);
        const Bytes bytes = host().take();
        const std::string text = reader.feed(bytes);
        // 2000 bytes a second of filler, plus the status line.
        QVERIFY2(bytes.size() >= 1990 && bytes.size() <= 2100, QByteArray::number(qulonglong(bytes.size())));
        const QStringList lines = QString::fromStdString(text).split("\r\n", Qt::SkipEmptyParts);
        int flood = 0;
        for (const QString& line : lines) {
            if (!line.startsWith("Flood "))
                continue;
            QCOMPARE(line, QString("Flood %1").arg(flood, 10, 10, QChar('0'))); // numbered, none lost
            ++flood;
        }
        QVERIFY(flood >= 70);
        board().flood(0);
        m_clock->advanceMs(2000);
        QCOMPARE(QString::fromStdString(reader.feed(host().take())).count("Flood"), 0);
    }

    void floodIsLimitedByTheLineAndOverrunsTheHost()
    {
        startInFirmware(SimTiming::Realtime);
        host().take();
        board().flood(1e9);
        m_clock->advanceMs(1000);
        const size_t second = host().take().size();
        // 115200 baud at 10 bits a byte: 11520 bytes a second at most.
        QVERIFY2(second >= 11400 && second <= 11520, QByteArray::number(qulonglong(second)));
        // Nobody reads for ten seconds: the host's queue runs over.
        m_clock->advanceMs(10000);
        uint32_t n = 0, status = 0;
        QCOMPARE(m_backend->checkRxQueue(host().handle(), &n, &status), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(n, uint32_t(kSimHostQueueCapacity));
        QCOMPARE(status, 3u); // ready and overrun
        QVERIFY(board().counters().overrunsAtHost > 40000);
        QCOMPARE(m_backend->checkRxQueue(host().handle(), &n, &status), BRIDGE_STATUS(SI_SUCCESS));
        QCOMPARE(status, 2u); // reported once
        // An hour unobserved with nobody connected costs no time.
        host().close();
        m_clock->advanceMs(3600 * 1000);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(board().mode(), SimBoardMode::Firmware);
        QVERIFY(timer.elapsed() < 1000);
    }
};

QTEST_GUILESS_MAIN(TestSimFaults)
#include "tst_sim_faults.moc"
