#include "DeviceTestSupport.h"

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
