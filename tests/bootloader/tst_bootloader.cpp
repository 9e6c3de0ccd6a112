// The bootloader session through the device's worker thread against a virtual
// board: whole sessions, every way the chip's replies can go wrong, a board
// lost or stuck in reset, and start requests that cannot become a write.

#include "tests/support/SessionRig.h"

#include <QtTest>

#include <atomic>
#include <functional>

#include <sys/stat.h>

using Fault = std::function<void(SimBoard*)>;
Q_DECLARE_METATYPE(Fault)

class TestBootloader : public QObject
{
    Q_OBJECT

    static QByteArray msgLine(const QByteArray& text) { return "<br><b>" + text + "</b>\n"; }
    static QByteArray redLine(const QByteArray& text) { return msgLine("\x1b[31m" + text + "\x1b[0m"); }
    static QByteArray fail(const QByteArray& why) { return redLine("Bootloader Fail -> " + why); }
    static QByteArray notFound(const QString& p)
    {
        return redLine("Hex-File not found under-> \"" + p.toLatin1() + "\"");
    }
    const QByteArray kStart = msgLine("<br>Bootloader Start!!");
    const QByteArray kIdle = redLine("Bootloader IDEL -> set this->m_BootloaderActive = false");
    const QByteArray kGone = fail("disconnect \265C during write firmware!!"); // Latin-1
    const QByteArray kOld = randomBytes(4096, 99); // what the flash holds before a session
    // Stack pointer in RAM and reset vector in flash: an image that starts so runs.
    const QByteArray kVectors = QByteArray::fromHex("0050002001010008");
    QByteArray written(int blocks)
    {
        return kStart + msgLine("Write Firmware File:") + "\n*" + QByteArray(blocks, '*') + msgLine("");
    }

    // Reply bytes are counted from the sync ACK: 0 sync, 1-5 Get ID (ACK,
    // count, two ID bytes, ACK), 6 erase, 7 global erase, then for block k
    // (from 0) 8+3k Write Memory, 9+3k its address, 10+3k its data.
    static Fault silent(int after) { return [=](SimBoard* b) { b->silenceAfter(after); }; }
    // Reply byte `at` XORed with `mask` (0x66 turns an ACK into a NACK, 0x2c
    // into a stray 0x55), `times` bytes in a row.
    static Fault hit(int at, int mask, int times = 1)
    {
        return [=](SimBoard* b) { b->corruptBytes(SimDirection::ToHost, at, times, uint8_t(mask)); };
    }
    static Fault refuse(SimNackPhase phase, int command, qint64 address = kSimAnyAddress)
    {
        return [=](SimBoard* b) { b->nack(phase, command, address); };
    }

    QTemporaryDir m_dir;
    std::unique_ptr<LogCapture> m_log;
    std::shared_ptr<SimBridgeBackend> m_sim;
    std::unique_ptr<SessionRig> m_rig;

    SimBoard* board() const { return m_sim->board(0); }
    QByteArray flash() const { return fromBytes(board()->flash()).left(kOld.size()); }
    QString hexFile(const QByteArray& image, const QString& name = "image.hex")
    {
        return writeHexImage(m_dir.filePath(name), image) ? m_dir.filePath(name) : QString();
    }
    // One session from `path`: its finish results, none if they never came.
    QList<int> session(const QString& path)
    {
        m_rig->start(path);
        return m_rig->waitForFinishes(1) ? m_rig->finishes() : QList<int>();
    }
    // Out of reset, BOOT0 low, the firmware's line setting: never left in the bootloader.
    void verifyUserMode()
    {
        QCOMPARE(board()->latch() & 0x03, 0x03);
        QCOMPARE(board()->lineControl(), uint16_t(BRIDGE_LINE_8N1));
        QVERIFY(board()->mode() != SimBoardMode::Bootloader);
    }
    // `f` runs on the emitting thread: the worker, for the session's own signals.
    template <typename Signal, typename F> void direct(Signal signal, F f)
    {
        connect(&m_rig->device(), signal, &m_rig->device(), f, Qt::DirectConnection);
    }
    void atMessage(int nth, std::function<void()> f)
    {
        auto n = std::make_shared<std::atomic<int>>(0);
        direct(&KX_SI_USBXpressDev::SIGNAL_newDataAvailable, [=](quint8 type) {
            if (type == 1 && ++*n == nth)
                f();
        });
    }
    static void row(const char* name, Fault fault, const QByteArray& red, const QStringList& log, int stars,
                    int waitedMs, int hostBytes)
    {
        QTest::newRow(name) << fault << red << log << stars << waitedMs << hostBytes;
    }

private slots:
    void init()
    {
        m_log.reset(new LogCapture);
        m_sim = std::make_shared<SimBridgeBackend>();
        board()->setFlash(0, bytesOf(kOld));
        m_rig.reset(new SessionRig(m_sim));
        QVERIFY(m_rig->openFirstDevice());
    }
    void cleanup()
    {
        m_rig.reset();
        m_sim.reset();
        m_log.reset();
    }

    void writesTheImage_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("four blocks, the last one padded") << 1001;
        QTest::newRow("two whole blocks") << 512;
    }
    void writesTheImage()
    {
        QFETCH(int, size);
        const QByteArray image = kVectors + randomBytes(size - 8, quint32(size));
        QCOMPARE(session(hexFile(image)), QList<int>{1});
        // Erased first: nothing of the old contents is left past the image.
        QCOMPARE(flash(), image + QByteArray(kOld.size() - size, '\xff'));
        QCOMPARE(m_rig->messages(), written((size + 255) / 256));
        QCOMPARE(board()->mode(), SimBoardMode::Firmware);
        verifyUserMode();
        QCOMPARE(m_log->countContaining("ERROR["), 0);
    }

    // A reply that came in time counts, however late the worker reads it.
    void lateReadOfATimelyReply()
    {
        struct LateReader : SimBridgeBackend {
            std::atomic<bool> erase{false};
            BRIDGE_STATUS write(BRIDGE_HANDLE h, const void* b, uint32_t n, uint32_t* done) override
            {
                erase = erase || (n == 2 && memcmp(b, "\x43\xbc", 2) == 0);
                return SimBridgeBackend::write(h, b, n, done);
            }
            BRIDGE_STATUS checkRxQueue(BRIDGE_HANDLE h, uint32_t* n, uint32_t* status) override
            {
                const BRIDGE_STATUS result = SimBridgeBackend::checkRxQueue(h, n, status);
                if (*n > 0 && erase.exchange(false))
                    QThread::msleep(1100); // the erase's ACK is in; its 1 s wait ends meanwhile
                return result;
            }
        };
        cleanup();
        m_sim = std::make_shared<LateReader>();
        m_rig.reset(new SessionRig(m_sim));
        QVERIFY(m_rig->openFirstDevice());
        m_rig->start(hexFile(kVectors));
        QVERIFY(m_rig->waitForFinishes(1));
        QCOMPARE(m_rig->finishes(), QList<int>{1});
    }

    void failureEndsTheSession_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QByteArray>("red");  // the red failure message before the closing one
        QTest::addColumn<QStringList>("log"); // the session's error lines
        QTest::addColumn<int>("stars");       // progress shown before the failure
        QTest::addColumn<int>("waitedMs");    // reply waits that must have run their full time
        QTest::addColumn<int>("hostBytes");   // all the host sent: retries, and nothing after the failure
        const QByteArray sync = "EnterBootloader Time Error", t = "Time Error SM_FW_";
        const QByteArray id = t + "GetDeviceIDReceive ";
        const auto P = SimNackPhase::Command, A = SimNackPhase::Address, D = SimNackPhase::Data;
        row("sync: silence", silent(0), sync, {}, 0, 600, 6);
        row("sync: NACK", hit(0, 0x66, 6), sync, {}, 0, 600, 6);
        row("sync: stray byte", hit(0, 0x2c, 6), sync, {}, 0, 600, 6);
        row("Get ID: silence", silent(1), id + "0 Bytes", {}, 0, 1000, 3);
        row("Get ID: NACK", refuse(P, 0x02), id + "0 Bytes", {"SM_FW_GetDeviceIDSend NACK"}, 0, 1000, 3);
        row("Get ID: stray", hit(1, 0x2c), id + "3 Bytes", {"SM_FW_GetDeviceIDSend ACK1 miss"}, 0, 1000, 3);
        row("Get ID: stray closing ACK", hit(5, 0x2c), {}, {"SM_FW_GetDeviceIDSend ACK2 miss"}, 0, 0, 3);
        const Fault countFF = [](SimBoard* b) {
            b->replaceReply(0x02, {0x79, 0xff, 0x04, 0x10, 0x79}, SimRepeat::Always);
        };
        const Fault foreign = [](SimBoard* b) { b->setProductId(0x04ab); };
        row("Get ID: foreign product", foreign, "STM32 ID: 0x04ab not supported", {}, 0, 0, 13);
        row("Get ID: count byte 0xff", countFF, "STM32 ID: 0x0000 not supported", {}, 0, 0, 13);
        row("erase: silence", silent(6), t + "EraseReceive", {}, 0, 1000, 5);
        row("erase: NACK", refuse(P, 0x43), t + "EraseReceive", {}, 0, 1000, 5);
        row("erase: stray byte", hit(6, 0x2c), t + "EraseReceive", {}, 0, 1000, 5);
        row("global erase: silence", silent(7), t + "GlobalEraseReceive", {}, 0, 1000, 7);
        row("global erase: NACK", refuse(D, 0x43), t + "GlobalEraseReceive", {}, 0, 1000, 7);
        row("global erase: stray byte", hit(7, 0x2c), t + "GlobalEraseReceive", {}, 0, 1000, 7);
        row("Write Memory: silence", silent(8), t + "WriteFileReceiveCMD", {}, 1, 1000, 9);
        row("Write Memory: NACK", refuse(P, 0x31), {}, {"SM_FW_WriteFileReceiveCMD -> Get NACK 4"}, 1, 0, 9);
        row("Write Memory: stray byte", hit(8, 0x2c), t + "WriteFileReceiveCMD", {}, 1, 1000, 9);
        row("address: silence", silent(9), t + "WriteFileReceiveAddr", {}, 1, 1000, 14);
        row("address: NACK (2nd block)", refuse(A, 0x31, 0x08000100), {},
            {"SM_FW_WriteFileReceiveAddr -> Get NACK 3"}, 2, 0, 279);
        row("address: stray byte", hit(9, 0x2c), t + "WriteFileReceiveAddr", {}, 1, 1000, 14);
        row("data: silence", silent(10), t + "WriteFileReceiveData", {}, 1, 5000, 272);
        row("data: NACK (3rd block)", refuse(D, 0x31, 0x08000200), {},
            {"SM_FW_WriteFileReceiveData -> Get NACK 2"}, 3, 0, 802);
        row("data: stray byte", hit(10, 0x2c), t + "WriteFileReceiveData", {}, 1, 5000, 272);
    }
    void failureEndsTheSession()
    {
        QFETCH(Fault, fault);
        QFETCH(QByteArray, red);
        QFETCH(QStringList, log);
        QFETCH(int, stars);
        QFETCH(int, waitedMs);
        QFETCH(int, hostBytes);
        fault(board());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(session(hexFile(randomBytes(1000, 11))), QList<int>{-1}); // four blocks
        // However fast the link answers, a reply wait lasts its full time.
        QVERIFY(clock.elapsed() >= waitedMs);
        const QByteArray messages = m_rig->messages();
        QVERIFY2(messages.startsWith(kStart), messages.constData());
        QVERIFY2(messages.endsWith((red.isEmpty() ? QByteArray() : fail(red)) + kIdle), messages.constData());
        QCOMPARE(messages.count(kIdle), 1);
        QCOMPARE(messages.count('*'), stars);
        QCOMPARE(m_log->errors("KX_SI_USBXpressDev::WriteFirmware_Handler"), log);
        QCOMPARE(board()->counters().bytesFromHost, uint64_t(hostBytes));
        verifyUserMode();
    }

    void boardThatCannotBeReleasedFromReset()
    {
        // The image is written, but the hand-back's line setting fails: held
        // in reset the board runs nothing, which is no success.
        m_sim->injectStatus(SimOp::SetLineControl, SI_DEVICE_IO_FAILED, SimRepeat::Once, 1);
        QCOMPARE(session(hexFile(randomBytes(1000, 11))), QList<int>{-1});
        QCOMPARE(m_rig->messages(),
                 written(4) + redLine("Board held in reset: it could not be released after writing"));
        QCOMPARE(board()->latch() & 0x01, 0x00);
    }

    void unplugMidWrite()
    {
        // Gone right after the first block's ACK (the fourth message).
        atMessage(4, [sim = m_sim] { sim->unplug(0); });
        QCOMPARE(session(hexFile(randomBytes(1000, 11))), QList<int>{-1});
        const QByteArray messages = m_rig->messages();
        QVERIFY2(messages.endsWith("\n**" + kGone), messages.constData());
        QCOMPARE(messages.count(kIdle), 0);
        QVERIFY(!m_rig->device().isConnected());
    }

    void requestDuringASessionRestartsIt()
    {
        // One session at a time: a request at the first session's second
        // block starts it over with the new image, and one result answers both.
        const QByteArray second = kVectors + randomBytes(1492, 9);
        const QString path = hexFile(second, "second.hex");
        atMessage(5, [rig = m_rig.get(), path] { rig->start(path); });
        QCOMPARE(session(hexFile(kVectors + randomBytes(2992, 8))), QList<int>{1});
        QCOMPARE(flash(), second + QByteArray(kOld.size() - second.size(), '\xff'));
        const QByteArray messages = m_rig->messages();
        QCOMPARE(messages.count(kStart), 2);
        QVERIFY2(messages.endsWith("\n*" + QByteArray(6, '*') + msgLine("")), messages.constData());
        verifyUserMode();
    }

    void refusalAfterASession()
    {
        // A refused request gets a result of its own, made while the ending session still hands the board
        // back (a monitor would wait for ever) as well as after it; an abort once the result is out changes nothing.
        const QString gone = m_dir.filePath("gone.hex");
        direct(&KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, [device = &m_rig->device(), gone](qint8 result) {
            device->abortFirmwareUpdate();
            if (result == 1)
                device->SLOT_StartFirmwareUpdate(gone);
        });
        m_rig->start(hexFile(randomBytes(700, 21)));
        QVERIFY(m_rig->waitForFinishes(2));
        m_rig->start(gone);
        QVERIFY(m_rig->waitForFinishes(3));
        QCOMPARE(m_rig->finishes(), (QList<int>{1, -1, -1}));
        QCOMPARE(m_rig->messages(), written(3) + notFound(gone) + kIdle + notFound(gone) + kIdle);
    }

    void refusedRequest_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("hex"); // written to path unless null
        QTest::addColumn<QByteArray>("expected");
        const QString missing = m_dir.filePath("nowhere.hex"), fifo = m_dir.filePath("pipe.hex");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QByteArray invalid = fail("invalid file path!!");
        QTest::newRow("no device open")
            << false << hexFile(kOld, "good.hex") << QByteArray() << fail("Device not connected!!") + kGone;
        QTest::newRow("missing file") << true << missing << QByteArray() << notFound(missing) + invalid;
        QTest::newRow("empty path") << true << QString() << QByteArray() << notFound(QString()) + invalid;
        QTest::newRow("folder") << true << m_dir.path() << QByteArray() << notFound(m_dir.path()) + invalid;
        // A FIFO would hold the worker in its open for good.
        QTest::newRow("FIFO") << true << fifo << QByteArray() << notFound(fifo) + invalid;
        // Refused before the chip is touched, data outside flash included.
        for (const auto& bad : {qMakePair(-6, QByteArray(":020000040800F2\r\n:0400000001020304F3\r\n")),
                                qMakePair(-7, QByteArray(":020000042000DA\r\n:0400000001020304F2\r\n"))})
            QTest::newRow(qPrintable(QString("error code %1").arg(bad.first)))
                << true << m_dir.filePath("bad.hex") << bad.second + ":00000001FF\r\n"
                << kStart + fail("ErrorCode " + QByteArray::number(bad.first)) + kIdle;
    }
    void refusedRequest()
    {
        // Each gets one result -1 and leaves the chip alone: nothing sent,
        // nothing erased.
        QFETCH(bool, open);
        QFETCH(QString, path);
        QFETCH(QByteArray, hex);
        QFETCH(QByteArray, expected);
        if (!open)
            m_rig->device().closeDev();
        if (!hex.isNull())
            QVERIFY(writeFile(path, hex));
        QCOMPARE(session(path), QList<int>{-1});
        QCOMPARE(m_rig->messages(), expected);
        QCOMPARE(board()->counters().bytesFromHost, uint64_t(0));
        QCOMPARE(flash(), kOld);
        QCOMPARE(board()->latch() & 0x03, 0x03);
    }
};

QTEST_GUILESS_MAIN(TestBootloader)
#include "tst_bootloader.moc"
