#ifndef TIVAKO_UI_RIDIVUDIZEROZODUVEZE_H
#define TIVAKO_UI_RIDIVUDIZEROZODUVEZE_H

#include <QMainWindow>

namespace Ui {
class RidivuDizerozoDuveze;
}

// The application's one main window: a fixed-size, frameless window built
// from the Designer form, with its own title bar and close button.
class RidivuDizerozoDuveze : public QMainWindow
{
    Q_OBJECT

public:
    explicit RidivuDizerozoDuveze(QWidget* parent = nullptr);
    ~RidivuDizerozoDuveze() override;

private slots:
    void on_m_pBclose_clicked();
    void SLOT_window_pos_change(int DeltaX, int DeltaY);

private:
    Ui::RidivuDizerozoDuveze* ui;
};

#endif
