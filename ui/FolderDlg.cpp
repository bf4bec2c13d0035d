#include "ui/FolderDlg.h"

#include "ftp/VirtualPath.h"
#include "res/Strings.h"
#include "res/Templates.h"
#include "ui/DialogLayout.h"
#include "ui/LengthLimit.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {
const char kUserFolderHelp[] = "%u en la carpeta: el nombre de cada usuario, que ve s\xC3\xB3lo la "
                               "suya (en el modo extendido)";
} // namespace

CFolderDlg::CFolderDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    m_pLayout = std::make_unique<CDialogLayout>(*this, IDD_FOLDER);
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_LOCAL_PATH), kTextLimit);
    // "%u" in the local folder: each user's own (the extended mode).
    auto* pLocal = m_pLayout->Get<QLineEdit>(IDC_LOCAL_PATH);
    pLocal->setPlaceholderText(QStringLiteral("/srv/ftp/%u/"));
    pLocal->setToolTip(QString::fromUtf8(kUserFolderHelp));
    pLocal->setAccessibleDescription(QString::fromUtf8(kUserFolderHelp));
    CLengthLimit::Apply(*m_pLayout->Get<QLineEdit>(IDC_VIRTUAL_PATH), kTextLimit);
    connect(m_pLayout->Get<QPushButton>(IDOK), &QPushButton::clicked, this, &CFolderDlg::accept);
    connect(m_pLayout->Get<QPushButton>(IDCANCEL), &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pLayout->Get<QPushButton>(IDC_BROWSE), &QPushButton::clicked, this,
            &CFolderDlg::OnBrowse);
}

CFolderDlg::~CFolderDlg() = default;

void CFolderDlg::PutValues() {
    m_pLayout->Get<QLineEdit>(IDC_LOCAL_PATH)->setText(m_strLocalPath);
    m_pLayout->Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText(m_strVirtualPath);
    m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->setChecked(m_bDownload);
    m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->setChecked(m_bUpload);
}

void CFolderDlg::GetValues() {
    m_strLocalPath = m_pLayout->Get<QLineEdit>(IDC_LOCAL_PATH)->text();
    m_strVirtualPath = m_pLayout->Get<QLineEdit>(IDC_VIRTUAL_PATH)->text();
    m_bDownload = m_pLayout->Get<QCheckBox>(IDC_DOWNLOAD)->isChecked();
    m_bUpload = m_pLayout->Get<QCheckBox>(IDC_UPLOAD)->isChecked();
}

int CFolderDlg::exec() {
    PutValues();
    // The root entry keeps its virtual path.
    if (!m_bAdding && m_strVirtualPath == QStringLiteral("/"))
        m_pLayout->Control(IDC_VIRTUAL_PATH)->setEnabled(false);
    m_pLayout->Control(IDC_LOCAL_PATH)->setFocus();
    return QDialog::exec();
}

void CFolderDlg::OnBrowse() {
    GetValues();
    QFileDialog picker(this, QString::fromUtf8(LoadString(IDS_PICK_FOLDER)), QStringLiteral("/"));
    picker.setFileMode(QFileDialog::Directory);
    picker.setOption(QFileDialog::ShowDirsOnly);
    picker.setWindowModality(Qt::WindowModal);
    if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty())
        return;
    const QString strPath = picker.selectedFiles().first();
    if (strPath.isEmpty())
        return;
    m_strLocalPath = strPath;
    PutValues();
}

void CFolderDlg::accept() {
    QLineEdit* pLocal = m_pLayout->Get<QLineEdit>(IDC_LOCAL_PATH);
    QLineEdit* pVirtual = m_pLayout->Get<QLineEdit>(IDC_VIRTUAL_PATH);
    if (!CLengthLimit::Check(*pLocal, kTextLimit) || !CLengthLimit::Check(*pVirtual, kTextLimit))
        return;
    GetValues();
    if (m_bAdding && m_strVirtualPath == QStringLiteral("/")) {
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        QString::fromUtf8(LoadString(IDS_SECOND_ROOT)), QMessageBox::Ok, this);
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        return;
    }
    if (!m_strLocalPath.endsWith(QLatin1Char(kLocalSeparator)))
        m_strLocalPath += QLatin1Char(kLocalSeparator);
    PutValues();
    QDialog::accept();
}
