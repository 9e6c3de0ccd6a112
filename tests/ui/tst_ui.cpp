// The window before any board: captions shown whole, what can be used, the title bar, and the resources it loads.

#include "tests/support/MainWindowRig.h"
#include "ui/KX_MainToolBar.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QDirIterator>
#include <QImageReader>
#include <QStyleOptionToolButton>
#include <QWindow>
#include <QtTest>

class TestUi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { rig::isolate(); }
    // The captions (fixed texts) and the form's own enabled flags, before the first device list arrives; then what
    // is shown, and shown whole.
    void initialState_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("m_lProgTitile") << "ZidiVevuro Tivako Mini" << true << false;
        QTest::newRow("m_pBSearch") << "Search" << true << false;
        QTest::newRow("m_pBConnect") << "Connect" << true << false;
        QTest::newRow("m_clear") << "Clear\nConsole" << true << false;
        QTest::newRow("m_pBResetTK") << "Reset\nTivako" << false << false;
        QTest::newRow("m_pBQuadrel") << "Prog as\nQuadrel" << false << false;
        QTest::newRow("m_pbquadrel_hwid") << "Quadrel \nHardwareID" << true << true;
        QTest::newRow("m_pBSearch_2") << "Open\nHex-File" << true << false;
        QTest::newRow("m_pBCloseHexFile") << "Close\nHex-File" << false << false;
        QTest::newRow("m_pBWriteFirmware") << "Write\nHex-File" << false << false;
        QTest::newRow("m_HexFile") << "Debug Com Mode" << true << false;
        QTest::newRow("m_rB_ProgQuadrelMini") << "Serial Ascii" << true << false;
        QTest::newRow("m_rB_customFile") << QStringLiteral("TLV Bin\u00e4r") << true << false;
        QTest::newRow("m_lProgTitile_4") << "Debug Console" << true << false;
        QTest::newRow("m_lProgTitile_5") << "V.1.0.54" << true << false;
        QTest::newRow("m_lConnectText") << "Verbunden" << true << true;
        QTest::newRow("tab_2") << "" << false << true; // the Settings page
    }

    // A button's caption lines, in each of its states, fit the room the style leaves them in the font drawn: none is
    // shown with "...". One pixel is kept for a side border (the Write button has one).
    void initialState()
    {
        QFETCH(QString, caption);
        QFETCH(bool, enabled);
        QFETCH(bool, hidden);
        RidivuDizerozoDuveze window;
        QWidget* w = window.findChild<QWidget*>(QTest::currentDataTag());
        QVERIFY(w);
        QCOMPARE(!w->testAttribute(Qt::WA_ForceDisabled), enabled);
        if (!caption.isEmpty())
            QCOMPARE(w->property(w->inherits("QGroupBox") ? "title" : "text").toString(), caption);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(w->isHidden(), hidden);
        auto* b = qobject_cast<QToolButton*>(w);
        if (!b)
            return;
        QStyleOptionToolButton opt;
        opt.initFrom(b);
        opt.subControls = QStyle::SC_ToolButton;
        opt.toolButtonStyle = b->toolButtonStyle();
        opt.iconSize = b->iconSize();
        const QRect room = b->style()->subControlRect(QStyle::CC_ToolButton, &opt, QStyle::SC_ToolButton, b);
        for (const QString& line : (caption == "Connect" ? "Disconnect" : caption).split('\n'))
            QVERIFY2(QFontMetrics(b->font()).horizontalAdvance(line) <= room.width() - 1, qPrintable(line));
    }

    // The frameless window follows its title bar while the button is held; its close button closes it.
    void titleBarDrags()
    {
        RidivuDizerozoDuveze window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWindow* handle = window.windowHandle();
        const QPoint grab = window.findChild<KX_MainToolBar*>("m_lProgTitile")->mapToGlobal(QPoint(10, 5));
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, handle->mapFromGlobal(grab));
        QTest::mouseMove(handle, handle->mapFromGlobal(QPoint(300, 200)));
        QCOMPARE(window.pos(), QPoint(290, 195));
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, handle->mapFromGlobal(QPoint(300, 200)));
        QTest::mouseMove(handle, handle->mapFromGlobal(QPoint(340, 200))); // let go: hovering moves nothing
        QCOMPARE(window.pos(), QPoint(290, 195));
        window.findChild<QAbstractButton*>("m_pBclose")->click();
        QVERIFY(!window.isVisible());
    }

    // Every image path the sources name decodes (read from the sources, so a new path is checked without a list).
    void everyImageTheSourcesNameDecodes()
    {
        tivakoInitResources();
        const QRegularExpression path(QStringLiteral(":/img/[A-Za-z0-9_.-]+\\.(png|ico)"));
        QSet<QString> paths;
        for (const char* folder : {"/app", "/ui"}) {
            QDirIterator it(QStringLiteral(TIVAKO_SOURCE_DIR) + folder, {"*.cpp", "*.h", "*.ui", "*.qss"},
                            QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                QVERIFY(file.open(QIODevice::ReadOnly));
                for (auto m = path.globalMatch(QString::fromUtf8(file.readAll())); m.hasNext();)
                    paths.insert(m.next().captured(0));
            }
        }
        QVERIFY(paths.size() >= 10);
        for (const QString& p : paths) {
            QImageReader reader(p);
            QVERIFY2(!reader.read().isNull(), qPrintable(p + ": " + reader.errorString()));
        }
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
