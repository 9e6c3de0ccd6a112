#ifndef TIVAKO_UI_KX_MAINTOOLBAR_H
#define TIVAKO_UI_KX_MAINTOOLBAR_H

#include <QLabel>

class QMouseEvent;

// The title bar of the frameless main window: a label that the user drags to
// move the window. It reports where the window's top-left corner belongs in
// screen coordinates; the window moves itself there.
class KX_MainToolBar : public QLabel
{
    Q_OBJECT

public:
    explicit KX_MainToolBar(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

signals:
    // Despite the names, an absolute screen position: the pointer's global
    // position minus the point where the label was grabbed.
    void SIGNAL_window_pos_change(int DeltaX, int DeltaY);

private:
    qint32 m_PressX = 0;
    qint32 m_PressY = 0;
    bool m_bPressed = false;
};

#endif
