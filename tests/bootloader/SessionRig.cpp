#include "SessionRig.h"

#include "tests/hex/HexRecords.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

namespace {

const char kLabel[] = "KX_SI_USBXpressDev::WriteFirmware_Handler";

} // namespace

std::mutex LogCapture::s_mutex;
QStringList* LogCapture::s_lines = nullptr;

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines = &m_lines;
    }
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_lines = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_lines)
        s_lines->append(message);
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return m_lines;
}

int LogCapture::statusCount(const QString& message) const
{
    return lines().count(sessionStatusLine(message));
}

int LogCapture::errorCount(const QString& message) const
{
    return lines().count(sessionErrorLine(message));
}

int LogCapture::countContaining(const QString& part) const
{
    int n = 0;
    for (const QString& line : lines())
        n += line.contains(part) ? 1 : 0;
    return n;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    m_lines.clear();
}

QString sessionStatusLine(const QString& message)
{
    return QStringLiteral("STATUS[\x1b[32mZidiVevuro\x1b[0m]->") + kLabel + QStringLiteral(": ") + message;
}

QString sessionErrorLine(const QString& message)
{
    return QStringLiteral("\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m]->") + kLabel + QStringLiteral(": ") + message +
           QStringLiteral("\x1b[0m");
}

bool writeHexImage(const QString& path, const QByteArray& image)
{
    QByteArray text = hexrecords::linearBase(0x0800) + "\r\n";
    for (int offset = 0; offset < image.size(); offset += 16)
        text += hexrecords::record(0x00, static_cast<quint16>(offset), image.mid(offset, 16)) + "\r\n";
    text += hexrecords::record(0x01, 0, QByteArray()) + "\r\n";
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray image(size, '\0');
    for (char& c : image)
        c = static_cast<char>(generator.bounded(256));
    return image;
}

QByteArray redLine(const QByteArray& message)
{
    return msgLine("\x1b[31m" + message + "\x1b[0m");
}

QByteArray msgLine(const QByteArray& text)
{
    return "<br><b>" + text + "</b>\n";
}

SessionRig::SessionRig(std::shared_ptr<BridgeBackend> board) : m_proxy(std::make_shared<ProxyBackend>(board))
{
    bridgeInstallBackend(m_proxy);
    m_device = new KX_SI_USBXpressDev();
    connect(m_device, &KX_SI_USBXpressDev::SIGNAL_newDataAvailable, this, [this](quint8 type) {
        if (type == 1)
            takeMessages();
    });
    connect(m_device, &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this,
            [this](qint8 result) { m_finishes.append(result); });
}

SessionRig::~SessionRig()
{
    delete m_device;
    bridgeInstallBackend(nullptr);
}

bool SessionRig::openFirstDevice(int timeoutMs)
{
    if (!waitUntil([this] { return !m_device->getDeviceList().isEmpty(); }, timeoutMs))
        return false;
    if (m_device->openDevice(0) != 1)
        return false;
    m_proxy->clearEvents();
    return true;
}

bool SessionRig::waitForFinishes(int count, int timeoutMs)
{
    return waitUntil([this, count] { return m_finishes.size() >= count; }, timeoutMs);
}

bool SessionRig::waitForEnd(int timeoutMs)
{
    if (!waitForFinishes(1, timeoutMs))
        return false;
    pump(400);
    return true;
}

QByteArray SessionRig::messages()
{
    takeMessages();
    return m_messages;
}

int SessionRig::starCount()
{
    return messages().count('*');
}

void SessionRig::pump(int ms)
{
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + ms;
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (QDateTime::currentMSecsSinceEpoch() < deadline);
}

void SessionRig::takeMessages()
{
    const quint16 count = m_device->getMsgCount();
    for (quint16 i = 0; i < count; ++i) {
        quint8 byte = 0;
        if (m_device->getMsgByte(&byte) != 1)
            break;
        m_messages.append(static_cast<char>(byte));
    }
}

bool BoardSuite::setUpBoard()
{
    if (!m_dir.isValid())
        return false;
    m_log.reset(new LogCapture);
    m_sim = std::make_shared<SimBridgeBackend>(SimOptions());
    m_rig.reset(new SessionRig(m_sim));
    return true;
}

void BoardSuite::tearDownBoard()
{
    m_rig.reset();
    m_sim.reset();
    m_log.reset();
}

QString BoardSuite::hexFile(const QString& name, const QByteArray& image)
{
    const QString path = m_dir.filePath(name);
    return writeHexImage(path, image) ? path : QString();
}
