#include "MainWindowRig.h"

#include "settings/KX_XML_Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace rig {

void isolate()
{
    if (qEnvironmentVariableIsEmpty("TIVAKO_SHM_KEY"))
        qputenv("TIVAKO_SHM_KEY", "tivako-test-" + QByteArray::number(QCoreApplication::applicationPid()));
    if (qEnvironmentVariableIsEmpty("TIVAKO_TEST_TMP")) {
        static QTemporaryDir home;
        const QByteArray path = QFile::encodeName(home.path());
        qputenv("HOME", path);
        qputenv("XDG_DATA_HOME", path + "/.local/share");
        qputenv("XDG_CONFIG_HOME", path + "/.config");
        qputenv("XDG_CACHE_HOME", path + "/.cache");
        qputenv("TIVAKO_TEST_TMP", path);
    }
}

static QString settingsFile()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppDataLocation).value(0) + "/Settings.xml";
}

void removeSettings()
{
    QFile::remove(settingsFile());
}

void writeSettings(const QString& hexPath, const QString& deviceName)
{
    KX_XML_Settings settings;
    settings.setPathHexFile(hexPath);
    settings.setUsbDevName(deviceName);
}

QString storedSetting(const char* element)
{
    const QRegularExpression re(QStringLiteral("<%1>([^<]*)</%1>").arg(element));
    return re.match(QString::fromUtf8(readFile(settingsFile()))).captured(1);
}

std::shared_ptr<SimBridgeBackend> installBoards(int boards, SimOutput output)
{
    auto backend = std::make_shared<SimBridgeBackend>(SimOptions{boards, SimTiming::Fast, output, {}, {}});
    bridgeInstallBackend(backend);
    return backend;
}

SharedBlock::Snapshot Block::snapshot()
{
    if (!lock())
        return SharedBlock::Snapshot();
    const SharedBlock::Snapshot snap = SharedBlock::decode(static_cast<const uchar*>(m_Memory.constData()));
    m_Memory.unlock();
    return snap;
}

void Block::request(const QString& path)
{
    if (!lock())
        return;
    auto* b = static_cast<uchar*>(m_Memory.data());
    if (!path.isEmpty())
        SharedBlock::writeText(b, SharedBlock::kPath2Hexfile, SharedBlock::kPath2HexfileSize, path.toUtf8());
    SharedBlock::writeByte(b, SharedBlock::kProgrammingRequest, path.isEmpty() ? 0 : 1);
    m_Memory.unlock();
}

} // namespace rig
