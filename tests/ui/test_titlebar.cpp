// Dragging the frameless window by its title bar: the title bar reports the
// screen position the window's top-left corner belongs at, and the window
// goes there.

#include "ui/KX_MainToolBar.h"
#include "ui/RidivuDizerozoDuveze.h"

#include <QMouseEvent>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

namespace {

void send(QWidget* target, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button,
          Qt::MouseButtons buttons)
{
    QMouseEvent event(type, local, global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

void press(QWidget* w, QPoint local, Qt::MouseButton button = Qt::LeftButton)
{
    send(w, QEvent::MouseButtonPress, local, w->mapToGlobal(local), button, button);
}

void moveTo(QWidget* w, QPoint global, Qt::MouseButtons buttons)
{
    send(w, QEvent::MouseMove, w->mapFromGlobal(global), global, Qt::NoButton, buttons);
}

void release(QWidget* w, QPoint global, Qt::MouseButton button = Qt::LeftButton)
{
    send(w, QEvent::MouseButtonRelease, w->mapFromGlobal(global), global, button, Qt::NoButton);
}

} // namespace

class TestTitleBar : public QObject
{
    Q_OBJECT

private slots:
    // The signal carries the pointer's global position minus the grab point,
    // on every move while the button is held, for any button.
    void reportsGrabbedPosition()
    {
        KX_MainToolBar bar;
        bar.setGeometry(40, 60, 698, 27);
        QSignalSpy spy(&bar, &KX_MainToolBar::SIGNAL_window_pos_change);

        press(&bar, QPoint(10, 5));
        QCOMPARE(spy.count(), 0); // a press alone moves nothing
        moveTo(&bar, QPoint(300, 200), Qt::LeftButton);
        moveTo(&bar, QPoint(-50, 7), Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0), (QList<QVariant>{290, 195}));
        QCOMPARE(spy.at(1), (QList<QVariant>{-60, 2}));
        release(&bar, QPoint(-50, 7));

        spy.clear();
        press(&bar, QPoint(600, 20), Qt::RightButton);
        moveTo(&bar, QPoint(1000, 500), Qt::RightButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0), (QList<QVariant>{400, 480}));
    }

    // Hovering without a press reports nothing, before the first press and
    // after a release; a later press starts from its own grab point.
    void hoverAndReleaseReportNothing()
    {
        KX_MainToolBar bar;
        bar.setMouseTracking(true);
        QSignalSpy spy(&bar, &KX_MainToolBar::SIGNAL_window_pos_change);

        moveTo(&bar, QPoint(120, 80), Qt::NoButton);
        QCOMPARE(spy.count(), 0);

        press(&bar, QPoint(3, 4));
        moveTo(&bar, QPoint(100, 100), Qt::LeftButton);
        release(&bar, QPoint(100, 100));
        moveTo(&bar, QPoint(400, 300), Qt::NoButton);
        QCOMPARE(spy.count(), 1);

        press(&bar, QPoint(20, 10));
        moveTo(&bar, QPoint(400, 300), Qt::LeftButton);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1), (QList<QVariant>{380, 290}));
    }

    // The label's own mouse handling never runs: a selectable title would
    // otherwise take keyboard focus on a press.
    void eventsStayInTheTitleBar()
    {
        QWidget window;
        auto* bar = new KX_MainToolBar(&window);
        bar->setText("title");
        bar->setTextInteractionFlags(Qt::TextSelectableByMouse);
        bar->setGeometry(0, 0, 200, 27);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        press(bar, QPoint(5, 5));
        moveTo(bar, bar->mapToGlobal(QPoint(60, 5)), Qt::LeftButton);
        release(bar, bar->mapToGlobal(QPoint(60, 5)));
        QVERIFY(!bar->hasSelectedText());
        QVERIFY(!bar->hasFocus());
    }

    // The whole window follows a drag that goes through the window system:
    // press at (10, 5) in the title bar, move the pointer to the screen point
    // (300, 200), and the window's top-left corner is at (290, 195).
    void windowFollowsDrag()
    {
        RidivuDizerozoDuveze window;
        window.move(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* title = window.findChild<KX_MainToolBar*>("m_lProgTitile");
        QVERIFY(title);
        QWindow* handle = window.windowHandle();
        QVERIFY(handle);
        const QPoint start = window.pos();
        const auto inWindow = [&](QPoint global) { return handle->mapFromGlobal(global); };

        // Hovering over the title bar moves nothing.
        QTest::mouseMove(handle, inWindow(title->mapToGlobal(QPoint(30, 10))));
        QTest::mouseMove(handle, inWindow(title->mapToGlobal(QPoint(200, 12))));
        QCOMPARE(window.pos(), start);

        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, inWindow(title->mapToGlobal(QPoint(10, 5))));
        QTest::mouseMove(handle, inWindow(QPoint(300, 200)));
        QCOMPARE(window.pos(), QPoint(290, 195));
        QTest::mouseMove(handle, inWindow(QPoint(50, 40)));
        QCOMPARE(window.pos(), QPoint(40, 35));

        // After the release the window stays where it was put.
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, inWindow(QPoint(50, 40)));
        QTest::mouseMove(handle, inWindow(QPoint(420, 310)));
        QCOMPARE(window.pos(), QPoint(40, 35));

        // A press outside the title bar (on the console) drags nothing.
        auto* console = window.findChild<QWidget*>("m_pTEconsole");
        QVERIFY(console);
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, inWindow(console->mapToGlobal(QPoint(50, 50))));
        QTest::mouseMove(handle, inWindow(console->mapToGlobal(QPoint(150, 90))));
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, inWindow(console->mapToGlobal(QPoint(150, 90))));
        QCOMPARE(window.pos(), QPoint(40, 35));
    }
};

QTEST_MAIN(TestTitleBar)
#include "test_titlebar.moc"
