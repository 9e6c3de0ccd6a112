#include "settings/KX_XML_Settings.h"

#include "app/Log.h"
#include "resources/TivakoResources.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

const char kQuadrelHexName[] = "RozazerEvu_1_0_54.hex";
const char kRootElement[] = "Settings";
const char kPathHexFileKey[] = "SettingsPathHexFile";
const char kUsbDevNameKey[] = "SettingsUsbDevName";
const char kDebugComModeKey[] = "SettingsDebugComMode";

QString modeText(qint32 mode)
{
    return QString::asprintf(" %d", mode);
}

// Unsigned decimal, white space around it ignored; anything else reads as 0.
qint32 parseMode(const QString& text)
{
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok, 10);
    return ok ? static_cast<qint32>(value) : 0;
}

} // namespace

KX_XML_Settings::KX_XML_Settings() : m_DebugComMode(0)
{
    const char* label = "KX_XML_Settings::KX_XML_Settings";
    tivakoInitResources(); // the firmware image is copied out of them

    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    if (!locations.isEmpty())
        m_SettingsFolder = locations.first();

    if (!m_SettingsFolder.isEmpty() && !QDir(m_SettingsFolder).exists()) {
        logStatus(label, "create Folder \"%s\"", qUtf8Printable(m_SettingsFolder));
        // With its parents: on a fresh account ~/.local/share is often
        // missing, and without it nothing could ever be stored.
        QDir().mkpath(m_SettingsFolder);
    }

    // Without a folder the name would point into the file-system root.
    if (!m_SettingsFolder.isEmpty())
        m_SettingsFile.setFileName(m_SettingsFolder + QLatin1String("/Settings.xml"));
    if (m_SettingsFolder.isEmpty() || !m_SettingsFile.open(QIODevice::ReadWrite))
        logError(label, "Unable to open settings file");

    m_DebugComMode = 0;
    m_PathHexFile.clear();
    m_UsbDevName.clear();
    readXMLFile();

    prepareQuadrelHexFile();
}

KX_XML_Settings::~KX_XML_Settings()
{
    if (m_SettingsFile.isOpen()) {
        writeXMLFile();
        logStatus("KX_XML_Settings::~KX_XML_Settings", "Close File");
        m_SettingsFile.close();
    }
}

void KX_XML_Settings::prepareQuadrelHexFile()
{
    const char* label = "KX_XML_Settings::KX_XML_Settings";
    if (m_SettingsFolder.isEmpty()) {
        logError(label, "Unable to open Quadrel hex file");
        return;
    }

    const QString firmwareFolder = m_SettingsFolder + QLatin1String("/firmware");
    if (!QDir(firmwareFolder).exists()) {
        logStatus(label, "create Folder \"%s/firmware\"", qUtf8Printable(m_SettingsFolder));
        QDir().mkdir(firmwareFolder);
    }

    m_QuadrelHexFile.setFileName(getPathQuadrelHexFile());
    // An empty copy is what a failed copy leaves behind; it is made again.
    // Any other content is left alone, it may be the user's own image.
    const QFileInfo copy(m_QuadrelHexFile.fileName());
    if (copy.exists() && (copy.size() > 0 || !copy.isFile()))
        return;

    logError(label, "Quadrel HexFile not exist");
    if (copy.isSymLink()) {
        // Writing through a link, dangling or not, would create or replace a
        // file wherever the link points.
        logError(label, "Unable to open Quadrel hex file");
        logError(label, "Quadrel hex file is a symbolic link: %s", qUtf8Printable(copy.filePath()));
        return;
    }
    m_ResourceHexFile.setFileName(QString::asprintf(":/hex/%s", kQuadrelHexName));
    if (!m_ResourceHexFile.open(QIODevice::ReadOnly)) {
        logError(label, "Unable to open Temp hex file");
        return;
    }
    const QByteArray image = m_ResourceHexFile.readAll();
    m_ResourceHexFile.close();
    // Written beside its place and renamed into it: a copy is whole or
    // absent, never partial.
    QSaveFile next(m_QuadrelHexFile.fileName());
    if (!next.open(QIODevice::WriteOnly)) {
        logError(label, "Unable to open Quadrel hex file");
        return;
    }
    bool written = next.write(image) == image.size() && next.flush();
    if (!written)
        next.cancelWriting();
    written = next.commit() && written;
    if (!written) {
        logError(label, "Unable to write Quadrel hex file");
        return;
    }
    logStatus(label, "Create New Quadrel Hex File");
}

void KX_XML_Settings::readXMLFile()
{
    const char* label = "KX_XML_Settings::readXMLFile";
    if (!m_SettingsFile.isOpen()) {
        logError(label, "File not open!");
        return;
    }

    QXmlStreamReader xml(&m_SettingsFile);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement() || xml.name() != QLatin1String(kRootElement))
            continue;
        // Inside Settings: the first end tag met by stepping ends it. The end
        // tag of a key whose text was read is consumed with the text.
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isEndElement())
                break;
            if (!xml.isStartElement())
                continue;
            const QStringRef name = xml.name();
            const bool isPath = name == QLatin1String(kPathHexFileKey);
            const bool isName = name == QLatin1String(kUsbDevNameKey);
            const bool isMode = name == QLatin1String(kDebugComModeKey);
            if (!isPath && !isName && !isMode)
                continue;
            const QString key = name.toString();
            const QString text = xml.readElementText();
            if (xml.hasError())
                break; // a key with child elements, or the document broke off
            QString shown = text;
            if (isPath) {
                m_PathHexFile = text;
            } else if (isName) {
                m_UsbDevName = text;
            } else {
                m_DebugComMode = parseMode(text);
                shown = modeText(m_DebugComMode);
            }
            logStatus(label, "SE: %s->\"%s\"", qUtf8Printable(key), qUtf8Printable(shown));
        }
    }
}

void KX_XML_Settings::writeXMLFile()
{
    const char* label = "KX_XML_Settings::writeXMLFile";
    logStatus(label, "Write Content");
    if (!m_SettingsFile.isOpen()) {
        logError(label, "File not open!");
        return;
    }

    QString document;
    QXmlStreamWriter xml(&document);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QLatin1String(kRootElement));
    xml.writeTextElement(QLatin1String(kPathHexFileKey), m_PathHexFile);
    xml.writeTextElement(QLatin1String(kUsbDevNameKey), m_UsbDevName);
    xml.writeTextElement(QLatin1String(kDebugComModeKey), modeText(m_DebugComMode));
    xml.writeEndElement();
    xml.writeEndDocument();

    // The whole new document goes into a file beside the old one, which it
    // then replaces in one step: a crash or a full disk during the write
    // leaves the old file as it was, never a truncated one.
    const QByteArray bytes = document.toUtf8();
    QSaveFile next(m_SettingsFile.fileName());
    // Where no temporary file can be made beside it (a folder the user may
    // not write, a file the user may), the file is rewritten in place.
    next.setDirectWriteFallback(true);
    bool written = next.open(QIODevice::WriteOnly) && next.write(bytes) == bytes.size();
    // The buffered bytes go out here; a failure at this point must stop the
    // replacement (the commit does not always notice it).
    if (written && !next.flush()) {
        written = false;
        next.cancelWriting();
    }
    if (!written || !next.commit()) {
        logError(label, "Unable to write settings file: %s", qUtf8Printable(next.errorString()));
        return;
    }
    // Keep the store's handle on the file that is now in place.
    m_SettingsFile.close();
    if (!m_SettingsFile.open(QIODevice::ReadWrite))
        logError(label, "Unable to open settings file");
}

QString KX_XML_Settings::getPathHexFile() const
{
    return m_PathHexFile;
}

void KX_XML_Settings::setPathHexFile(const QString& Path)
{
    m_PathHexFile = Path;
}

QString KX_XML_Settings::getUsbDevName() const
{
    return m_UsbDevName;
}

void KX_XML_Settings::setUsbDevName(const QString& Name)
{
    m_UsbDevName = Name;
}

void KX_XML_Settings::setDebugComMode(qint32 Mode)
{
    m_DebugComMode = Mode;
}

QString KX_XML_Settings::getPathQuadrelHexFile() const
{
    return m_SettingsFolder + QLatin1String("/firmware/") + QLatin1String(kQuadrelHexName);
}
