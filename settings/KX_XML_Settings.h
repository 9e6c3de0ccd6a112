#ifndef TIVAKO_SETTINGS_KX_XML_SETTINGS_H
#define TIVAKO_SETTINGS_KX_XML_SETTINGS_H

// The three values the loader remembers between runs, kept in Settings.xml
// in the user's application-data folder, and the copy of the built-in
// firmware image in the folder's "firmware" sub-folder. Values are read once
// at construction and written once at destruction. GUI thread only.

#include <QFile>
#include <QString>

class KX_XML_Settings
{
public:
    KX_XML_Settings();
    ~KX_XML_Settings();

    KX_XML_Settings(const KX_XML_Settings&) = delete;
    KX_XML_Settings& operator=(const KX_XML_Settings&) = delete;

    void readXMLFile();
    void writeXMLFile();

    QString getPathHexFile() const;
    void setPathHexFile(const QString& Path);
    QString getUsbDevName() const;
    void setUsbDevName(const QString& Name);
    void setDebugComMode(qint32 Mode);
    QString getPathQuadrelHexFile() const;

private:
    void prepareQuadrelHexFile();

    QString m_SettingsFolder;
    QFile m_SettingsFile;
    QFile m_QuadrelHexFile;
    QFile m_ResourceHexFile;
    QString m_PathHexFile;
    QString m_UsbDevName;
    qint32 m_DebugComMode;
};

#endif
