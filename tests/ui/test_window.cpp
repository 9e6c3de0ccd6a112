// The main window as the form and the constructor leave it: its captions and
// what can be used at first, the window's frame, that every caption is shown
// whole, the look, the translation context, the close button.

#include "ui/RidivuDizerozoDuveze.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionGroupBox>
#include <QStyleOptionToolButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <QtTest>

namespace {

const QColor kBorder(149, 151, 153);
const QColor kBand(216, 220, 225);
const QColor kAccent(0, 145, 220);

QString textOf(const QWidget* w)
{
    if (auto* box = qobject_cast<const QGroupBox*>(w))
        return box->title();
    const QVariant text = w->property("text");
    return text.isValid() ? text.toString() : QString();
}

// Marks every text it is asked for in the window's context, and nothing else.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* source, const char*, int) const override
    {
        if (qstrcmp(context, "RidivuDizerozoDuveze") != 0)
            return QString();
        return QLatin1Char('[') + QString::fromUtf8(source) + QLatin1Char(']');
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private:
    template <typename T = QWidget> T* child(const RidivuDizerozoDuveze& w, const char* name)
    {
        return w.findChild<T*>(QString::fromLatin1(name));
    }

private slots:
    // The captions (fixed texts), and which controls can be used and which
    // are shown before any device is open.
    void initialState()
    {
        const struct
        {
            const char* name;
            const char* text;
            bool ownEnabled;
            bool hidden;
        } rows[] = {
            {"m_lProgTitile", "ZidiVevuro Tivako Mini", true, false},
            {"m_pBSearch", "Search", true, false},
            {"m_pBConnect", "Connect", true, false},
            {"m_clear", "Clear\nConsole", true, false},
            {"m_pBResetTK", "Reset\nTivako", false, false},
            {"m_pBQuadrel", "Prog as\nQuadrel", false, false},
            {"m_pbquadrel_hwid", "Quadrel \nHardwareID", true, true},
            {"m_pBSearch_2", "Open\nHex-File", true, false},
            {"m_pBCloseHexFile", "Close\nHex-File", false, false},
            {"m_pBWriteFirmware", "Write\nHex-File", false, false},
            {"m_HexFile", "Debug Com Mode", true, false},
            {"m_rB_ProgQuadrelMini", "Serial Ascii", true, false},
            {"m_rB_customFile", "TLV Bin\u00e4r", true, false},
            {"m_lProgTitile_4", "Debug Console", true, false},
            {"m_lProgTitile_5", "V.1.0.54", true, false},
            {"m_lConnectSymbol", nullptr, true, true},
            {"m_lConnectText", "Verbunden", true, true},
        };
        RidivuDizerozoDuveze window;
        // The form's own enabled flags, before the event loop delivers the
        // first device list (whose refill disables Connect).
        for (const auto& row : rows) {
            QWidget* w = child(window, row.name);
            QVERIFY2(w, row.name);
            QVERIFY2(!w->testAttribute(Qt::WA_ForceDisabled) == row.ownEnabled, row.name);
            if (row.text)
                QCOMPARE(textOf(w), QString::fromUtf8(row.text));
        }
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const auto& row : rows)
            QVERIFY2(child(window, row.name)->isHidden() == row.hidden, row.name);
    }

    // 700 x 500, not resizable, frameless, titled and with its icon.
    void windowFrame()
    {
        RidivuDizerozoDuveze window;
        QCOMPARE(window.objectName(), QString("RidivuDizerozoDuveze"));
        QVERIFY(window.isWindow());
        QVERIFY(!window.parentWidget());
        QCOMPARE(window.size(), QSize(700, 500));
        QCOMPARE(window.minimumSize(), QSize(700, 500));
        QCOMPARE(window.maximumSize(), QSize(700, 500));
        window.resize(800, 600);
        QCOMPARE(window.size(), QSize(700, 500));

        QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(!window.windowFlags().testFlag(Qt::CustomizeWindowHint));
        QVERIFY(!window.windowFlags().testFlag(Qt::WindowTitleHint));
        QCOMPARE(window.windowTitle(), QString("ZuvodErirora"));
        QVERIFY(!window.windowIcon().isNull());

        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.windowHandle());
        QVERIFY(window.windowHandle()->flags().testFlag(Qt::FramelessWindowHint));
    }

    // Two pages, the first shown; the second one cannot be operated.
    void tabs()
    {
        RidivuDizerozoDuveze window;
        auto* tabs = child<QTabWidget>(window, "tabWidget");
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->widget(0), child(window, "tab"));
        QCOMPARE(tabs->widget(1), child(window, "tab_2"));
        QCOMPARE(tabs->tabText(0), QString("Device"));
        QCOMPARE(tabs->tabText(1), QString("Settings"));
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(tabs->widget(0)->isEnabled());
        QVERIFY(!tabs->widget(1)->isEnabled());
        for (const char* name : {"m_pBSearch_2", "m_HexFile", "m_rB_ProgQuadrelMini", "m_rB_customFile"})
            QVERIFY2(!child(window, name)->isEnabled(), name);
        QVERIFY(!child<QRadioButton>(window, "m_rB_ProgQuadrelMini")->isChecked());
        QVERIFY(child<QRadioButton>(window, "m_rB_customFile")->isChecked());
    }

    // Every button and picture shows an image (a wrong resource path would
    // leave it blank without a word).
    void imagesShown()
    {
        RidivuDizerozoDuveze window;
        for (const char* name : {"m_pBSearch", "m_pBConnect", "m_clear", "m_pBResetTK", "m_pBQuadrel",
                                 "m_pbquadrel_hwid", "m_pBSearch_2", "m_pBCloseHexFile", "m_pBWriteFirmware"})
            QVERIFY2(!child<QToolButton>(window, name)->icon().pixmap(32, 32).isNull(), name);
        QVERIFY(!child<QPushButton>(window, "m_pBclose")->icon().pixmap(8, 8).isNull());
        for (const char* name : {"lVarno", "m_lConnectSymbol"})
            QVERIFY2(!child<QLabel>(window, name)->pixmap(Qt::ReturnByValue).isNull(), name);
    }

    // Every caption line of every button, in each of its states, and the
    // group title fit the room the style leaves them in the font actually
    // drawn, so that none is shown with "...". One pixel is kept for a side
    // border (the Write button has one).
    void captionsFit()
    {
        RidivuDizerozoDuveze window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QStringList hidden{"ScrollLeftButton", "ScrollRightButton"}; // the tab bar's own
        int checked = 0;
        for (QToolButton* b : window.findChildren<QToolButton*>()) {
            if (hidden.contains(b->objectName()))
                continue;
            b->ensurePolished();
            QStringList captions{b->text()};
            if (b->objectName() == "m_pBConnect")
                captions << "Disconnect";
            QStyleOptionToolButton opt;
            opt.initFrom(b);
            opt.rect = b->rect();
            opt.subControls = QStyle::SC_ToolButton;
            opt.toolButtonStyle = b->toolButtonStyle();
            opt.icon = b->icon();
            opt.iconSize = b->iconSize();
            opt.font = b->font();
            const int room =
                b->style()->subControlRect(QStyle::CC_ToolButton, &opt, QStyle::SC_ToolButton, b).width() - 1;
            QVERIFY2(room >= 60, qPrintable(b->objectName()));
            const QFontMetrics metrics(b->font());
            for (const QString& caption : captions)
                for (const QString& line : caption.split('\n')) {
                    QVERIFY2(metrics.horizontalAdvance(line) <= room,
                             qPrintable(QString("%1: \"%2\" is %3 px in %4, room %5")
                                            .arg(b->objectName(), line)
                                            .arg(metrics.horizontalAdvance(line))
                                            .arg(QFontInfo(b->font()).family())
                                            .arg(room)));
                    ++checked;
                }
        }
        QCOMPARE(checked, 17);

        auto* box = child<QGroupBox>(window, "m_HexFile");
        QStyleOptionGroupBox opt;
        opt.initFrom(box);
        opt.rect = box->rect();
        opt.text = box->title();
        opt.subControls = QStyle::SC_GroupBoxLabel;
        const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box);
        QVERIFY2(label.left() + QFontMetrics(box->font()).horizontalAdvance(box->title()) <= box->width(),
                 qPrintable(QFontInfo(box->font()).family()));
    }

    // The style sheets show: borders, bands and panes in their colours.
    void looks()
    {
        RidivuDizerozoDuveze window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage shot = window.grab().toImage();
        QCOMPARE(shot.size(), QSize(700, 500));
        const struct
        {
            QPoint at;
            QColor colour;
            const char* what;
        } probes[] = {
            {{0, 250}, kBorder, "window border, left"},
            {{699, 300}, kBorder, "window border, right"},
            {{350, 0}, kBorder, "window border, top"},
            {{5, 14}, kBand, "title bar"},
            {{400, 40}, kBand, "band behind the tabs"},
            {{400, 51}, kBorder, "line under the tabs"},
            {{650, 120}, Qt::white, "tab pane"},
            {{699, 120}, kBorder, "tab pane border"},
            {{300, 160}, kBand, "console caption"},
            {{300, 143}, kBorder, "console caption border"},
            {{350, 300}, Qt::white, "console"},
            {{7, 300}, kBorder, "console border"},
            {{300, 485}, kBand, "status band"},
            {{300, 468}, kBorder, "status band border"},
            {{3, 300}, Qt::white, "area behind the console"},
        };
        for (const auto& p : probes)
            QVERIFY2(shot.pixelColor(p.at) == p.colour, qPrintable(QString("%1 at (%2,%3) is %4")
                                                                       .arg(p.what)
                                                                       .arg(p.at.x())
                                                                       .arg(p.at.y())
                                                                       .arg(shot.pixelColor(p.at).name())));

        // The list has side borders only.
        auto* list = child<QListWidget>(window, "m_ListDev");
        const QPoint listTopLeft = list->mapTo(&window, QPoint(0, 0));
        QCOMPARE(shot.pixelColor(listTopLeft + QPoint(0, 30)), kBorder);
        QCOMPARE(shot.pixelColor(listTopLeft + QPoint(249, 30)), kBorder);
        QVERIFY(shot.pixelColor(listTopLeft + QPoint(120, 0)) != kBorder);

        // The connected text is in the accent colour.
        auto* connected = child(window, "m_lConnectText");
        connected->ensurePolished();
        QCOMPARE(connected->palette().color(QPalette::WindowText), kAccent);

        // The write button closes its group with a line on its right; the
        // checked radio button shows the accent dot, the other one none.
        const QImage write = child(window, "m_pBWriteFirmware")->grab().toImage();
        QCOMPARE(write.pixelColor(63, 40), kBorder);
        QVERIFY(write.pixelColor(0, 40) != kBorder);
        auto accentPixels = [](const QImage& image) {
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < 20 && x < image.width(); ++x)
                    n += image.pixelColor(x, y) == kAccent;
            return n;
        };
        QVERIFY(accentPixels(child(window, "m_rB_customFile")->grab().toImage()) > 0);
        QCOMPARE(accentPixels(child(window, "m_rB_ProgQuadrelMini")->grab().toImage()), 0);
    }

    // Captions go through the translation step in the window's context;
    // style sheets do not.
    void translationContext()
    {
        MarkingTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        RidivuDizerozoDuveze window;
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(window.windowTitle(), QString("[ZuvodErirora]"));
        QCOMPARE(textOf(child(window, "m_pBSearch")), QString("[Search]"));
        QCOMPARE(textOf(child(window, "m_rB_customFile")), QStringLiteral("[TLV Bin\u00e4r]"));
        QCOMPARE(textOf(child(window, "m_HexFile")), QString("[Debug Com Mode]"));
        QCOMPARE(child<QTabWidget>(window, "tabWidget")->tabText(1), QString("[Settings]"));
        QVERIFY(!window.styleSheet().startsWith('['));
        QVERIFY(!child(window, "m_pBSearch")->styleSheet().startsWith('['));
    }

    // The close button closes the window, and with the last window gone the
    // event loop ends with its normal exit code.
    void closeButtonEndsTheLoop()
    {
        RidivuDizerozoDuveze window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(qApp->quitOnLastWindowClosed());
        auto* close = child<QPushButton>(window, "m_pBclose");
        QTimer::singleShot(0, close, [close] { QTest::mouseClick(close, Qt::LeftButton); });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        const int code = QApplication::exec();
        QCOMPARE(code, 0);
        QVERIFY(!window.isVisible());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
