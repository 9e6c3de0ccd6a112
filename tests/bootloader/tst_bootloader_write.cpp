// Whole programming sessions that succeed, run by the device's own worker
// thread against a virtual board: what lands in flash, what goes over the
// wire, what the console shows.

#include "tests/support/SessionRig.h"

#include <QtTest>

#include <condition_variable>
#include <mutex>

namespace {

using Bytes = ProxyBackend::Bytes;

// An image the board can boot: initial stack pointer in RAM, reset vector
// in flash, random bytes after that.
QByteArray bootableImage(int size, quint32 seed)
{
    QByteArray image = randomBytes(size, seed);
    const QByteArray vectors = QByteArray::fromHex("0050002001010008");
    image.replace(0, qMin(size, vectors.size()), vectors.left(size));
    return image;
}

QByteArray successMessages(int blocks)
{
    return msgLine("<br>Bootloader Start!!") + msgLine("Write Firmware File:") + "\n*" + QByteArray(blocks, '*') +
           msgLine("");
}

Bytes addressFrame(quint32 a)
{
    return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
            static_cast<uint8_t>(a), static_cast<uint8_t>((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
}

} // namespace

class TestBootloaderWrite : public BoardSuite
{
    Q_OBJECT

private:
    QByteArray flash(int size)
    {
        const std::vector<uint8_t> f = board()->flash();
        return QByteArray(reinterpret_cast<const char*>(f.data()), qMin<int>(size, static_cast<int>(f.size())));
    }
    // Data frames (the writes that follow an address frame's write).
    std::vector<Bytes> dataFrames()
    {
        std::vector<Bytes> frames;
        const std::vector<Bytes> all = m_rig->proxy().writes();
        for (size_t i = 1; i < all.size(); ++i) {
            if (all[i - 1] == Bytes{0x31, 0xce} && i + 1 < all.size())
                frames.push_back(all[i + 1]);
        }
        return frames;
    }
    std::vector<Bytes> addressFrames()
    {
        std::vector<Bytes> frames;
        const std::vector<Bytes> all = m_rig->proxy().writes();
        for (size_t i = 1; i < all.size(); ++i) {
            if (all[i - 1] == Bytes{0x31, 0xce})
                frames.push_back(all[i]);
        }
        return frames;
    }
    void verifyUserMode()
    {
        QCOMPARE(board()->latch() & 0x03, 0x03); // reset released, BOOT0 low
        QCOMPARE(board()->lineControl(), uint16_t(BRIDGE_LINE_8N1));
        QVERIFY(board()->mode() != SimBoardMode::Bootloader);
    }
    void runSession(const QString& path)
    {
        m_rig->start(path);
        QVERIFY(m_rig->waitForEnd(60000));
        QCOMPARE(m_rig->finishes(), QList<int>{1});
    }

private slots:
    void init()
    {
        QVERIFY(setUpBoard());
        QVERIFY(m_rig->openFirstDevice());
    }
    void cleanup() { tearDownBoard(); }

    void writesImageAndShowsProgress()
    {
        const QByteArray image = bootableImage(5000, 1);
        runSession(hexFile("a.hex", image));
        QCOMPARE(flash(5000), image);
        QCOMPARE(flash(6 * 1024).mid(5000), QByteArray(6 * 1024 - 5000, '\xff'));
        // 20 blocks: "\n*" and one star per block.
        QCOMPARE(m_rig->messages(), successMessages(20));
        QCOMPARE(m_rig->starCount(), 21);
        QCOMPARE(board()->mode(), SimBoardMode::Firmware);
        verifyUserMode();
        QCOMPARE(m_log->countContaining("ERROR["), 0);
        QCOMPARE(m_log->count(sessionStatusLine("KILL Byte!")), 0);
    }

    void framesOfThousandByteImage()
    {
        const QByteArray image = bootableImage(1000, 2);
        runSession(hexFile("b.hex", image));
        QCOMPARE(flash(1000), image);
        QCOMPARE(m_rig->starCount(), 5);

        const std::vector<Bytes> all = m_rig->proxy().writes();
        QVERIFY(all.size() >= 4 + 12);
        QCOMPARE(all[0], (Bytes{0x7f}));
        QCOMPARE(all[1], (Bytes{0x02, 0xfd}));
        QCOMPARE(all[2], (Bytes{0x43, 0xbc}));
        QCOMPARE(all[3], (Bytes{0xff, 0x00}));
        QCOMPARE(all.size(), size_t(4 + 12));

        const std::vector<Bytes> addresses = addressFrames();
        const std::vector<Bytes> data = dataFrames();
        QCOMPARE(addresses.size(), size_t(4));
        QCOMPARE(data.size(), size_t(4));
        const int sizes[4] = {256, 256, 256, 232};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(addresses[i], addressFrame(0x08000000u + 0x100u * i));
            QCOMPARE(data[i].size(), size_t(sizes[i] + 2));
            QCOMPARE(int(data[i][0]), sizes[i] - 1);
            uint8_t checksum = 0;
            for (size_t k = 0; k + 1 < data[i].size(); ++k)
                checksum ^= data[i][k];
            QCOMPARE(data[i].back(), checksum);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(data[i].data() + 1), sizes[i]),
                     image.mid(256 * i, sizes[i]));
        }
        QCOMPARE(data.front()[0], uint8_t(0xff));
        QCOMPARE(data.back()[0], uint8_t(0xe7));
        QCOMPARE(addresses[1], (Bytes{0x08, 0x00, 0x01, 0x00, 0x09}));
    }

    void exactlyTwoBlocks()
    {
        const QByteArray image = bootableImage(512, 3);
        runSession(hexFile("c.hex", image));
        QCOMPARE(flash(512), image);
        QCOMPARE(m_rig->messages(), successMessages(2));
        QCOMPARE(m_rig->starCount(), 3);
        const std::vector<Bytes> data = dataFrames();
        QCOMPARE(data.size(), size_t(2));
        QCOMPARE(data[0].size(), size_t(258));
        QCOMPARE(data[1].size(), size_t(258));
    }

    void oddSizedImageIsPadded_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1001 bytes") << 1001;
        QTest::newRow("3 bytes") << 3;
        QTest::newRow("258 bytes") << 258;
    }
    void oddSizedImageIsPadded()
    {
        QFETCH(int, size);
        const QByteArray image = randomBytes(size, 4);
        runSession(hexFile("d.hex", image));
        const int padded = (size + 3) / 4 * 4;
        QCOMPARE(flash(padded + 16), image + QByteArray(padded + 16 - size, '\xff'));
        const int blocks = (size + 255) / 256;
        QCOMPARE(m_rig->messages(), successMessages(blocks));
        const Bytes last = dataFrames().back();
        const int lastCount = padded - 256 * (blocks - 1);
        QCOMPARE(last.size(), size_t(lastCount + 2));
        QCOMPARE(int(last[0]), lastCount - 1);
        for (int i = size - 256 * (blocks - 1); i < lastCount; ++i)
            QCOMPARE(last[1 + i], uint8_t(0xff));
        // The chip refused nothing.
        for (const SimBootloaderEvent& e : board()->bootloaderEvents())
            QVERIFY(e.acked);
        verifyUserMode();
    }

    void bytesAfterTheLastAckAreDropped()
    {
        const QByteArray image = bootableImage(600, 5);
        // Three stray bytes right behind the ACK of the third (last) block.
        m_rig->proxy().appendAfterReply(90, 1, {0x11, 0x79, 0x1f});
        runSession(hexFile("e.hex", image));
        QCOMPARE(m_log->count(sessionStatusLine("KILL Byte!")), 3);
        QCOMPARE(flash(600), image);
        QCOMPARE(m_rig->messages(), successMessages(3));
    }

    void sessionsInARowStartAfresh()
    {
        // The first session leaves a booted firmware that talks on the line;
        // its output must not disturb the sessions after it.
        const QByteArray first = bootableImage(3000, 6);
        runSession(hexFile("f1.hex", first));
        QCOMPARE(board()->mode(), SimBoardMode::Firmware);
        pump(1200); // at least one status line from the firmware
        QVERIFY(m_rig->device().getRxCount() > 0);

        // The second session uses up its Get ID attempts on a foreign chip.
        board()->setProductId(0x0413);
        const QByteArray second = bootableImage(2000, 7);
        const QString secondPath = hexFile("f2.hex", second);
        m_rig->start(secondPath);
        QVERIFY(m_rig->waitForFinishes(2, 60000));
        QCOMPARE(m_rig->finishes(), (QList<int>{1, -1}));

        // The third one meets a board that ignores two synchronisations: it
        // still has all its attempts.
        board()->setProductId(0x0410);
        m_rig->proxy().replaceReply({0x7f}, 1, {0x1f}, 2);
        m_rig->start(secondPath);
        QVERIFY(m_rig->waitForFinishes(3, 60000));
        pump(400);
        QCOMPARE(m_rig->finishes(), (QList<int>{1, -1, 1}));
        QCOMPARE(flash(2000), second);
        QVERIFY(m_rig->messages().endsWith(successMessages(8)));
        verifyUserMode();
    }

    void requestDuringSessionRestartsIt()
    {
        const QByteArray first = bootableImage(20000, 8);
        const QByteArray second = bootableImage(1500, 9);
        const QString secondPath = hexFile("g2.hex", second);
        // The worker is held after its fourth data block until the second
        // request is in: a session that runs flat out would otherwise be
        // over before the test thread gets a look.
        std::mutex lock;
        std::condition_variable changed;
        bool held = false;
        bool released = false;
        int blocks = 0;
        m_rig->proxy().setWriteHook([&](const Bytes& frame) {
            if (frame.size() != 258 || ++blocks != 4)
                return;
            std::unique_lock<std::mutex> guard(lock);
            held = true;
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(30), [&] { return released; });
        });
        m_rig->start(hexFile("g1.hex", first));
        {
            std::unique_lock<std::mutex> guard(lock);
            QVERIFY(changed.wait_for(guard, std::chrono::seconds(30), [&] { return held; }));
        }
        m_rig->start(secondPath);
        {
            std::lock_guard<std::mutex> guard(lock);
            released = true;
        }
        changed.notify_all();
        QVERIFY(m_rig->waitForEnd(60000));
        m_rig->proxy().setWriteHook(nullptr);
        QCOMPARE(m_rig->finishes(), QList<int>{1});
        QCOMPARE(flash(20000), second + QByteArray(20000 - 1500, '\xff'));
        const QByteArray messages = m_rig->messages();
        QCOMPARE(messages.count(msgLine("<br>Bootloader Start!!")), 2);
        QVERIFY(messages.endsWith("\n*" + QByteArray(6, '*') + msgLine("")));
        verifyUserMode();
    }
};

QTEST_GUILESS_MAIN(TestBootloaderWrite)
#include "tst_bootloader_write.moc"
