#include "KX_MainToolBar.h"

#include <QMouseEvent>

KX_MainToolBar::KX_MainToolBar(QWidget* parent) : QLabel(parent) {}

// None of the handlers hands the event on to QLabel: the title text is not
// selectable, and a grab must not reach the window underneath.

void KX_MainToolBar::mousePressEvent(QMouseEvent* event)
{
    m_PressX = event->pos().x();
    m_PressY = event->pos().y();
    m_bPressed = true;
}

void KX_MainToolBar::mouseReleaseEvent(QMouseEvent* /*event*/)
{
    m_bPressed = false;
}

void KX_MainToolBar::mouseMoveEvent(QMouseEvent* event)
{
    // With mouse tracking on, plain hovering arrives here too.
    if (!m_bPressed)
        return;
    emit SIGNAL_window_pos_change(event->globalPos().x() - m_PressX, event->globalPos().y() - m_PressY);
}
