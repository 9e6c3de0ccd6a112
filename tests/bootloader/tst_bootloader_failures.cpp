// Sessions that fail, each failure made by the virtual board's fault
// injection (or by a link that bends the bytes): the failure's own console
// message or log line, then the closing message, exactly one result -1, and
// the board handed back to its firmware with BOOT0 low.

#include "tests/support/SessionRig.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

using Bytes = ProxyBackend::Bytes;

enum Fault {
    SyncSilent,
    ParityForgotten,
    ForeignId,
    CountByteFF,
    GetIdCut,
    GetIdNack,
    GetIdFirstAckWrong,
    GetIdClosingAckWrong,
    EraseSilent,
    GlobalEraseSilent,
    WriteCommandNack,
    WriteAddressNack,
    WriteDataNack,
    WriteCommandSilent,
    WriteAddressSilent,
    WriteDataSilent,
    WriteCommandStray,
};

const QByteArray kIdle = redLine("Bootloader IDEL -> set this->m_BootloaderActive = false");

// 1000 bytes: four blocks. Bytes the chip sends before the write phase:
// sync ACK (1), Get ID reply (5), erase ACK (1), global-erase ACK (1).
const int kImageSize = 1000;
const int kRepliesBeforeWrite = 8;

} // namespace

class TestBootloaderFailures : public BoardSuite
{
    Q_OBJECT

private:
    QString imageFile() { return hexFile("image.hex", randomBytes(kImageSize, 11)); }
    int bootEntries()
    {
        int n = 0;
        for (const ProxyBackend::Event& e : m_rig->proxy().events())
            n += (e.kind == ProxyBackend::Event::Latch && e.mask == 0x02 && e.value == 0x00) ? 1 : 0;
        return n;
    }
    void verifyUserMode()
    {
        QCOMPARE(board()->latch() & 0x03, 0x03);
        QCOMPARE(board()->lineControl(), uint16_t(BRIDGE_LINE_8N1));
        QVERIFY(board()->mode() != SimBoardMode::Bootloader);
    }

private slots:
    void init()
    {
        QVERIFY(setUpBoard());
        QVERIFY(m_rig->openFirstDevice());
    }
    void cleanup() { tearDownBoard(); }

    void failureEndsTheSession_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("message"); // red console message before the closing one
        QTest::addColumn<QString>("logLine");    // error line of the failure
        QTest::addColumn<int>("stars");          // stars shown before the failure
        QTest::addColumn<int>("killed");         // reply bytes left over for the ending to drop
        QTest::addColumn<int>("waitedMs");       // the reply waits that must have run out first

        QTest::newRow("no sync reply") << int(SyncSilent) << redLine("Bootloader Fail -> EnterBootloader Time Error")
                                       << QString() << 0 << 0 << 600;
        QTest::newRow("loader without even parity")
            << int(ParityForgotten) << redLine("Bootloader Fail -> EnterBootloader Time Error") << QString() << 0 << 0
            << 600;
        QTest::newRow("foreign product ID")
            << int(ForeignId) << redLine("Bootloader Fail -> STM32 ID: 0x04ab not supported") << QString() << 0 << 1
            << 0;
        QTest::newRow("count byte 0xff") << int(CountByteFF)
                                         << redLine("Bootloader Fail -> STM32 ID: 0x0000 not supported") << QString()
                                         << 0 << 3 << 0;
        QTest::newRow("Get ID reply cut short")
            << int(GetIdCut) << redLine("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive 2 Bytes") << QString()
            << 0 << 2 << 1000;
        QTest::newRow("Get ID refused") << int(GetIdNack)
                                        << redLine("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive 0 Bytes")
                                        << QString("SM_FW_GetDeviceIDSend NACK") << 0 << 0 << 1000;
        QTest::newRow("Get ID first ACK wrong")
            << int(GetIdFirstAckWrong) << redLine("Bootloader Fail -> Time Error SM_FW_GetDeviceIDReceive 3 Bytes")
            << QString("SM_FW_GetDeviceIDSend ACK1 miss") << 0 << 3 << 1000;
        QTest::newRow("Get ID closing ACK wrong")
            << int(GetIdClosingAckWrong) << QByteArray() << QString("SM_FW_GetDeviceIDSend ACK2 miss") << 0 << 0 << 0;
        QTest::newRow("no erase reply") << int(EraseSilent)
                                        << redLine("Bootloader Fail -> Time Error SM_FW_EraseReceive") << QString() << 0
                                        << 0 << 1000;
        QTest::newRow("no global-erase reply")
            << int(GlobalEraseSilent) << redLine("Bootloader Fail -> Time Error SM_FW_GlobalEraseReceive") << QString()
            << 0 << 0 << 1000;
        QTest::newRow("Write Memory refused") << int(WriteCommandNack) << QByteArray()
                                              << QString("SM_FW_WriteFileReceiveCMD -> Get NACK 4") << 1 << 0 << 0;
        QTest::newRow("address refused") << int(WriteAddressNack) << QByteArray()
                                         << QString("SM_FW_WriteFileReceiveAddr -> Get NACK 3") << 2 << 0 << 0;
        QTest::newRow("data refused") << int(WriteDataNack) << QByteArray()
                                      << QString("SM_FW_WriteFileReceiveData -> Get NACK 2") << 3 << 0 << 0;
        QTest::newRow("no Write Memory reply")
            << int(WriteCommandSilent) << redLine("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveCMD")
            << QString() << 1 << 0 << 1000;
        QTest::newRow("no address reply")
            << int(WriteAddressSilent) << redLine("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveAddr")
            << QString() << 1 << 0 << 1000;
        // A byte that is neither ACK nor NACK is no answer: the wait goes on.
        QTest::newRow("stray byte for Write Memory's ACK")
            << int(WriteCommandStray) << redLine("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveCMD")
            << QString() << 1 << 0 << 1000;
        QTest::newRow("no data reply") << int(WriteDataSilent)
                                       << redLine("Bootloader Fail -> Time Error SM_FW_WriteFileReceiveData")
                                       << QString() << 1 << 0 << 5000;
    }
    void failureEndsTheSession()
    {
        QFETCH(int, fault);
        QFETCH(QByteArray, message);
        QFETCH(QString, logLine);
        QFETCH(int, stars);
        QFETCH(int, killed);
        QFETCH(int, waitedMs);

        SimBoard* b = board();
        switch (Fault(fault)) {
        case SyncSilent:
            b->silenceAfter(0);
            break;
        case ParityForgotten:
            m_rig->proxy().rewriteLineControl(BRIDGE_LINE_8E1, BRIDGE_LINE_8N1);
            break;
        case ForeignId:
            b->setProductId(0x04ab);
            break;
        case CountByteFF:
            b->replaceReply(0x02, {0x79, 0xff, 0x04, 0x10, 0x79}, SimRepeat::Always);
            break;
        case GetIdCut:
            b->silenceAfter(1 + 3);
            break;
        case GetIdNack:
            b->nack(SimNackPhase::Command, 0x02);
            break;
        case GetIdFirstAckWrong:
            b->corruptBytes(SimDirection::ToHost, 1, 1, 0xff);
            break;
        case GetIdClosingAckWrong:
            b->corruptBytes(SimDirection::ToHost, 1 + 4, 1, 0xff);
            break;
        case EraseSilent:
            b->silenceAfter(1 + 5);
            break;
        case GlobalEraseSilent:
            b->silenceAfter(1 + 5 + 1);
            break;
        case WriteCommandNack:
            b->nack(SimNackPhase::Command, 0x31);
            break;
        case WriteAddressNack:
            b->nack(SimNackPhase::Address, 0x31, 0x08000100);
            break;
        case WriteDataNack:
            b->nack(SimNackPhase::Data, 0x31, 0x08000200);
            break;
        case WriteCommandSilent:
            b->silenceAfter(kRepliesBeforeWrite);
            break;
        case WriteCommandStray:
            b->replaceReply(0x31, {0x55});
            break;
        case WriteAddressSilent:
            b->silenceAfter(kRepliesBeforeWrite + 1);
            break;
        case WriteDataSilent:
            b->silenceAfter(kRepliesBeforeWrite + 2);
            break;
        }

        QElapsedTimer clock;
        clock.start();
        m_rig->start(imageFile());
        QVERIFY(m_rig->waitForEnd(60000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        // Time-outs last their full time, however fast the link answers.
        QVERIFY(clock.elapsed() >= waitedMs);

        const QByteArray messages = m_rig->messages();
        QVERIFY2(messages.startsWith(msgLine("<br>Bootloader Start!!")), messages.constData());
        QVERIFY2(messages.endsWith(message + kIdle), messages.constData());
        QCOMPARE(messages.count(kIdle), 1);
        QCOMPARE(m_rig->starCount(), stars);
        if (!logLine.isEmpty())
            QCOMPARE(m_log->count(sessionErrorLine(logLine)), 1);
        verifyUserMode();

        const std::vector<Bytes> writes = m_rig->proxy().writes();
        switch (Fault(fault)) {
        case SyncSilent:
        case ParityForgotten:
            // Six attempts, each after entering boot mode anew.
            QCOMPARE(m_rig->proxy().writeCount({0x7f}), size_t(6));
            QCOMPARE(bootEntries(), 6);
            QVERIFY(!b->bootloaderSynchronised());
            if (Fault(fault) == ParityForgotten)
                QVERIFY(b->counters().lineErrorsAtChip >= 6);
            break;
        case ForeignId:
        case CountByteFF:
            QCOMPARE(m_rig->proxy().writeCount({0x02, 0xfd}), size_t(6));
            QCOMPARE(m_rig->proxy().writeCount({0x7f}), size_t(1));
            QCOMPARE(m_rig->proxy().writeCount({0x43, 0xbc}), size_t(0));
            break;
        case GetIdNack:
        case GetIdCut:
            QCOMPARE(m_rig->proxy().writeCount({0x02, 0xfd}), size_t(1));
            if (Fault(fault) == GetIdCut)
                QCOMPARE(m_log->count(sessionErrorLine("SM_FW_GetDeviceIDSend NACK")), 0);
            break;
        default:
            break;
        }
        // No erase unless the chip was identified.
        if (fault <= GetIdClosingAckWrong) {
            QCOMPARE(m_rig->proxy().writeCount({0x43, 0xbc}), size_t(0));
        }
        QCOMPARE(m_log->count(sessionStatusLine("KILL Byte!")), killed);
    }

    void boardThatCannotBeReleasedFromReset()
    {
        // The whole image is written, but the hand-back to user mode fails:
        // the board is held in reset and runs nothing, which is no success.
        m_rig->proxy().failLineControl(BRIDGE_LINE_8N1);
        m_rig->start(imageFile());
        QVERIFY(m_rig->waitForEnd(60000));
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        const QByteArray messages = m_rig->messages();
        QVERIFY2(messages.endsWith(redLine("Board held in reset: it could not be released after writing")),
                 messages.constData());
        QCOMPARE(board()->latch() & 0x01, 0x00);
    }

    void unplugMidWrite()
    {
        // The board vanishes right after the second data block went out.
        int dataFrames = 0;
        std::shared_ptr<SimBridgeBackend> sim = m_sim;
        m_rig->proxy().setWriteHook([&dataFrames, sim](const Bytes& frame) {
            if (frame.size() == 258 && ++dataFrames == 2)
                sim->unplug(0);
        });
        m_rig->start(imageFile());
        QVERIFY(m_rig->waitForEnd(60000));
        m_rig->proxy().setWriteHook(nullptr);
        QCOMPARE(m_rig->finishes(), QList<int>{-1});
        const QByteArray messages = m_rig->messages();
        QVERIFY2(messages.endsWith(redLine("Bootloader Fail -> disconnect \xb5"
                                           "C during write firmware!!")),
                 messages.constData());
        QCOMPARE(messages.count(kIdle), 0);
        QVERIFY(!m_rig->device().isConnected());
        // The board was not reset: no reset after boot mode was entered.
        const std::vector<ProxyBackend::Event> events = m_rig->proxy().events();
        int latchAfterBoot = 0;
        bool boot = false;
        for (const ProxyBackend::Event& e : events) {
            if (e.kind != ProxyBackend::Event::Latch)
                continue;
            if (e.mask == 0x02)
                boot = e.value == 0x00;
            else if (boot && e.mask == 0x01 && e.value == 0x00)
                ++latchAfterBoot;
        }
        QVERIFY(boot);
        QCOMPARE(latchAfterBoot, 0);
    }
};

QTEST_GUILESS_MAIN(TestBootloaderFailures)
#include "tst_bootloader_failures.moc"
