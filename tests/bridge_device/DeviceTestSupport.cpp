#include "DeviceTestSupport.h"

#include "tests/tlv/TlvFrames.h"

namespace {

std::mutex g_logMutex;
QStringList g_lines;
bool g_capturing = false;

const char kTag[] = "ZidiVevuro";

} // namespace

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_lines.clear();
        g_capturing = true;
    }
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_capturing = false;
    g_lines.clear();
}

void LogCapture::handler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_capturing)
        g_lines.append(message);
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_lines;
}

int LogCapture::count(const QString& line) const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_lines.count(line);
}

QStringList LogCapture::withLabel(const char* label) const
{
    const QString marker = QStringLiteral("]->") + QLatin1String(label) + QStringLiteral(": ");
    QStringList result;
    for (const QString& line : lines()) {
        if (line.contains(marker))
            result.append(line);
    }
    return result;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_lines.clear();
}

QString errorLine(const char* label, const QString& message)
{
    return QStringLiteral("\x1b[31mERROR[\x1b[32m") + QLatin1String(kTag) + QStringLiteral("\x1b[31m]->") +
           QLatin1String(label) + QStringLiteral(": ") + message + QStringLiteral("\x1b[0m");
}

QString statusLine(const char* label, const QString& message)
{
    return QStringLiteral("STATUS[\x1b[32m") + QLatin1String(kTag) + QStringLiteral("\x1b[0m]->") +
           QLatin1String(label) + QStringLiteral(": ") + message;
}

QByteArray byteRun(int n, int from)
{
    QByteArray bytes;
    bytes.reserve(n);
    for (int i = 0; i < n; ++i)
        bytes.append(static_cast<char>(((from + i) * 7 + 3) % 251));
    return bytes;
}

std::vector<uint8_t> bytesOf(const QByteArray& bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

QByteArray tlvFrame(const QByteArray& text, uint8_t tag)
{
    return tlvframes::escape(tlvframes::frame(tlvframes::item(tag, text)));
}

namespace {

template <typename Count, typename Take> QByteArray drain(Count count, Take take)
{
    QByteArray out;
    const quint16 n = count();
    for (quint16 i = 0; i < n; ++i) {
        quint8 byte = 0;
        if (take(&byte) != 1)
            break;
        out.append(static_cast<char>(byte));
    }
    return out;
}

} // namespace

QByteArray drainRx(KX_SI_USBXpressDev& device)
{
    return drain([&] { return device.getRxCount(); }, [&](quint8* b) { return device.getRxByte(b); });
}

QByteArray drainMsg(KX_SI_USBXpressDev& device)
{
    return drain([&] { return device.getMsgCount(); }, [&](quint8* b) { return device.getMsgByte(b); });
}

QByteArray drainTlv(KX_SI_USBXpressDev& device)
{
    return drain([&] { return device.getTlvCount(); }, [&](quint8* b) { return device.getTlvByte(b); });
}

SignalLog::SignalLog(KX_SI_USBXpressDev* device) : m_device(device)
{
    connect(device, &KX_SI_USBXpressDev::SIGNAL_newDataAvailable, this, [this](quint8 type) {
        events.append(QStringLiteral("data%1").arg(type));
        if (!drainOnSignal)
            return;
        if (type == 0)
            rx.append(drainRx(*m_device));
        else if (type == 1)
            msg.append(drainMsg(*m_device));
        else if (type == 2)
            tlv.append(drainTlv(*m_device));
    });
    connect(device, &KX_SI_USBXpressDev::SIGNAL_connectionClosed, this,
            [this] { events.append(QStringLiteral("closed")); });
    connect(device, &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, this,
            [this] { events.append(QStringLiteral("list")); });
    connect(device, &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this,
            [this](qint8 result) { events.append(QStringLiteral("finish:%1").arg(result)); });
}
