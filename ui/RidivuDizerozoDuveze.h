#ifndef TIVAKO_UI_RIDIVUDIZEROZODUVEZE_H
#define TIVAKO_UI_RIDIVUDIZEROZODUVEZE_H

#include <QByteArray>
#include <QMainWindow>
#include <QMutex>
#include <QString>
#include <QTimer>
#include <QVector>

#include "ui/ConsoleHtml.h"

class QKeyEvent;
class KX_SI_USBXpressDev;
class KX_XML_Settings;
class KX_SharedMemSocked;

namespace Ui {
class RidivuDizerozoDuveze;
}

// The application's one main window: a fixed-size, frameless window built
// from the Designer form, with its own title bar and close button. It owns
// the bridge device, the settings store and the link to the debug monitor,
// keeps the controls in step with the connection, starts firmware
// programming and shows the board's output in its console.
//
// The shared-memory key is "VA_ZiduvaZururedadi"; the environment variable
// TIVAKO_SHM_KEY replaces it, so that tests and benchmarks can run beside a
// real loader without meeting it.
class RidivuDizerozoDuveze : public QMainWindow
{
    Q_OBJECT

public:
    explicit RidivuDizerozoDuveze(QWidget* parent = nullptr);
    ~RidivuDizerozoDuveze() override;

signals:
    void SIGNAL_StartFirmwareUpdate(QString Path2HexFile);

    // The order of these slots is their order in the meta-object; keep it.
private slots:
    void on_m_pBConnect_clicked();
    void SLOT_ProgrammingRequestPendig();
    void SLOT_newDataAvailable(quint8 DataType);
    void SLOT_newDeviceListAvailable();
    void SLOT_connectionClosed();
    void SLOT_FirmwareWriteFinish(qint8 Result);
    void SLOT_ProgrammingFinished(qint16 eResult);
    void on_m_clear_clicked();
    void on_m_pBclose_clicked();
    void SLOT_window_pos_change(int DeltaX, int DeltaY);
    void on_m_pBSearch_clicked();
    void on_m_ListDev_currentRowChanged(int currentRow);
    void on_m_pBSearch_2_clicked();
    void on_m_pBWriteFirmware_clicked();
    void on_m_pBCloseHexFile_clicked();
    void on_m_pBQuadrel_clicked();
    void on_m_pBResetTK_clicked();
    void SLOT_PrintConsole();
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void on_m_rB_SerialMode_clicked();
    void on_m_rB_TLVMode_clicked();
    void on_m_pbquadrel_hwid_clicked();

private:
    void appendDebugText(const char* data, quint16 length);
    void insertDebugText(const char* data, quint16 length);

    // Queues one of the window's own messages for the next console tick.
    void putConsoleMessage(const QByteArray& text);
    // Appends to the stream's waiting array and notes the order; the caller
    // holds m_ConsoleMutex.
    void queueConsoleLocked(ConsoleStream stream, const char* bytes, int length);
    QString currentRowText() const;
    // Fills the list from the bridge device's list; returns the last row
    // whose text equals `match` (-1 when none does or match is null).
    int refillDeviceList(const QString& match = QString());
    void reselectDevice(const QString& name);
    // Control states shared by the user's disconnect and a lost link.
    void showDisconnected();
    void setHexFileTitle(const QString& path);
    // Starts a programming session and closes every way to start another
    // until it has ended: one session at a time, whoever asked.
    void startSession(const QString& path, bool forMonitor, bool quadrel);
    void startMonitorSession();

    Ui::RidivuDizerozoDuveze* ui;
    KX_SI_USBXpressDev* m_pUsbDev;
    QString m_CurrentHexFile;
    KX_XML_Settings* m_pSettings;
    KX_SharedMemSocked* m_pSharedMem;
    QByteArray m_ConsoleData;
    QByteArray m_ConsoleMsg;
    // The waiting bytes as runs of one stream, in arrival order, so that a
    // message about an action shows above the board text the action caused.
    struct ConsoleRun
    {
        ConsoleStream stream;
        int length;
    };
    QVector<ConsoleRun> m_ConsoleOrder;
    QMutex m_ConsoleMutex;
    QTimer m_ConsoleTimer;
    bool m_CtrlPressed;
    bool m_SessionRunning;
    // The running session was started for the debug monitor's request; only
    // its result ever goes into the shared block.
    bool m_SessionForMonitor;
    // A request of the monitor that came while a session ran.
    bool m_MonitorRequestWaiting;
    // "Prog as Quadrel" was usable before a session that did not use it.
    bool m_QuadrelAfterSession;
};

#endif
