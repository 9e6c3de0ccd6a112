#include "RidivuDizerozoDuveze.h"

#include "app/Log.h"
#include "resources/TivakoResources.h"
#include "ui/KX_MainToolBar.h"
#include "ui_RidivuDizerozoDuveze.h"

RidivuDizerozoDuveze::RidivuDizerozoDuveze(QWidget* parent) : QMainWindow(parent), ui(new Ui::RidivuDizerozoDuveze)
{
    // The form loads its icons from the compiled-in resources.
    tivakoInitResources();
    ui->setupUi(this);

    connect(ui->m_lProgTitile, &KX_MainToolBar::SIGNAL_window_pos_change, this,
            &RidivuDizerozoDuveze::SLOT_window_pos_change);

    logStatus("RidivuDizerozoDuveze::RidivuDizerozoDuveze", "Start Programm");

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
}

RidivuDizerozoDuveze::~RidivuDizerozoDuveze()
{
    delete ui;
}

void RidivuDizerozoDuveze::on_m_pBclose_clicked()
{
    close();
}

void RidivuDizerozoDuveze::SLOT_window_pos_change(int DeltaX, int DeltaY)
{
    move(DeltaX, DeltaY);
}
