// The main window as the form and the constructor leave it: the widget tree,
// the window's frame, the look, the translation context, the close button.

#include "ui/RidivuDizerozoDuveze.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyleOptionGroupBox>
#include <QStyleOptionToolButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>
#include <QtTest>

namespace {

const QColor kBorder(149, 151, 153);
const QColor kBand(216, 220, 225);
const QColor kAccent(0, 145, 220);

enum Align {
    None = 0,
    Centre = int(Qt::AlignCenter),
    Left = int(Qt::AlignLeft | Qt::AlignVCenter),
    Right = int(Qt::AlignRight | Qt::AlignVCenter)
};

QString textOf(const QWidget* w)
{
    if (auto* box = qobject_cast<const QGroupBox*>(w))
        return box->title();
    const QVariant text = w->property("text");
    return text.isValid() ? text.toString() : QString();
}

QImage imageOf(const QIcon& icon, int size)
{
    return icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage resourceImage(const char* path)
{
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32);
}

QString withoutSpaces(QString s)
{
    s.remove(QRegularExpression("\\s+"));
    return s;
}

// Whether a style sheet holds a rule fragment, whatever the spacing.
bool has(const QString& sheet, const QString& fragment)
{
    return withoutSpaces(sheet).contains(withoutSpaces(fragment));
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
    void widgetTree_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text"); // null: the widget has no text of its own
        QTest::addColumn<bool>("ownEnabled");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QString>("font"); // A, B, C or empty
        QTest::addColumn<int>("alignment");

        const QString none;
        const QString empty("");
        auto row = [](const char* name, const char* cls, const char* parent, QRect g, QString text, bool on,
                      bool hidden, const char* font, Align align) {
            QTest::newRow(name) << QString(cls) << QString(parent) << g << text << on << hidden << QString(font)
                                << int(align);
        };
        row("m_lProgTitile", "KX_MainToolBar", "centralWidget", {1, 1, 698, 27}, "ZidiVevuro Tivako Mini", true, false,
            "A", Centre);
        row("m_lProgTitile_2", "QLabel", "centralWidget", {1, 28, 698, 24}, empty, true, false, "B", Centre);
        row("m_lProgTitile_3", "QLabel", "centralWidget", {0, 468, 700, 32}, empty, true, false, "B", Centre);
        row("lVarno", "QLabel", "centralWidget", {599, 23, 85, 15}, empty, true, false, "", None);
        row("m_pBclose", "QPushButton", "centralWidget", {671, 5, 18, 18}, empty, true, false, "", None);
        row("m_lProgTitile_6", "QLabel", "centralWidget", {1, 137, 698, 331}, empty, true, false, "B", Centre);
        row("tabWidget", "QTabWidget", "centralWidget", {0, 28, 700, 109}, none, true, false, "A", None);
        row("m_pBSearch", "QToolButton", "tab", {6, 0, 64, 85}, "Search", true, false, "A", None);
        row("m_pBConnect", "QToolButton", "tab", {70, 0, 64, 85}, "Connect", true, false, "A", None);
        row("m_ListDev", "QListWidget", "tab", {144, 6, 250, 73}, none, true, false, "A", None);
        row("m_clear", "QToolButton", "tab", {400, 0, 64, 85}, "Clear\nConsole", true, false, "A", None);
        row("m_pBResetTK", "QToolButton", "tab", {464, 0, 64, 85}, "Reset\nTivako", false, false, "A", None);
        row("m_pBQuadrel", "QToolButton", "tab", {528, 0, 64, 85}, "Prog as\nQuadrel", false, false, "A", None);
        row("m_pbquadrel_hwid", "QToolButton", "tab", {590, 0, 64, 85}, "Quadrel \nHardwareID", true, true, "A", None);
        row("m_pBSearch_2", "QToolButton", "tab_2", {6, 0, 64, 85}, "Open\nHex-File", true, false, "A", None);
        row("m_pBCloseHexFile", "QToolButton", "tab_2", {70, 0, 64, 85}, "Close\nHex-File", false, false, "A", None);
        row("m_pBWriteFirmware", "QToolButton", "tab_2", {134, 0, 64, 85}, "Write\nHex-File", false, false, "A", None);
        row("m_HexFile", "QGroupBox", "tab_2", {210, 9, 111, 71}, "Debug Com Mode", true, false, "A", None);
        row("m_rB_ProgQuadrelMini", "QRadioButton", "m_HexFile", {10, 20, 111, 20}, "Serial Ascii", true, false, "",
            None);
        row("m_rB_customFile", "QRadioButton", "m_HexFile", {10, 40, 111, 20}, QStringLiteral("TLV Bin\u00e4r"), true,
            false, "", None);
        row("m_lBoarder", "QLabel", "tab_2", {330, 0, 1, 85}, "TextLabel", true, false, "", None);
        row("m_lProgTitile_4", "QLabel", "centralWidget", {7, 143, 686, 34}, "Debug Console", true, false, "C", Left);
        row("m_lProgTitile_5", "QLabel", "centralWidget", {614, 468, 80, 32}, "V.1.0.54", true, false, "A", Right);
        row("m_lConnectSymbol", "QLabel", "centralWidget", {8, 468, 32, 32}, empty, true, true, "A", Centre);
        row("m_lConnectText", "QLabel", "centralWidget", {40, 468, 100, 32}, "Verbunden", true, true, "C", Left);
        row("m_pTEconsole", "QPlainTextEdit", "centralWidget", {7, 176, 686, 286}, none, true, false, "A", None);
    }

    // Every widget exists once, with its class, parent, place, text, font,
    // alignment and initial state.
    void widgetTree()
    {
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(bool, ownEnabled);
        QFETCH(bool, hidden);
        QFETCH(QString, font);
        QFETCH(int, alignment);

        RidivuDizerozoDuveze window;
        const QString name = QString::fromLatin1(QTest::currentDataTag());
        // The form's own enabled flags, before the event loop delivers the
        // first device list (whose refill disables Connect).
        QWidget* before = window.findChild<QWidget*>(name);
        QVERIFY(before);
        QCOMPARE(!before->testAttribute(Qt::WA_ForceDisabled), ownEnabled);
        // Style sheets settle fonts when the widgets are polished, so look
        // at them as shown.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QList<QWidget*> found = window.findChildren<QWidget*>(name);
        QCOMPARE(found.size(), 1);
        QWidget* w = found.first();
        QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
        QVERIFY(w->parentWidget());
        if (parentName == "tab" || parentName == "tab_2") // pages sit in the tab widget's stack
            QCOMPARE(w->parentWidget(), child(window, qPrintable(parentName)));
        else
            QCOMPARE(w->parentWidget()->objectName(), parentName);
        QCOMPARE(w->geometry(), geometry);
        if (!text.isNull())
            QCOMPARE(textOf(w), text);
        QCOMPARE(w->isHidden(), hidden);
        QCOMPARE(w->isVisible(), !hidden && (parentName != "tab_2" && parentName != "m_HexFile"));

        const struct
        {
            const char* key;
            const char* family;
            int points;
        } fonts[] = {{"A", "Segoe UI", 9}, {"B", "DejaVu Sans", 9}, {"C", "Segoe UI", 10}};
        for (const auto& f : fonts) {
            if (font == f.key) {
                QCOMPARE(w->font().family(), QString(f.family));
                QCOMPARE(w->font().pointSize(), f.points);
                QCOMPARE(w->font().weight(), int(QFont::Normal));
            }
        }
        if (auto* label = qobject_cast<QLabel*>(w); label && alignment != None)
            QCOMPARE(int(label->alignment()), alignment);
    }

    // The children of the central widget stack in this order, bottom first.
    void stackingOrder()
    {
        RidivuDizerozoDuveze window;
        QWidget* central = child(window, "centralWidget");
        QVERIFY(central);
        QCOMPARE(window.centralWidget(), central);
        QStringList order;
        for (QObject* o : central->children()) {
            if (o->isWidgetType())
                order << o->objectName();
        }
        QCOMPARE(order, (QStringList{"m_lProgTitile_2", "tabWidget", "m_lProgTitile_6", "m_lProgTitile",
                                     "m_lProgTitile_3", "lVarno", "m_pBclose", "m_lProgTitile_4", "m_lProgTitile_5",
                                     "m_lConnectSymbol", "m_lConnectText", "m_pTEconsole"}));
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
        QCOMPARE(window.font().family(), QString("Segoe UI"));
        QCOMPARE(window.font().pointSize(), 9);

        const QIcon icon = window.windowIcon();
        QVERIFY(!icon.isNull());
        for (int s : {16, 32, 48, 256})
            QVERIFY2(icon.availableSizes().contains(QSize(s, s)), qPrintable(QString::number(s)));
        QCOMPARE(imageOf(icon, 32), imageOf(QIcon(":/img/VIRovozIvivevu.ico"), 32));

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

    // Buttons and pictures carry the images of the resource list, at the
    // sizes the layout expects, and take no keyboard focus.
    void iconsAndButtons()
    {
        RidivuDizerozoDuveze window;
        const struct
        {
            const char* name;
            const char* image;
        } tools[] = {{"m_pBSearch", ":/img/Scan_1_32x32.png"},       {"m_pBConnect", ":/img/Connect_32.png"},
                     {"m_clear", ":/img/Delete_1_32x32.png"},        {"m_pBResetTK", ":/img/Reset_32.png"},
                     {"m_pBQuadrel", ":/img/Werkstueck_32.png"},     {"m_pbquadrel_hwid", ":/img/Werkstueck_32.png"},
                     {"m_pBSearch_2", ":/img/Document_32x32.png"},   {"m_pBCloseHexFile", ":/img/DocClose_32.png"},
                     {"m_pBWriteFirmware", ":/img/Update_32x32.png"}};
        for (const auto& t : tools) {
            auto* b = child<QToolButton>(window, t.name);
            QVERIFY2(b, t.name);
            QCOMPARE(imageOf(b->icon(), 32), resourceImage(t.image));
            QCOMPARE(b->iconSize(), QSize(32, 32));
            QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            QCOMPARE(b->popupMode(), QToolButton::DelayedPopup);
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
        }

        auto* close = child<QPushButton>(window, "m_pBclose");
        QVERIFY(close->isFlat());
        QCOMPARE(close->focusPolicy(), Qt::NoFocus);
        QCOMPARE(imageOf(close->icon(), 8), resourceImage(":/img/Close_8.png"));
        QCOMPARE(child(window, "m_ListDev")->focusPolicy(), Qt::NoFocus);
        QVERIFY(child(window, "m_lProgTitile")->hasMouseTracking());

        auto* logo = child<QLabel>(window, "lVarno");
        QVERIFY(logo->hasScaledContents());
        QCOMPARE(logo->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32),
                 resourceImage(":/img/Rador2.png"));
        auto* symbol = child<QLabel>(window, "m_lConnectSymbol");
        QCOMPARE(symbol->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32),
                 resourceImage(":/img/Connect_16.png"));
        QVERIFY(!child<QLabel>(window, "m_lProgTitile_4")->hasScaledContents());
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

        // Scroll bars are 12 px wide; the connected text is in the accent colour.
        QCOMPARE(child<QPlainTextEdit>(window, "m_pTEconsole")->verticalScrollBar()->sizeHint().width(), 12);
        QCOMPARE(list->verticalScrollBar()->sizeHint().width(), 12);
        auto* connected = child(window, "m_lConnectText");
        connected->ensurePolished();
        QCOMPARE(connected->palette().color(QPalette::WindowText), kAccent);

        // Tabs are 22 px high inside their borders and at least 62 px wide.
        QTabBar* bar = child<QTabWidget>(window, "tabWidget")->tabBar();
        QCOMPARE(bar->tabRect(0).height(), 24);
        QVERIFY(bar->tabRect(1).width() >= 62);

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

    // What each style sheet must say, beyond what a picture of the idle
    // window shows: the hover and pressed states and the per-style details.
    void styleSheetEssentials()
    {
        RidivuDizerozoDuveze window;
        const QString hover = "background-color: rgba(220, 235, 246, 77)";
        const QString pressed = "QToolButton:pressed { background-color: rgb(220, 235, 246); }";
        for (const char* name : {"m_pBSearch", "m_pBConnect", "m_clear", "m_pBResetTK", "m_pBQuadrel",
                                 "m_pbquadrel_hwid", "m_pBSearch_2", "m_pBCloseHexFile", "m_pBWriteFirmware"}) {
            const QString sheet = child(window, name)->styleSheet();
            const bool first = qstrcmp(name, "m_pBSearch") == 0 || qstrcmp(name, "m_pBConnect") == 0;
            QVERIFY2(has(sheet, "border:none;"), name);
            QVERIFY2(has(sheet, "margin-top:6px;") && has(sheet, "margin-bottom:6px;"), name);
            QVERIFY2(has(sheet, "background-color:white;"), name);
            QVERIFY2(has(sheet, hover) && has(sheet, pressed), name);
            QCOMPARE(has(sheet, "padding-bottom:11px;"), first);
            QCOMPARE(has(sheet, "border-right:1px solid rgb(149,151,153)"), qstrcmp(name, "m_pBWriteFirmware") == 0);
        }
        const QString list = child(window, "m_ListDev")->styleSheet();
        QVERIFY(has(list, "border-left:4px solid rgb(0,145,220)"));
        QVERIFY(has(list, "QListWidget::item:hover{border-left:4px solid rgb(220,235,246)"));
        QVERIFY(has(list, "outline:none"));
        const QString radio = child(window, "m_rB_customFile")->styleSheet();
        QCOMPARE(radio, child(window, "m_rB_ProgQuadrelMini")->styleSheet());
        QVERIFY(has(radio, "image:url(:/img/Dot.png)"));
        QVERIFY(has(radio, "background-color:rgb(200,235,246);border:1px solid rgb(0,145,220)"));
        QVERIFY(has(radio, "background-color:rgb(183,190,196);border:1px solid rgb(0,121,168)"));
        for (const char* name : {"m_ListDev", "m_pTEconsole"}) {
            const QString sheet = child(window, name)->styleSheet();
            QVERIFY2(has(sheet, "QScrollBar::handle:vertical:hover{background-color:rgb(0,145,220);}"), name);
            QVERIFY2(has(sheet, "min-height:10px"), name);
        }
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
