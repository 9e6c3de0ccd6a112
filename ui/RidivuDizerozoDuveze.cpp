#include "RidivuDizerozoDuveze.h"

#include "app/Log.h"
#include "bridge/KX_SI_USBXpressDev.h"
#include "ipc/KX_SharedMemSocked.h"
#include "resources/TivakoResources.h"
#include "settings/KX_XML_Settings.h"
#include "ui/ConsoleHtml.h"
#include "ui/KX_MainToolBar.h"
#include "ui_RidivuDizerozoDuveze.h"

#include <QDir>
#include <QErrorMessage>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QListWidgetItem>
#include <QMutexLocker>
#include <QTextCursor>
#include <QTextDocument>

namespace {

const char kLabelConstructor[] = "RidivuDizerozoDuveze::RidivuDizerozoDuveze";
const char kLabelConnect[] = "RidivuDizerozoDuveze::on_m_pBConnect_clicked";
const char kLabelClosed[] = "RidivuDizerozoDuveze::SLOT_connectionClosed";
const char kLabelList[] = "RidivuDizerozoDuveze::SLOT_newDeviceListAvailable";
const char kLabelRequest[] = "RidivuDizerozoDuveze::SLOT_ProgrammingRequestPendig";
const char kLabelFinished[] = "RidivuDizerozoDuveze::SLOT_ProgrammingFinished";
const char kLabelData[] = "RidivuDizerozoDuveze::SLOT_newDataAvailable";

const char kSharedMemKey[] = "VA_ZiduvaZururedadi";
const char kSharedMemKeyVariable[] = "TIVAKO_SHM_KEY";
const char kTitlePrefix[] = "Tivako ZidiVevuro - ";
const char kTitleNoFile[] = "Tivako ZidiVevuro";
const char kDeviceIcon[] = ":/img/Werkstueck_32.png";
const char kHardwareIdCommand[] = "setHWqd\r";

const int kConsoleBlocks = 200;
const int kConsoleTickMs = 50;
// A ring never holds more than 4095 bytes.
const int kTakeBufferSize = 4096;

QString sharedMemKey()
{
    const QByteArray key = qgetenv(kSharedMemKeyVariable);
    if (key.isEmpty())
        return QString::fromLatin1(kSharedMemKey);
    // A monitor that uses the usual key does not find this loader.
    logStatus(kLabelConstructor, "Sharedmemory key from %s: \"%s\"", kSharedMemKeyVariable, key.constData());
    return QString::fromLocal8Bit(key);
}

// The two console-mode slots have the on_<object>_<signal> form, but their
// radio buttons carry other names, so they are connected by hand and the
// form's connect-by-name step warns about them on every start. Only those
// two warnings are dropped; everything else goes to the handler before.
QtMessageHandler g_formMessageHandler = nullptr;

void dropConsoleModeSlotWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QString unmatched = QStringLiteral("QMetaObject::connectSlotsByName: No matching signal for ");
    if (type == QtWarningMsg && message.startsWith(unmatched) &&
        (message.endsWith(QLatin1String("on_m_rB_SerialMode_clicked()")) ||
         message.endsWith(QLatin1String("on_m_rB_TLVMode_clicked()"))))
        return;
    g_formMessageHandler(type, context, message);
}

// The console reads its text as HTML: a device name is text, never markup.
QByteArray consoleText(const char* format, const QString& name)
{
    return QString::asprintf(format, name.toHtmlEscaped().toUtf8().constData()).toLatin1();
}

} // namespace

RidivuDizerozoDuveze::RidivuDizerozoDuveze(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::RidivuDizerozoDuveze), m_pUsbDev(nullptr), m_pSettings(nullptr),
      m_pSharedMem(nullptr), m_CtrlPressed(false), m_SessionRunning(false), m_SessionForMonitor(false),
      m_MonitorRequestWaiting(false), m_QuadrelAfterSession(false)
{
    // The form loads its icons from the compiled-in resources.
    tivakoInitResources();
    // The form was laid out for Segoe UI, a Windows font. Where it is missing,
    // a narrow face keeps captions such as "Disconnect" and "HardwareID"
    // whole inside their 64 px buttons; DejaVu Sans Condensed, the next
    // choice, is still too wide for those two and gets them elided.
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
                               {QStringLiteral("Liberation Sans Narrow"), QStringLiteral("DejaVu Sans Condensed")});
    g_formMessageHandler = qInstallMessageHandler(dropConsoleModeSlotWarnings);
    ui->setupUi(this);
    qInstallMessageHandler(g_formMessageHandler);

    connect(ui->m_lProgTitile, &KX_MainToolBar::SIGNAL_window_pos_change, this,
            &RidivuDizerozoDuveze::SLOT_window_pos_change);

    logStatus(kLabelConstructor, "Start Programm");

    m_pSettings = new KX_XML_Settings();
    m_pUsbDev = new KX_SI_USBXpressDev();
    m_pSharedMem = new KX_SharedMemSocked(sharedMemKey());

    // A presence mark left behind by a loader that crashed is not another
    // instance; the link tells the two apart.
    if (m_pSharedMem->isOtherLoaderRunning()) {
        auto* notice = new QErrorMessage(this);
        notice->showMessage(QStringLiteral("A instance is allready run"));
    }
    m_pSharedMem->setStatusZuvodErirora(true);
    if (!m_pSharedMem->linkRefusal().isEmpty()) {
        putConsoleMessage(consoleText("<br><font color=\"Red\"><b>No link to the debug monitor: %s</b></font>",
                                      m_pSharedMem->linkRefusal()));
    }

    // The device's worker announces its first list as soon as anyone
    // listens, so these come before anything else can miss it.
    connect(m_pUsbDev, &KX_SI_USBXpressDev::SIGNAL_newDataAvailable, this,
            &RidivuDizerozoDuveze::SLOT_newDataAvailable);
    connect(m_pUsbDev, &KX_SI_USBXpressDev::SIGNAL_newDeviceListAvailable, this,
            &RidivuDizerozoDuveze::SLOT_newDeviceListAvailable);
    connect(m_pUsbDev, &KX_SI_USBXpressDev::SIGNAL_connectionClosed, this,
            &RidivuDizerozoDuveze::SLOT_connectionClosed);
    connect(this, &RidivuDizerozoDuveze::SIGNAL_StartFirmwareUpdate, m_pUsbDev,
            &KX_SI_USBXpressDev::SLOT_StartFirmwareUpdate);
    connect(m_pUsbDev, &KX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, this,
            &RidivuDizerozoDuveze::SLOT_FirmwareWriteFinish);
    connect(m_pSharedMem, &KX_SharedMemSocked::SIGNAL_ProgrammingRequestPendig, this,
            &RidivuDizerozoDuveze::SLOT_ProgrammingRequestPendig);
    connect(m_pSharedMem, &KX_SharedMemSocked::SIGNAL_ProgrammingFinished, this,
            &RidivuDizerozoDuveze::SLOT_ProgrammingFinished);
    // The radio buttons' names do not match these slots, so connect-by-name
    // cannot reach them.
    connect(ui->m_rB_ProgQuadrelMini, &QAbstractButton::clicked, this,
            &RidivuDizerozoDuveze::on_m_rB_SerialMode_clicked);
    connect(ui->m_rB_customFile, &QAbstractButton::clicked, this, &RidivuDizerozoDuveze::on_m_rB_TLVMode_clicked);

    // The size the form gave the window is final: every widget sits at a
    // fixed position.
    setFixedSize(width(), height());
    // Each call replaces the flags: the window ends up frameless, and the
    // form's own title bar takes the place of the system's.
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowFlags(Qt::FramelessWindowHint);

    // Shown only while a board is connected.
    ui->m_lConnectSymbol->hide();
    ui->m_lConnectText->hide();
    ui->m_pbquadrel_hwid->hide();

    const QString storedHexFile = m_pSettings->getPathHexFile();
    if (!storedHexFile.isEmpty()) {
        logStatus(kLabelConstructor, "SetHexPath");
        m_CurrentHexFile = storedHexFile;
        if (m_pUsbDev->isConnected())
            ui->m_pBWriteFirmware->setEnabled(true);
        ui->m_pBCloseHexFile->setEnabled(true);
        setHexFileTitle(storedHexFile);
    }

    // Whatever mode was stored, the console starts decoding frames, which
    // is what the form's selected radio button says.
    m_pUsbDev->setTLVMode(true);

    ui->m_pTEconsole->clear();
    ui->m_pTEconsole->setMaximumBlockCount(kConsoleBlocks);
    ui->m_pTEconsole->setReadOnly(true);

    connect(&m_ConsoleTimer, &QTimer::timeout, this, &RidivuDizerozoDuveze::SLOT_PrintConsole);
    m_ConsoleTimer.start(kConsoleTickMs);
}

RidivuDizerozoDuveze::~RidivuDizerozoDuveze()
{
    m_pSharedMem->setStatusZuvodErirora(false);
    delete ui;
    ui = nullptr;
    delete m_pUsbDev;
    m_pUsbDev = nullptr;
    delete m_pSettings; // writes Settings.xml
    m_pSettings = nullptr;
    delete m_pSharedMem;
    m_pSharedMem = nullptr;
}

// ---------------------------------------------------------------------------
// Connection

QString RidivuDizerozoDuveze::currentRowText() const
{
    const QListWidgetItem* item = ui->m_ListDev->currentItem();
    return item ? item->text() : QString();
}

void RidivuDizerozoDuveze::on_m_pBConnect_clicked()
{
    const QString name = currentRowText();

    if (!m_pUsbDev->isConnected()) {
        // With no current row the index is out of the list's range and the
        // device refuses it.
        const int row = ui->m_ListDev->currentRow();
        if (m_pUsbDev->openDevice(static_cast<quint16>(row)) == 1) {
            logStatus(kLabelConnect, "Open SiUsbDev");
            m_pSettings->setUsbDevName(name);
            putConsoleMessage(consoleText("<br><b>Connect %s</b>", name));
            ui->m_pBConnect->setText(QStringLiteral("Disconnect"));
            ui->m_pBSearch->setEnabled(false);
            ui->m_ListDev->setEnabled(false);
            ui->m_pBResetTK->setEnabled(true);
            // A session still ending (refused for want of a board) keeps
            // the ways to start another closed; its end opens them.
            if (m_SessionRunning)
                m_QuadrelAfterSession = true;
            else
                ui->m_pBQuadrel->setEnabled(true);
            ui->m_lConnectSymbol->show();
            ui->m_lConnectText->show();
            if (!m_CurrentHexFile.isEmpty() && !m_SessionRunning)
                ui->m_pBWriteFirmware->setEnabled(true);
            m_pSharedMem->setStatusTivakoConnection(true);
            m_pSharedMem->setNameOfConnectedDevice(name);
            if (m_CtrlPressed)
                ui->m_pbquadrel_hwid->show();
        } else {
            putConsoleMessage(consoleText("<br><font color=\"Red\"><b>Unabel to open %s</b></font>", name));
            logError(kLabelConnect, "Can't open SiUsbDev");
            ui->m_pbquadrel_hwid->hide();
        }
        return;
    }

    if (m_pUsbDev->closeDev() == 1) {
        logStatus(kLabelConnect, "Close SiUsbDev");
        putConsoleMessage(consoleText("<br><b>Disconnect %s</b>", name));
        m_pSettings->setUsbDevName(QString());
        m_pSharedMem->setNameOfConnectedDevice(QString());
        showDisconnected();
        reselectDevice(name);
        m_pSharedMem->setStatusTivakoConnection(false);
        ui->m_pbquadrel_hwid->hide();
    } else {
        logError(kLabelConnect, "Can't close SiUsbDev");
    }
}

void RidivuDizerozoDuveze::showDisconnected()
{
    ui->m_pBConnect->setText(QStringLiteral("Connect"));
    ui->m_pBSearch->setEnabled(true);
    ui->m_ListDev->setEnabled(true);
    ui->m_pBResetTK->setEnabled(false);
    ui->m_pBQuadrel->setEnabled(false);
    ui->m_lConnectSymbol->hide();
    ui->m_lConnectText->hide();
}

int RidivuDizerozoDuveze::refillDeviceList(const QString& match)
{
    const QStringList devices = m_pUsbDev->getDeviceList();
    ui->m_ListDev->clear();
    ui->m_pBConnect->setEnabled(false);
    const QIcon icon(QString::fromLatin1(kDeviceIcon));
    int matched = -1;
    for (int i = 0; i < devices.size(); ++i) {
        ui->m_ListDev->addItem(new QListWidgetItem(icon, devices.at(i)));
        if (devices.at(i) == match)
            matched = i;
    }
    return matched;
}

void RidivuDizerozoDuveze::reselectDevice(const QString& name)
{
    refillDeviceList();
    for (int row = 0; row < ui->m_ListDev->count(); ++row) {
        if (ui->m_ListDev->item(row)->text() == name) {
            ui->m_ListDev->setCurrentRow(row);
            return;
        }
    }
}

void RidivuDizerozoDuveze::on_m_pBSearch_clicked()
{
    refillDeviceList();
}

void RidivuDizerozoDuveze::on_m_ListDev_currentRowChanged(int currentRow)
{
    if (currentRow != -1)
        ui->m_pBConnect->setEnabled(true);
}

void RidivuDizerozoDuveze::SLOT_newDeviceListAvailable()
{
    const QString remembered = m_pSettings->getUsbDevName();
    const int matched = refillDeviceList(remembered);
    if (matched == -1)
        return;
    logStatus(kLabelList, "Open Device %d", matched);
    ui->m_ListDev->setCurrentRow(matched);
    if (!m_pUsbDev->isConnected()) {
        on_m_pBConnect_clicked();
        // The monitor hears of a board only when it really is connected.
        if (m_pUsbDev->isConnected())
            m_pSharedMem->setStatusTivakoConnection(true);
    }
}

void RidivuDizerozoDuveze::SLOT_connectionClosed()
{
    logStatus(kLabelClosed, "Close SiUsbDev");
    const QString name = currentRowText();
    putConsoleMessage(consoleText("<br><b>Disconnect %s</b>", name));
    showDisconnected();
    reselectDevice(name);
    m_pSharedMem->setStatusTivakoConnection(false);
}

// ---------------------------------------------------------------------------
// Hex file and programming

void RidivuDizerozoDuveze::setHexFileTitle(const QString& path)
{
    ui->m_lProgTitile->setText(QString::fromLatin1(kTitlePrefix) + QFileInfo(path).fileName());
}

void RidivuDizerozoDuveze::on_m_pBSearch_2_clicked()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Open Hex File"), QDir::homePath(), tr("Hex Files (*.hex)"));
    if (path.isEmpty())
        return;
    if (m_pUsbDev->isConnected() && !m_SessionRunning)
        ui->m_pBWriteFirmware->setEnabled(true);
    ui->m_pBCloseHexFile->setEnabled(true);
    m_CurrentHexFile = path;
    m_pSettings->setPathHexFile(path);
    setHexFileTitle(path);
}

void RidivuDizerozoDuveze::on_m_pBCloseHexFile_clicked()
{
    ui->m_pBWriteFirmware->setEnabled(false);
    ui->m_pBCloseHexFile->setEnabled(false);
    ui->m_lProgTitile->setText(QString::fromLatin1(kTitleNoFile));
    m_CurrentHexFile = QString();
    m_pSettings->setPathHexFile(QString());
}

void RidivuDizerozoDuveze::startSession(const QString& path, bool forMonitor, bool quadrel)
{
    m_SessionRunning = true;
    m_SessionForMonitor = forMonitor;
    m_QuadrelAfterSession = !quadrel && ui->m_pBQuadrel->isEnabled();
    ui->m_pBWriteFirmware->setEnabled(false);
    ui->m_pBQuadrel->setEnabled(false);
    emit SIGNAL_StartFirmwareUpdate(path);
}

void RidivuDizerozoDuveze::startMonitorSession()
{
    logStatus(kLabelRequest, "Programming Extern");
    startSession(m_pSharedMem->getPath2Hexfile(), true, false);
}

void RidivuDizerozoDuveze::on_m_pBWriteFirmware_clicked()
{
    if (m_SessionRunning)
        return;
    startSession(m_CurrentHexFile, false, false);
}

void RidivuDizerozoDuveze::on_m_pBQuadrel_clicked()
{
    if (m_SessionRunning)
        return;
    startSession(m_pSettings->getPathQuadrelHexFile(), false, true);
}

void RidivuDizerozoDuveze::SLOT_ProgrammingRequestPendig()
{
    if (m_SessionRunning) {
        // Restarting the running session would answer this request with a
        // result that is not its own; it runs once the session has ended.
        m_MonitorRequestWaiting = true;
        logStatus(kLabelRequest, "Programming Extern waits for the running session");
        return;
    }
    startMonitorSession();
}

void RidivuDizerozoDuveze::SLOT_FirmwareWriteFinish(qint8 Result)
{
    if (Result != 1 && Result != -1)
        return;
    if (Result == -1)
        putConsoleMessage("<br><b><font color=\"Red\">ERROR Bootloader</font></b>");
    else
        putConsoleMessage("<b>Bootloader Finish</b>");
    ui->m_pBWriteFirmware->setEnabled(true);
    if (m_QuadrelAfterSession && m_pUsbDev->isConnected())
        ui->m_pBQuadrel->setEnabled(true);
    m_QuadrelAfterSession = false;
    // A request that came during the session is a newer one than the
    // session's own (that one was withdrawn): it gets its own result.
    if (m_SessionForMonitor && !m_MonitorRequestWaiting && m_pSharedMem->isStatusProgrammingRequestSet())
        m_pSharedMem->setProgrammingResult(Result);
    m_SessionRunning = false;
    m_SessionForMonitor = false;
    if (m_MonitorRequestWaiting) {
        m_MonitorRequestWaiting = false;
        if (m_pSharedMem->isStatusProgrammingRequestSet())
            startMonitorSession();
    }
}

void RidivuDizerozoDuveze::SLOT_ProgrammingFinished(qint16 eResult)
{
    logStatus(kLabelFinished, "CALL %d", static_cast<int>(eResult));
}

// ---------------------------------------------------------------------------
// Board commands, console mode, keys, window

void RidivuDizerozoDuveze::on_m_pBResetTK_clicked()
{
    putConsoleMessage(consoleText("<br><b>Reset %s</b>", currentRowText()));
    m_pUsbDev->resetBoard();
}

void RidivuDizerozoDuveze::on_m_pbquadrel_hwid_clicked()
{
    m_pUsbDev->sendData(kHardwareIdCommand, static_cast<quint16>(sizeof(kHardwareIdCommand) - 1));
}

void RidivuDizerozoDuveze::on_m_rB_SerialMode_clicked()
{
    m_pSettings->setDebugComMode(0);
    m_pUsbDev->setTLVMode(false);
}

void RidivuDizerozoDuveze::on_m_rB_TLVMode_clicked()
{
    m_pSettings->setDebugComMode(1);
    m_pUsbDev->setTLVMode(true);
}

void RidivuDizerozoDuveze::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() == Qt::ControlModifier)
        m_CtrlPressed = true;
}

void RidivuDizerozoDuveze::keyReleaseEvent(QKeyEvent* event)
{
    if (event->modifiers() != Qt::ControlModifier)
        m_CtrlPressed = false;
}

void RidivuDizerozoDuveze::on_m_pBclose_clicked()
{
    close();
}

void RidivuDizerozoDuveze::SLOT_window_pos_change(int DeltaX, int DeltaY)
{
    move(DeltaX, DeltaY);
}

// ---------------------------------------------------------------------------
// Console

void RidivuDizerozoDuveze::putConsoleMessage(const QByteArray& text)
{
    QMutexLocker lock(&m_ConsoleMutex);
    queueConsoleLocked(ConsoleStream::Messages, text.constData(), text.size());
}

void RidivuDizerozoDuveze::queueConsoleLocked(ConsoleStream stream, const char* bytes, int length)
{
    if (length <= 0)
        return;
    (stream == ConsoleStream::Data ? m_ConsoleData : m_ConsoleMsg).append(bytes, length);
    if (!m_ConsoleOrder.isEmpty() && m_ConsoleOrder.last().stream == stream)
        m_ConsoleOrder.last().length += length;
    else
        m_ConsoleOrder.append(ConsoleRun{stream, length});
}

void RidivuDizerozoDuveze::SLOT_newDataAvailable(quint8 DataType)
{
    quint16 (KX_SI_USBXpressDev::*count)() = nullptr;
    quint8 (KX_SI_USBXpressDev::*take)(quint8*) = nullptr;
    ConsoleStream target = ConsoleStream::Data;
    switch (DataType) {
    case 0:
        count = &KX_SI_USBXpressDev::getRxCount;
        take = &KX_SI_USBXpressDev::getRxByte;
        break;
    case 1:
        count = &KX_SI_USBXpressDev::getMsgCount;
        take = &KX_SI_USBXpressDev::getMsgByte;
        target = ConsoleStream::Messages;
        break;
    case 2:
        count = &KX_SI_USBXpressDev::getTlvCount;
        take = &KX_SI_USBXpressDev::getTlvByte;
        break;
    default:
        return;
    }

    const quint16 waiting = (m_pUsbDev->*count)();
    if (DataType == 0)
        logStatus(kLabelData, "CALL %d", static_cast<int>(waiting));

    quint8 buffer[kTakeBufferSize];
    int taken = 0;
    while (taken < waiting && taken < kTakeBufferSize) {
        if ((m_pUsbDev->*take)(&buffer[taken]) != 1)
            break;
        ++taken;
    }
    if (taken == 0)
        return;
    QMutexLocker lock(&m_ConsoleMutex);
    queueConsoleLocked(target, reinterpret_cast<const char*>(buffer), taken);
}

void RidivuDizerozoDuveze::SLOT_PrintConsole()
{
    QByteArray data;
    QByteArray messages;
    QVector<ConsoleRun> order;
    {
        QMutexLocker lock(&m_ConsoleMutex);
        data.swap(m_ConsoleData);
        messages.swap(m_ConsoleMsg);
        order.swap(m_ConsoleOrder);
    }
    // Runs are shown in the order they came. The renderers take 16-bit
    // lengths; a run that grew larger while the GUI thread was held up goes
    // out in several pieces.
    int dataOffset = 0;
    int messageOffset = 0;
    for (const ConsoleRun& run : order) {
        const bool isData = run.stream == ConsoleStream::Data;
        const QByteArray runBytes = (isData ? data : messages).mid(isData ? dataOffset : messageOffset, run.length);
        (isData ? dataOffset : messageOffset) += run.length;
        int offset = 0;
        for (int piece : consolePieces(runBytes, run.stream)) {
            if (isData)
                appendDebugText(runBytes.constData() + offset, static_cast<quint16>(piece));
            else
                insertDebugText(runBytes.constData() + offset, static_cast<quint16>(piece));
            offset += piece;
        }
    }
}

void RidivuDizerozoDuveze::appendDebugText(const char* data, quint16 length)
{
    ui->m_pTEconsole->appendHtml(consoleHtml(data, length, ConsoleStream::Data));
}

void RidivuDizerozoDuveze::insertDebugText(const char* data, quint16 length)
{
    const QString html = consoleHtml(data, length, ConsoleStream::Messages);
    ui->m_pTEconsole->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    QTextCursor cursor = ui->m_pTEconsole->textCursor();
    const int start = cursor.position();
    // One edit: the view lays out and the paragraph limit trims once.
    cursor.beginEditBlock();
    cursor.insertHtml(html);
    // A line break in a message starts a new paragraph instead, so that the
    // console's paragraph limit holds for messages too; it looks the same.
    QTextDocument* document = ui->m_pTEconsole->document();
    const QString lineBreak(QChar(QChar::LineSeparator));
    for (QTextCursor found = document->find(lineBreak, start); !found.isNull();
         found = document->find(lineBreak, found.position())) {
        found.removeSelectedText();
        found.insertBlock();
    }
    cursor.endEditBlock();
    ui->m_pTEconsole->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void RidivuDizerozoDuveze::on_m_clear_clicked()
{
    // Bytes still waiting in the arrays come with the next tick.
    ui->m_pTEconsole->clear();
}
