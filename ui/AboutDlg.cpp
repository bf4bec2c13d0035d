#include "ui/AboutDlg.h"

#include "res/Templates.h"
#include "ui/DialogLayout.h"

#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    CDialogLayout layout(*this, IDD_ABOUTBOX);
    connect(layout.Get<QPushButton>(IDOK), &QPushButton::clicked, this, &QDialog::accept);
    layout.Get<QPushButton>(IDOK)->setFocus();
}
