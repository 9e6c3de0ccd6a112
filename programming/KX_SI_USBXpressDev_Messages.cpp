// The program's own console messages: text goes into the message ring as
// 8-bit console text and the console is told with DataType 1.

#include "bridge/KX_SI_USBXpressDev.h"

#include <QByteArray>

namespace {

// One byte per character: its Latin-1 code, or 0 for a character outside
// Latin-1 (a surrogate pair is one character and gives one 0).
QByteArray consoleBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        bytes.append(c.unicode() <= 0xFF ? static_cast<char>(c.unicode()) : '\0');
    }
    return bytes;
}

} // namespace

void KX_SI_USBXpressDev::putMsgLine(QString text)
{
    putMsgText(QStringLiteral("<b>") + text + QStringLiteral("</b>\n"), true);
}

void KX_SI_USBXpressDev::putMsgText(QString text, bool lineBreak)
{
    QByteArray bytes = consoleBytes(text);
    if (lineBreak)
        bytes.prepend("<br>");
    // The ring takes at most 65535 bytes per call; it drops (and reports)
    // whatever does not fit anyway.
    for (int offset = 0; offset < bytes.size(); offset += 0xFFFF) {
        const int chunk = qMin(bytes.size() - offset, 0xFFFF);
        writeMsgRing(bytes.constData() + offset, static_cast<quint16>(chunk));
    }
    emit SIGNAL_newDataAvailable(1);
}
