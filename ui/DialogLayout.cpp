#include "ui/DialogLayout.h"

#include "config/LimitSettings.h"

#include "res/Icons.h"
#include "res/Templates.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTreeView>
#include <QWidget>

#include <cmath>

QFont DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    return font;
}

QSize DialogBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    const int nAlphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((nAlphabet / 26 + 1) / 2, metrics.height());
}

QRect MapDialogRect(const QSize& baseUnits, int x, int y, int cx, int cy) {
    const int nLeft = x * baseUnits.width() / 4;
    const int nTop = y * baseUnits.height() / 8;
    const int nRight = (x + cx) * baseUnits.width() / 4;
    const int nBottom = (y + cy) * baseUnits.height() / 8;
    return QRect(nLeft, nTop, nRight - nLeft, nBottom - nTop);
}

namespace {

QString Text(const char* pszText) {
    return pszText ? QString::fromUtf8(pszText) : QString();
}

// The caption as assistive technology reads it: without the mnemonic mark.
QString WithoutMnemonic(QString strText) {
    for (int i = 0; i < strText.size(); ++i)
        if (strText[i] == u'&')
            strText.remove(i, 1); // a doubled "&&" keeps one
    return strText;
}

} // namespace

CDialogLayout::CDialogLayout(QWidget& rWindow, int nTemplateId)
    : m_pTemplate(FindDialogTemplate(nTemplateId)) {
    if (!m_pTemplate)
        return;
    QFont font = DialogFont();
    rWindow.setFont(font);
    m_baseUnits = DialogBaseUnits(font);
    rWindow.setWindowTitle(Text(m_pTemplate->pszCaption));
    rWindow.setFixedSize(Map(0, 0, m_pTemplate->cx, m_pTemplate->cy).size());

    QList<QWidget*> created;
    for (size_t i = 0; i < m_pTemplate->nControls; ++i) {
        const SControlTemplate& control = m_pTemplate->pControls[i];
        QWidget* pWidget = Create(rWindow, control);
        created.append(pWidget);
        if (control.nId != IDC_STATIC)
            m_controls.insert(control.nId, pWidget);
    }

    for (size_t i = 0; i < m_pTemplate->nControls; ++i) {
        const SControlTemplate& control = m_pTemplate->pControls[i];
        QWidget* pWidget = created[static_cast<int>(i)];
        if (control.pszAccessibleName)
            pWidget->setAccessibleName(Text(control.pszAccessibleName));
        if (control.nLabelFor != 0) {
            QLabel* pLabel = qobject_cast<QLabel*>(pWidget);
            QWidget* pBuddy = Control(control.nLabelFor);
            if (pLabel && pBuddy) {
                pLabel->setBuddy(pBuddy);
                pBuddy->setAccessibleName(WithoutMnemonic(pLabel->text()));
            }
        }
        // A group box only frames: it lies beneath the controls it frames and
        // lets clicks through to the window, as the Windows one does.
        if (control.kind == EControlKind::GroupBox) {
            pWidget->lower();
            pWidget->setAttribute(Qt::WA_TransparentForMouseEvents);
        }
    }
    m_all = created;
}

namespace {

QWidget* MakeButton(QWidget& rWindow, const QString& strText, bool bDefault) {
    auto* pButton = new QPushButton(strText, &rWindow);
    pButton->setAutoDefault(true);
    pButton->setDefault(bDefault);
    pButton->setContextMenuPolicy(Qt::PreventContextMenu);
    return pButton;
}

QWidget* MakeLabel(QWidget& rWindow, const QString& strText, const SControlTemplate& control,
                   QRect& rRect) {
    auto* pLabel = new QLabel(&rWindow);
    pLabel->setTextFormat(Qt::PlainText);
    pLabel->setText(strText);
    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int nNeeded = pLabel->sizeHint().width();
    const bool bTwoLines = control.cy > 8;
    pLabel->setWordWrap(bTwoLines);
    if (rRect.width() == 0) {
        rRect.setWidth(nNeeded);
    } else if (!bTwoLines && nNeeded > rRect.width()) {
        // The desktop font may run wider than the one the template was
        // drawn for; a label is widened rather than clipped, towards the
        // left when the box it names lies to its right.
        const int nExtra = nNeeded - rRect.width();
        if (control.nLabelFor != 0) {
            rRect.setLeft(std::max(0, rRect.left() - nExtra));
            pLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
        } else {
            rRect.setWidth(nNeeded);
        }
    }
    if (rRect.height() < pLabel->fontMetrics().height())
        rRect.setHeight(pLabel->fontMetrics().height());
    return pLabel;
}

QWidget* MakeEdit(QWidget& rWindow, bool bPassword) {
    auto* pEdit = new QLineEdit(&rWindow);
    if (bPassword)
        pEdit->setEchoMode(QLineEdit::Password);
    return pEdit;
}

QWidget* MakeLogEdit(QWidget& rWindow) {
    auto* pEdit = new QPlainTextEdit(&rWindow);
    pEdit->setReadOnly(true);
    pEdit->setUndoRedoEnabled(false);
    pEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    pEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return pEdit;
}

QWidget* MakeListBox(QWidget& rWindow) {
    auto* pList = new QListWidget(&rWindow);
    pList->setSelectionMode(QAbstractItemView::SingleSelection);
    pList->setSortingEnabled(false);
    pList->setContextMenuPolicy(Qt::PreventContextMenu);
    return pList;
}

QWidget* MakeListView(QWidget& rWindow) {
    auto* pView = new QTreeView(&rWindow);
    pView->setRootIsDecorated(false);
    pView->setItemsExpandable(false);
    pView->setUniformRowHeights(true);
    pView->setAllColumnsShowFocus(true);
    pView->setSelectionMode(QAbstractItemView::SingleSelection);
    pView->setSelectionBehavior(QAbstractItemView::SelectRows);
    pView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pView->setContextMenuPolicy(Qt::PreventContextMenu);
    pView->header()->setStretchLastSection(false);
    pView->header()->setSectionsMovable(false);
    pView->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return pView;
}

QWidget* MakeCheckBox(QWidget& rWindow, const QString& strText, QRect& rRect) {
    auto* pCheck = new QCheckBox(strText, &rWindow);
    pCheck->setContextMenuPolicy(Qt::PreventContextMenu);
    if (rRect.width() == 0 || pCheck->sizeHint().width() > rRect.width())
        rRect.setWidth(pCheck->sizeHint().width());
    if (pCheck->sizeHint().height() > rRect.height())
        rRect.setHeight(pCheck->sizeHint().height());
    return pCheck;
}

QWidget* MakeSlider(QWidget& rWindow) {
    auto* pSlider = new QSlider(Qt::Horizontal, &rWindow);
    pSlider->setTickPosition(QSlider::TicksBelow);
    pSlider->setTickInterval(1);
    pSlider->setPageStep(1);
    pSlider->setContextMenuPolicy(Qt::PreventContextMenu);
    return pSlider;
}

QWidget* MakeDropDownList(QWidget& rWindow, const char* pszChoices, QRect& rRect) {
    auto* pList = new QComboBox(&rWindow);
    pList->setEditable(false);
    if (pszChoices)
        pList->addItems(QString::fromUtf8(pszChoices).split(u'\n'));
    // The desktop's drop-down may need more height than an edit box.
    if (pList->sizeHint().height() > rRect.height())
        rRect.setHeight(pList->sizeHint().height());
    return pList;
}

QWidget* MakeSpinBox(QWidget& rWindow, QRect& rRect) {
    auto* pSpin = new QSpinBox(&rWindow);
    pSpin->setRange(0, CLimitSettings::kMaxRate);
    pSpin->setSuffix(QStringLiteral(" KB/s"));
    pSpin->setSpecialValueText(QStringLiteral("sin l\u00edmite"));
    pSpin->setContextMenuPolicy(Qt::PreventContextMenu);
    if (pSpin->sizeHint().height() > rRect.height())
        rRect.setHeight(pSpin->sizeHint().height());
    return pSpin;
}

QWidget* MakeReadOnlyEdit(QWidget& rWindow) {
    auto* pEdit = new QLineEdit(&rWindow);
    pEdit->setReadOnly(true);
    // Reachable by Tab and selectable, to copy what it shows.
    pEdit->setFocusPolicy(Qt::StrongFocus);
    return pEdit;
}

QWidget* MakeIcon(QWidget& rWindow, const QRect& rect) {
    auto* pIcon = new QLabel(&rWindow);
    const int nSide = std::min(rect.width(), rect.height());
    pIcon->setPixmap(LoadIconResource(IDR_MAINFRAME).pixmap(nSide, nSide));
    pIcon->setAlignment(Qt::AlignCenter);
    return pIcon;
}

} // namespace

QWidget* CDialogLayout::Create(QWidget& rWindow, const SControlTemplate& control) {
    QRect rect = Map(control.x, control.y, control.cx, control.cy);
    const QString strText = Text(control.pszText);
    // The widgets are children of the window, which owns and deletes them.
    QWidget* pWidget = nullptr;
    switch (control.kind) {
    case EControlKind::PushButton:
    case EControlKind::DefPushButton:
        pWidget = MakeButton(rWindow, strText, control.kind == EControlKind::DefPushButton);
        break;
    case EControlKind::GroupBox:
        pWidget = new QGroupBox(strText, &rWindow);
        break;
    case EControlKind::Label:
        pWidget = MakeLabel(rWindow, strText, control, rect);
        break;
    case EControlKind::Edit:
    case EControlKind::PasswordEdit:
        pWidget = MakeEdit(rWindow, control.kind == EControlKind::PasswordEdit);
        break;
    case EControlKind::LogEdit:
        pWidget = MakeLogEdit(rWindow);
        break;
    case EControlKind::ListBox:
        pWidget = MakeListBox(rWindow);
        break;
    case EControlKind::ListView:
        pWidget = MakeListView(rWindow);
        break;
    case EControlKind::CheckBox:
        pWidget = MakeCheckBox(rWindow, strText, rect);
        break;
    case EControlKind::Slider:
        pWidget = MakeSlider(rWindow);
        break;
    case EControlKind::Icon:
        pWidget = MakeIcon(rWindow, rect);
        break;
    case EControlKind::DropDownList:
        pWidget = MakeDropDownList(rWindow, control.pszChoices, rect);
        break;
    case EControlKind::ReadOnlyEdit:
        pWidget = MakeReadOnlyEdit(rWindow);
        break;
    case EControlKind::SpinBox:
        pWidget = MakeSpinBox(rWindow, rect);
        break;
    }
    pWidget->setGeometry(rect);
    // Controls made for a window already on screen (a page shown for the
    // first time) are shown with it.
    pWidget->show();
    pWidget->setObjectName(QStringLiteral("control%1").arg(control.nId));
    return pWidget;
}
