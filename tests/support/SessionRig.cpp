#include "SessionRig.h"


namespace {

const char kLabel[] = "KX_SI_USBXpressDev::WriteFirmware_Handler";

} // namespace

QString sessionStatusLine(const QString& message)
{
    return statusLine(kLabel, message);
}

QString sessionErrorLine(const QString& message)
{
    return errorLine(kLabel, message);
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
