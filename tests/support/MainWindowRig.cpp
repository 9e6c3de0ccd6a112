#include "MainWindowRig.h"

#include "programming/HexConversion.h"
#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QCoreApplication>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

namespace rig {

const char kWindow[] = "RidivuDizerozoDuveze::RidivuDizerozoDuveze";
const char kConnect[] = "RidivuDizerozoDuveze::on_m_pBConnect_clicked";

// ---------------------------------------------------------------------------
// Isolation

void isolate()
{
    if (qEnvironmentVariableIsEmpty("TIVAKO_SHM_KEY"))
        qputenv("TIVAKO_SHM_KEY", QByteArray("tivako-test-") + QByteArray::number(QCoreApplication::applicationPid()));
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

// ---------------------------------------------------------------------------
// Settings

QString settingsFolder()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppDataLocation).value(0);
}

QString settingsFilePath()
{
    return settingsFolder() + QStringLiteral("/Settings.xml");
}

void removeSettings()
{
    QFile::remove(settingsFilePath());
}

void writeSettings(const QString& hexPath, const QString& deviceName)
{
    KX_XML_Settings settings;
    settings.setPathHexFile(hexPath);
    settings.setUsbDevName(deviceName);
}

Stored readSettings()
{
    QFile file(settingsFilePath());
    Stored stored;
    if (!file.open(QIODevice::ReadOnly))
        return stored;
    const QString text = QString::fromUtf8(file.readAll());
    auto element = [&](const char* name) {
        const QRegularExpression re(QStringLiteral("<%1>([^<]*)</%1>").arg(QLatin1String(name)));
        const QRegularExpressionMatch m = re.match(text);
        return m.hasMatch() ? m.captured(1) : QString();
    };
    stored.hexPath = element("SettingsPathHexFile");
    stored.deviceName = element("SettingsUsbDevName");
    stored.debugComMode = element("SettingsDebugComMode");
    return stored;
}

// ---------------------------------------------------------------------------
// Firmware

QByteArray imageFromHex(const QString& hexPath)
{
    QFile hex(hexPath);
    QTemporaryFile bin;
    if (convertHex2BinFile(&hex, &bin) != 1)
        return QByteArray();
    bin.seek(0);
    return bin.readAll();
}

QByteArray builtInImage()
{
    return tivakoBuiltInFirmwareImage();
}

void flashAndRestart(SimBoard* board, const QByteArray& image)
{
    board->setFlash(0, std::vector<uint8_t>(image.begin(), image.end()));
    board->unplug();
    board->plug();
}

QByteArray flashOf(SimBoard* board, int length)
{
    const std::vector<uint8_t> flash = board->flash();
    return QByteArray(reinterpret_cast<const char*>(flash.data()), qMin<int>(length, int(flash.size())));
}

// ---------------------------------------------------------------------------
// Boards

std::shared_ptr<SimBridgeBackend> installBoards(int boards, SimOutput output)
{
    SimOptions options;
    options.boards = boards;
    options.timing = SimTiming::Fast;
    options.output = output;
    auto backend = std::make_shared<SimBridgeBackend>(options);
    bridgeInstallBackend(backend);
    return backend;
}

QString boardName(int number)
{
    return QStringLiteral("Tivako Virtual Board [0x%1]").arg(QString::fromStdString(simSerialForNumber(number)));
}

// ---------------------------------------------------------------------------
// Shared block

Block::Block() : m_Memory(key()) {}

QString Block::key()
{
    return QString::fromLocal8Bit(qgetenv("TIVAKO_SHM_KEY"));
}

bool Block::attach()
{
    return m_Memory.isAttached() || m_Memory.attach();
}

SharedBlock::Snapshot Block::snapshot()
{
    SharedBlock::Snapshot snap;
    if (!attach() || !m_Memory.lock())
        return snap;
    snap = SharedBlock::decode(static_cast<const uchar*>(m_Memory.constData()));
    m_Memory.unlock();
    return snap;
}

void Block::setProgrammingResult(qint32 result)
{
    if (!attach() || !m_Memory.lock())
        return;
    SharedBlock::writeProgrammingResult(static_cast<uchar*>(m_Memory.data()), result);
    m_Memory.unlock();
}

void Block::setLoaderPresent(bool present)
{
    if (!attach() || !m_Memory.lock())
        return;
    SharedBlock::writeByte(static_cast<uchar*>(m_Memory.data()), SharedBlock::kStatusZuvodErirora, present ? 1 : 0);
    m_Memory.unlock();
}

void Block::request(const QString& path)
{
    if (!attach() || !m_Memory.lock())
        return;
    auto* block = static_cast<uchar*>(m_Memory.data());
    if (!path.isEmpty())
        SharedBlock::writeText(block, SharedBlock::kPath2Hexfile, SharedBlock::kPath2HexfileSize, path.toUtf8());
    SharedBlock::writeByte(block, SharedBlock::kProgrammingRequest, path.isEmpty() ? 0 : 1);
    m_Memory.unlock();
}

// ---------------------------------------------------------------------------
// Window

bool ownEnabled(QWidget& window, const char* name)
{
    QWidget* w = child(window, name);
    return w && !w->testAttribute(Qt::WA_ForceDisabled);
}

bool shown(QWidget& window, const char* name)
{
    QWidget* w = child(window, name);
    return w && !w->isHidden();
}

QToolButton* button(QWidget& window, const char* name)
{
    return child<QToolButton>(window, name);
}

QPlainTextEdit* console(QWidget& window)
{
    return child<QPlainTextEdit>(window, "m_pTEconsole");
}

QString consoleText(QWidget& window)
{
    return console(window)->toPlainText();
}

QTextCharFormat formatAt(QTextDocument* doc, const QString& text)
{
    const QTextCursor found =
        doc->find(text, doc->characterCount(), QTextDocument::FindBackward | QTextDocument::FindCaseSensitively);
    if (found.isNull())
        return QTextCharFormat();
    QTextCursor at(doc);
    at.setPosition(found.selectionStart() + 1);
    return at.charFormat();
}

QColor colourAt(QTextDocument* doc, const QString& text)
{
    const QTextCharFormat format = formatAt(doc, text);
    return format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color() : QColor();
}

QTextCharFormat formatAt(QWidget& window, const QString& text)
{
    return formatAt(console(window)->document(), text);
}

QColor colourAt(QWidget& window, const QString& text)
{
    return colourAt(console(window)->document(), text);
}

bool isConnectedView(QWidget& window)
{
    return shown(window, "m_lConnectText");
}

bool invoke(QObject* window, const char* slot)
{
    return QMetaObject::invokeMethod(window, slot, Qt::DirectConnection);
}

} // namespace rig
