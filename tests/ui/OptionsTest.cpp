#include "config/PasswordHash.h"
#include "res/Templates.h"
#include "server/ServerHost.h"
#include "tests/ui/WindowTestSupport.h"
#include "ui/AdvancedPage.h"
#include "ui/ConnectionsPage.h"
#include "ui/DialogLayout.h"
#include "ui/FolderDlg.h"
#include "ui/FoldersPage.h"
#include "ui/HelpWindow.h"
#include "ui/OptionsSheet.h"
#include "ui/RecordListPage.h"
#include "ui/ServerDlg.h"
#include "ui/ServerPage.h"
#include "ui/UserDlg.h"
#include "ui/UsersPage.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>
#include <optional>

namespace {

QString Utf8(const char* psz) {
    return QString::fromUtf8(psz);
}

// Cell texts of a page's list, row by row, as the view asks for them.
QStringList Rows(CRecordListPage& rPage) {
    QStringList rows;
    QAbstractItemModel* pModel = rPage.View()->model();
    for (int r = 0; r < pModel->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < pModel->columnCount(); ++c)
            cells << pModel->index(r, c).data().toString();
        rows << cells.join('|');
    }
    return rows;
}

void Redraw(CRecordListPage& rPage) {
    rPage.View()->viewport()->repaint();
    // Cells are asked for while rows are drawn; ask as drawing does.
    QAbstractItemModel* pModel = rPage.View()->model();
    if (pModel->rowCount() > 0)
        (void)pModel->index(0, 0).data();
}

void Select(CRecordListPage& rPage, int nRow) {
    rPage.View()->selectionModel()->clearSelection();
    if (nRow >= 0)
        rPage.View()->selectionModel()->select(rPage.View()->model()->index(nRow, 0),
                                               QItemSelectionModel::Select |
                                                   QItemSelectionModel::Rows);
    Redraw(rPage);
}

QPushButton* PageButton(CRecordListPage& rPage, int nId) {
    return rPage.Layout().Get<QPushButton>(nId);
}

// Fills the dialog that opens next and presses OK (or Cancel).
struct SUserAnswer {
    QString strName, strPassword;
    bool bDownload = false, bUpload = false;
    bool bCancel = false;
};

} // namespace

class OptionsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CServerDlg> m_pOwner;
    std::unique_ptr<COptionsSheet> m_pSheet;
    int m_nPort = 0;

    void Open(SSeed seed) {
        m_pSheet.reset();
        m_pOwner.reset();
        if (seed.nPort == 0)
            seed.nPort = FreePort();
        m_nPort = seed.nPort;
        SeedSettings(seed);
        m_pOwner = std::make_unique<CServerDlg>();
        m_pOwner->show();
        m_pSheet = m_pOwner->MakeOptionsSheet();
        m_pSheet->show();
    }
    void Open() { Open(SSeed()); }
    CUsersPage& Users() { return m_pSheet->UsersPage(); }
    CFoldersPage& Folders() {
        m_pSheet->SetActivePage(1);
        return m_pSheet->FoldersPage();
    }
    CServerPage& Server() {
        m_pSheet->SetActivePage(2);
        return m_pSheet->ServerPage();
    }
    QLineEdit* ServerBox(int nId) { return Server().Layout().Get<QLineEdit>(nId); }
    CAdvancedPage& Advanced() {
        m_pSheet->SetActivePage(3);
        return m_pSheet->AdvancedPage();
    }
    QLineEdit* AdvancedBox(int nId) { return Advanced().Layout().Get<QLineEdit>(nId); }
    CConnectionsPage& Connections() {
        m_pSheet->SetActivePage(4);
        return m_pSheet->ConnectionsPage();
    }
    QLineEdit* ConnectionsBox(int nId) { return Connections().Layout().Get<QLineEdit>(nId); }
    // The next control that Tab reaches.
    static QWidget* NextInTabOrder(QWidget* pWidget) {
        do
            pWidget = pWidget->nextInFocusChain();
        while (!(pWidget->focusPolicy() & Qt::TabFocus));
        return pWidget;
    }
    // What a screen reader calls the control.
    static QString AccessibleName(QWidget* pWidget) {
        return QAccessible::queryAccessibleInterface(pWidget)->text(QAccessible::Name);
    }
    // Leaves the page in front for the first one and returns the text of the
    // message box that a refusal shows (empty when none opens).
    QString MessageOnLeavingPage() {
        QString strMessage;
        WhenModalOpens([&](QWidget* pWidget) {
            if (auto* pBox = qobject_cast<QMessageBox*>(pWidget)) {
                strMessage = pBox->text();
                pBox->accept();
            }
        });
        m_pSheet->SetActivePage(0);
        return strMessage;
    }

    // Answers the user dialog that the next action opens: notes what it
    // shows, then fills it in and presses OK, or presses OK (or Cancel) on it
    // as it is.
    void HandleUserDialog(std::optional<SUserAnswer> answer, bool bCancel, SUserAnswer* pSeen) {
        WhenModalOpens([answer, bCancel, pSeen](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            const CDialogLayout& layout = pDialog->Layout();
            if (pSeen) {
                pSeen->strName = layout.Get<QLineEdit>(IDC_USER_NAME)->text();
                pSeen->strPassword = layout.Get<QLineEdit>(IDC_PASSWORD)->text();
                pSeen->bDownload = layout.Get<QCheckBox>(IDC_DOWNLOAD)->isChecked();
                pSeen->bUpload = layout.Get<QCheckBox>(IDC_UPLOAD)->isChecked();
            }
            if (answer) {
                layout.Get<QLineEdit>(IDC_USER_NAME)->setText(answer->strName);
                layout.Get<QLineEdit>(IDC_PASSWORD)->setText(answer->strPassword);
                layout.Get<QCheckBox>(IDC_DOWNLOAD)->setChecked(answer->bDownload);
                layout.Get<QCheckBox>(IDC_UPLOAD)->setChecked(answer->bUpload);
            }
            layout.Get<QPushButton>(bCancel ? IDCANCEL : IDOK)->click();
        });
    }
    void AnswerUserDialog(SUserAnswer answer) {
        const bool bCancel = answer.bCancel;
        HandleUserDialog(bCancel ? std::nullopt : std::optional<SUserAnswer>(answer), bCancel,
                         nullptr);
    }
    void ConfirmUserDialog(SUserAnswer* pSeen = nullptr) {
        HandleUserDialog(std::nullopt, false, pSeen);
    }

private slots:
    void cleanup() {
        m_pSheet.reset();
        m_pOwner.reset();
    }

    void theSheetItsTabsAndButtons() {
        Open();
        QCOMPARE(m_pSheet->windowTitle(), QStringLiteral("Opciones"));
        QTabWidget& tabs = m_pSheet->Tabs();
        QCOMPARE(tabs.count(), 5);
        QCOMPARE(tabs.tabText(0), QStringLiteral("Seguridad"));
        QCOMPARE(tabs.tabText(1), QStringLiteral("Acceso"));
        QCOMPARE(tabs.tabText(2), QStringLiteral("Servidor"));
        QCOMPARE(tabs.tabText(3), QStringLiteral("Avanzado"));
        QCOMPARE(tabs.tabText(4), QStringLiteral("Conexiones"));
        // Every tab is in sight at once, whichever page is in front.
        for (int nPage : {0, 4}) {
            m_pSheet->SetActivePage(nPage);
            for (int nTab = 0; nTab < tabs.count(); ++nTab)
                QVERIFY(tabs.tabBar()->rect().contains(tabs.tabBar()->tabRect(nTab)));
        }
        m_pSheet->SetActivePage(0);
        QCOMPARE(tabs.currentIndex(), 0);
        QVERIFY(Users().IsBuilt());
        QVERIFY(!m_pSheet->FoldersPage().IsBuilt());
        QVERIFY(!m_pSheet->ServerPage().IsBuilt());
        QDialogButtonBox& buttons = m_pSheet->Buttons();
        QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text().remove('&'),
                 QStringLiteral("Aceptar"));
        QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text().remove('&'),
                 QStringLiteral("Cancelar"));
        QCOMPARE(buttons.button(QDialogButtonBox::Apply)->text().remove('&'),
                 QStringLiteral("Aplicar"));
        QCOMPARE(buttons.button(QDialogButtonBox::Help)->text().remove('&'),
                 QStringLiteral("Ayuda"));
        QVERIFY(!buttons.button(QDialogButtonBox::Apply)->isEnabled());
        // Help opens at the section of the page in front.
        Folders();
        buttons.button(QDialogButtonBox::Help)->click();
        QCOMPARE(m_pOwner->HelpWindow()->source().fragment(), QStringLiteral("acceso"));
        // Names for assistive technology.
        auto Name = [](QWidget* p) {
            return QAccessible::queryAccessibleInterface(p)->text(QAccessible::Name);
        };
        QCOMPARE(Name(Users().View()), QStringLiteral("Acceso permitido a usuarios"));
        QCOMPARE(Name(Folders().View()), QStringLiteral("Carpetas a compartir"));
        QCOMPARE(Name(ServerBox(IDC_PORT)), QStringLiteral("Puerto:"));
        QCOMPARE(Name(ServerBox(IDC_TIMEOUT)), QStringLiteral("Tiempo:"));
        QCOMPARE(Name(Server().Layout().Control(IDC_LOG_LEVEL)), QStringLiteral("Logeando:"));
        QCOMPARE(Name(Server().Layout().Control(IDC_HIDE)),
                 QStringLiteral("Ocultar ventana cuando se minimize"));
        CUserDlg userDialog;
        QCOMPARE(Name(userDialog.Layout().Control(IDC_USER_NAME)), QStringLiteral("Usuario:"));
        QCOMPARE(Name(userDialog.Layout().Control(IDC_PASSWORD)), Utf8("Contrase\xC3\xB1"
                                                                       "a:"));
        CFolderDlg folderDialog;
        QCOMPARE(Name(folderDialog.Layout().Control(IDC_LOCAL_PATH)),
                 QStringLiteral("Carpeta que puede ser compartida:"));
        QCOMPARE(Name(folderDialog.Layout().Control(IDC_VIRTUAL_PATH)),
                 QStringLiteral("Nombre con el que los usuarios la veran:"));
        QCOMPARE(folderDialog.windowTitle(), Utf8("A\xC3\xB1"
                                                  "adir/Editar Carpeta"));
        QCOMPARE(userDialog.windowTitle(), Utf8("A\xC3\xB1"
                                                "adir/Editar Usuario"));
    }

    // Users page.

    void userRowsAndCellsFromStoredRecords() {
        SSeed seed;
        const std::string strLong(300, 'n');
        seed.users = {"anonymous,,0,1",  "solo,,1",          "raro,x,Y,2",
                      "dos,partes,,0,1", strLong + ",p,1,1", ""};
        Open(seed);
        const QStringList rows = Rows(Users());
        QCOMPARE(rows.size(), 6);
        QCOMPARE(rows[0], QStringLiteral("anonymous|Y|N"));
        QCOMPARE(rows[1], QStringLiteral("solo|N|N"));
        QCOMPARE(rows[2], QStringLiteral("raro|N|N"));
        // Read from both ends: the password "partes,", download allowed.
        QCOMPARE(rows[3], QStringLiteral("dos|Y|N"));
        QCOMPARE(rows[4], QString(255, u'n') + QStringLiteral("|Y|Y"));
        QCOMPARE(rows[5], QStringLiteral("|N|N"));
        auto* pHeader = Users().View()->model();
        QCOMPARE(pHeader->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Usuario"));
        QCOMPARE(pHeader->headerData(1, Qt::Horizontal).toString(), QStringLiteral("R"));
        QCOMPARE(pHeader->headerData(2, Qt::Horizontal).toString(), QStringLiteral("W"));
        QCOMPARE(CutOnCharBoundary("ab\xC3\xB1", 3), std::string("ab"));

        // Editing the damaged records rewrites their flags as "0".
        Select(Users(), 1);
        ConfirmUserDialog();
        Users().OnEdit();
        QCOMPARE(Users().Records()[1], std::string("solo,,0,0"));
        Select(Users(), 3);
        SUserAnswer seen;
        ConfirmUserDialog(&seen);
        Users().OnEdit();
        QCOMPARE(seen.strName, QStringLiteral("dos"));
        QCOMPARE(seen.strPassword, QStringLiteral("partes,"));
        QCOMPARE(Users().Records()[3], std::string("dos,partes,,0,1"));
    }

    void userButtonsFollowTheSelectionAsRowsAreDrawn() {
        Open();
        // An empty list (the store gives one only from a negative count).
        m_pSheet.reset();
        EditSettings(m_pOwner->Host())->m_users.clear();
        m_pSheet = m_pOwner->MakeOptionsSheet();
        m_pSheet->show();
        QVERIFY(Rows(Users()).isEmpty());
        QVERIFY(PageButton(Users(), IDC_EDIT)->isEnabled());
        QVERIFY(PageButton(Users(), IDC_DELETE)->isEnabled());
        bool bOpened = false;
        QPointer<QTimer> pWatch = WhenModalOpens(
            [&](QWidget* pWidget) {
                bOpened = qobject_cast<CUserDlg*>(pWidget) != nullptr;
                pWidget->close();
            },
            m_pSheet.get());
        Users().OnEdit(); // nothing selected: nothing opens
        // A dialog run by OnEdit would have been met by the watch before
        // OnEdit returned; one merely shown would be active now.
        QVERIFY(!bOpened);
        QVERIFY(!QApplication::activePopupWidget());
        QVERIFY(!QApplication::activeModalWidget() ||
                QApplication::activeModalWidget() == m_pSheet.get());
        delete pWatch;
        QVERIFY(!Users().IsModified());
        Users().OnDelete();
        QVERIFY(Users().IsModified());
        QVERIFY(m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());

        Open();
        Select(Users(), 0);
        QVERIFY(PageButton(Users(), IDC_EDIT)->isEnabled());
        QVERIFY(PageButton(Users(), IDC_DELETE)->isEnabled());
        Select(Users(), -1);
        QVERIFY(!PageButton(Users(), IDC_EDIT)->isEnabled());
        QVERIFY(!PageButton(Users(), IDC_DELETE)->isEnabled());
        // Deleting a row while others remain leaves no selection.
        Select(Users(), 0);
        PageButton(Users(), IDC_DELETE)->click();
        QCOMPARE(Users().Records(), std::vector<std::string>{"ana,secreto,1,1"});
        QCOMPARE(Users().SelectedRow(), -1);
        Redraw(Users());
        QVERIFY(!PageButton(Users(), IDC_DELETE)->isEnabled());
        // Deleting the only row leaves both enabled: no cell is drawn any more.
        Select(Users(), 0);
        Users().OnDelete();
        Redraw(Users());
        QVERIFY(Users().Records().empty());
        QVERIFY(PageButton(Users(), IDC_EDIT)->isEnabled());
        QVERIFY(PageButton(Users(), IDC_DELETE)->isEnabled());
    }

    void aNameWithACommaIsRefused() {
        Open();
        // The record would end the name at its comma: the dialog says so and
        // stays open with the name to correct; the corrected account is
        // added.
        QString strRefusal;
        bool bStayedOpen = false;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            const CDialogLayout& layout = pDialog->Layout();
            layout.Get<QLineEdit>(IDC_USER_NAME)->setText(QStringLiteral("bob,x"));
            layout.Get<QLineEdit>(IDC_PASSWORD)->setText(QStringLiteral("pw"));
            WhenModalOpens(
                [&](QWidget* pBox) {
                    if (auto* pMessage = qobject_cast<QMessageBox*>(pBox)) {
                        strRefusal = pMessage->text();
                        pMessage->accept();
                    }
                },
                pDialog);
            layout.Get<QPushButton>(IDOK)->click();
            bStayedOpen = pDialog->isVisible();
            layout.Get<QLineEdit>(IDC_USER_NAME)->setText(QStringLiteral("bob"));
            layout.Get<QPushButton>(IDOK)->click();
        });
        const size_t nBefore = Users().Records().size();
        Users().OnAdd();
        QCOMPARE(strRefusal, QStringLiteral("El nombre no puede contener comas."));
        QVERIFY(bStayedOpen);
        QCOMPARE(Users().Records().size(), nBefore + 1);
        QCOMPARE(CUserRecord::Parse(Users().Records().back()).Name(), std::string("bob"));
    }

    void addEditAndDeleteAccounts() {
        Open();
        // Add, then OK unchanged: a further "anonymous,,0,1".
        SUserAnswer seen;
        ConfirmUserDialog(&seen);
        PageButton(Users(), IDC_ADD)->click();
        QCOMPARE(seen.strName, QStringLiteral("anonymous"));
        QCOMPARE(seen.strPassword, QString());
        QVERIFY(seen.bDownload);
        QVERIFY(!seen.bUpload);
        QCOMPARE(Users().Records().back(), std::string("anonymous,,0,1"));
        QCOMPARE(Rows(Users()).size(), 3);
        // Texts as typed, with blanks and a password's comma kept (a name
        // cannot hold one).
        AnswerUserDialog({QStringLiteral(" bob x"), QStringLiteral("p, w"), false, true});
        Users().OnAdd();
        QCOMPARE(Users().Records().back(), std::string(" bob x,p, w,1,0"));
        // Cancel changes nothing.
        SUserAnswer cancel;
        cancel.bCancel = true;
        AnswerUserDialog(cancel);
        Users().OnAdd();
        QCOMPARE(Users().Records().size(), size_t(4));
        // Editing "anonymous,,0,1" shows its values and writes it back unchanged.
        Select(Users(), 0);
        ConfirmUserDialog(&seen);
        Users().OnEdit();
        QCOMPARE(seen.strName, QStringLiteral("anonymous"));
        QVERIFY(seen.bDownload && !seen.bUpload);
        QCOMPARE(Users().Records()[0], std::string("anonymous,,0,1"));
        // A double click on the list edits the selected row.
        Select(Users(), 1);
        AnswerUserDialog({QStringLiteral("ana"), QStringLiteral("nueva"), true, false});
        QTest::mouseDClick(Users().View()->viewport(), Qt::LeftButton, {}, QPoint(10, 30));
        QCOMPARE(Users().Records()[1], std::string("ana,nueva,0,1"));
        QCOMPARE(Rows(Users())[1], QStringLiteral("ana|Y|N"));
        // Nothing reached the main window before an apply.
        QCOMPARE(m_pOwner->Settings().m_users.size(), size_t(2));
    }

    void userTextsAreLimitedTo128Characters() {
        CUserDlg dialog;
        QLineEdit* pName = dialog.Layout().Get<QLineEdit>(IDC_USER_NAME);
        dialog.show();
        pName->setFocus();
        QTest::keyClicks(pName, QString(130, u'a'));
        QCOMPARE(pName->text().size(), 128);
        // A longer text that reaches OK is refused with the framework's message.
        dialog.m_strName = QString(129, u'b');
        QString strMessage;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            WhenModalOpens(
                [&](QWidget* pBox) {
                    if (auto* pMessage = qobject_cast<QMessageBox*>(pBox)) {
                        strMessage = pMessage->windowTitle() + "|" + pMessage->text();
                        pMessage->accept();
                    }
                    QTimer::singleShot(0, pDialog, [pDialog] {
                        const bool bFocused =
                            pDialog->focusWidget() == pDialog->Layout().Control(IDC_USER_NAME);
                        pDialog->Layout()
                            .Get<QLineEdit>(IDC_USER_NAME)
                            ->setText(bFocused ? "ok" : "not focused");
                        pDialog->Layout().Get<QPushButton>(IDOK)->click();
                    });
                },
                pDialog);
            pDialog->Layout().Get<QPushButton>(IDOK)->click();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(strMessage, QStringLiteral("skerrow|Please enter no more than 128 characters."));
        QCOMPARE(dialog.m_strName, QStringLiteral("ok"));
    }

    void applyTwiceApplyThenCancelAndPagesNeverShown() {
        SSeed seed;
        seed.nLogLevel = 5; // the server page would store 2
        Open(seed);
        Select(Users(), 0);
        Users().OnDelete();
        QVERIFY(m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());
        m_pSheet->Buttons().button(QDialogButtonBox::Apply)->click();
        QCOMPARE(RecordTexts(m_pOwner->Settings().m_users),
                 std::vector<std::string>{"ana,secreto,1,1"});
        QVERIFY(!m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(RecordTexts(m_pOwner->Settings().m_users),
                 std::vector<std::string>{"ana,secreto,1,1"});
        // A change after Apply is lost by Cancel; the applied one stays.
        Users().OnDelete();
        m_pSheet->reject();
        QCOMPARE(RecordTexts(m_pOwner->Settings().m_users),
                 std::vector<std::string>{"ana,secreto,1,1"});
        QCOMPARE(m_pOwner->Settings().m_nLogLevel, 5);
        QCOMPARE(m_pOwner->Settings().m_folderMap.size(), size_t(1));
    }

    // The pages change the sheet's copy of the settings: the server's stay
    // as they are until Apply or OK hands the copy over, and Cancel drops it.
    void pagesEditACopyThatApplyHandsOver() {
        const auto ChangeThreePages = [this] {
            Select(Users(), 0);
            Users().OnDelete();
            ServerBox(IDC_TIMEOUT)->setText(QStringLiteral("42"));
            ConnectionsBox(IDC_DENY)->setText(QStringLiteral("192.0.2.0/24"));
            // Leaving the connections page reads it back.
            m_pSheet->SetActivePage(0);
        };
        const auto Untouched = [this] {
            const CServerSettings& settings = m_pOwner->Settings();
            return RecordTexts(settings.m_users) ==
                       std::vector<std::string>{"anonymous,,0,1", "ana,secreto,1,1"} &&
                   settings.m_nTimeout == 100 && settings.m_logins.m_strDeny.empty();
        };
        Open();
        ChangeThreePages();
        QVERIFY(Untouched());
        m_pSheet->reject();
        QVERIFY(Untouched());
        // A client is served by what is in force: the account deleted on the
        // page still logs in.
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("anonymous", ""));

        m_pSheet = m_pOwner->MakeOptionsSheet();
        m_pSheet->show();
        ChangeThreePages();
        QVERIFY(Untouched());
        QVERIFY(m_pSheet->Apply());
        const CServerSettings& settings = m_pOwner->Settings();
        QCOMPARE(RecordTexts(settings.m_users), std::vector<std::string>{"ana,secreto,1,1"});
        QCOMPARE(settings.m_nTimeout, 42);
        QCOMPARE(settings.m_logins.m_strDeny, std::string("192.0.2.0/24"));
        QCOMPARE(RecordTexts(m_pSheet->Settings().m_users), RecordTexts(settings.m_users));
    }

    void optionsSavedHoweverTheSheetCloses() {
        Open();
        m_pSheet.reset();
        // Cancel at once still rewrites the store with what is in force.
        EditSettings(m_pOwner->Host())->m_nTimeout = 55;
        bool bServed = false;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pSheet = qobject_cast<COptionsSheet*>(pWidget);
            if (!pSheet)
                return;
            // Clients are served while the sheet is open.
            CTestClient client(m_nPort);
            bServed = client.WaitConnected() && client.Login("ana", "secreto");
            pSheet->reject();
        });
        m_pOwner->OnOptions();
        QVERIFY(bServed);
        QCOMPARE(StoredSettings().m_nTimeout, 55);
        // Changing only the folders page and pressing OK: the users page
        // applies its unchanged copy, the server page changes nothing.
        EditSettings(m_pOwner->Host())->m_nLogLevel = 5;
        WhenModalOpens([](QWidget* pWidget) {
            auto* pSheet = qobject_cast<COptionsSheet*>(pWidget);
            if (!pSheet)
                return;
            pSheet->SetActivePage(1);
            pSheet->FoldersPage().OnDelete();
            pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        });
        // The tray's "O&pciones" goes to the same command.
        m_pOwner->OnCommand(ID_TRAY_OPTIONS);
        QVERIFY(!m_pOwner->OptionsSheet());
        const CServerSettings stored = StoredSettings();
        QCOMPARE(stored.m_nLogLevel, 5);
        QCOMPARE(RecordTexts(stored.m_users),
                 (std::vector<std::string>{"anonymous,,0,1", "ana,secreto,1,1"}));
        QCOMPARE(m_pOwner->Settings().m_folderMap.size(), size_t(1)); // nothing was selected
    }

    // Stored passwords.

    void aNewPasswordIsHashedOffTheLoopWhileTheDialogWaits() {
        SSeed seed;
        seed.bHashPasswords = true;
        seed.users = {"anonymous,,0,1", "ana,secreto,1,1"};
        Open(seed);
        bool bWaited = false;
        bool bServed = false;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            pDialog->Layout().Get<QLineEdit>(IDC_PASSWORD)->setText(QStringLiteral("nueva,x"));
            pDialog->Layout().Get<QPushButton>(IDOK)->click();
            // OK waits for the hash with the dialog disabled; Cancel and
            // closing do nothing meanwhile, and clients are served.
            bWaited = pDialog->IsHashing() && pDialog->isVisible() &&
                      !pDialog->Layout().Control(IDOK)->isEnabled();
            pDialog->reject();
            bWaited = bWaited && pDialog->isVisible();
            CTestClient client(m_nPort);
            bServed = client.WaitConnected() && client.Login("ana", "secreto");
        });
        Select(Users(), 1);
        Users().OnEdit();
        QVERIFY(bWaited);
        QVERIFY(bServed);
        const CUserRecord ana = CUserRecord::Parse(Users().Records()[1]);
        QCOMPARE(ana.Name(), std::string("ana"));
        QVERIFY(ana.MayUpload() && ana.MayDownload());
        QVERIFY(CPasswordHash::IsHash(ana.Password()));
        QVERIFY(CPasswordHash::Matches(ana.Password(), "nueva,x"));
        // An account added with a password: hashed too; an empty one stays empty.
        AnswerUserDialog({QStringLiteral("bea"), QStringLiteral("b"), true, true});
        Users().OnAdd();
        QVERIFY(CPasswordHash::Matches(CUserRecord::Parse(Users().Records()[2]).Password(), "b"));
        QCOMPARE(Users().Records()[0], std::string("anonymous,,0,1"));
    }

    void aStoredHashShowsTheNoteAndIsKeptWhenLeftEmpty() {
        const std::string strHash = CPasswordHash::Hash("secreto");
        SSeed seed;
        seed.users = {"ana," + strHash + ",1,0"};
        Open(seed);
        QString strNote;
        bool bNoteShown = false;
        SUserAnswer seen;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            const CDialogLayout& layout = pDialog->Layout();
            seen.strPassword = layout.Get<QLineEdit>(IDC_PASSWORD)->text();
            auto* pNote = layout.Get<QLabel>(IDC_PASSWORD_NOTE);
            strNote = pNote->text();
            bNoteShown = pNote->isVisible() && pDialog->rect().contains(pNote->geometry()) &&
                         pNote->heightForWidth(pNote->width()) <= pNote->height();
            layout.Get<QPushButton>(IDOK)->click();
        });
        Select(Users(), 0);
        Users().OnEdit();
        QCOMPARE(seen.strPassword, QString());
        QVERIFY(bNoteShown);
        QCOMPARE(strNote, Utf8("(contrase\xC3\xB1"
                               "a guardada; escriba una nueva para cambiarla)"));
        QCOMPARE(Users().Records()[0], "ana," + strHash + ",1,0");
        // Without HashPasswords a new password is stored as typed, and a
        // plain one shows no note.
        AnswerUserDialog({QStringLiteral("ana"), QStringLiteral("nueva"), false, true});
        Users().OnEdit();
        QCOMPARE(Users().Records()[0], std::string("ana,nueva,1,0"));
        WhenModalOpens([&](QWidget* pWidget) {
            if (auto* pDialog = qobject_cast<CUserDlg*>(pWidget)) {
                bNoteShown = pDialog->Layout().Control(IDC_PASSWORD_NOTE)->isVisible();
                pDialog->reject();
            }
        });
        Users().OnEdit();
        QVERIFY(!bNoteShown);
    }

    void okAndApplyHashEveryPlainPasswordAndTheFileHoldsNone() {
        SSeed seed;
        seed.bHashPasswords = true;
        seed.users = {"anonymous,,0,1", "ana,secreto,1,1", "bea,a,b,0,1"};
        Open(seed);
        m_pSheet.reset();
        bool bWaited = false;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pSheet = qobject_cast<COptionsSheet*>(pWidget);
            if (!pSheet)
                return;
            pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
            bWaited = pSheet->IsHashing() && pSheet->isVisible() && !pSheet->Buttons().isEnabled();
            pSheet->reject();
            bWaited = bWaited && pSheet->isVisible();
        });
        m_pOwner->OnOptions();
        QVERIFY(bWaited);
        const std::vector<std::string> stored = RecordTexts(StoredSettings().m_users);
        QCOMPARE(stored.size(), size_t(3));
        QCOMPARE(stored[0], std::string("anonymous,,0,1"));
        QVERIFY(CPasswordHash::Matches(CUserRecord::Parse(stored[1]).Password(), "secreto"));
        QVERIFY(CPasswordHash::Matches(CUserRecord::Parse(stored[2]).Password(), "a,b"));
        QCOMPARE(RecordTexts(m_pOwner->Settings().m_users), stored);
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("bea", "a,b"));
    }

    void advancedPageHashPasswordsBoxRoundTrips() {
        Open();
        CAdvancedPage& page = Advanced();
        auto* pBox = page.Layout().Get<QCheckBox>(IDC_HASH_PASSWORDS);
        QCOMPARE(pBox->text(), Utf8("Guardar las contrase\xC3\xB1"
                                    "as cifradas (Argon2id)"));
        QCOMPARE(AccessibleName(pBox), pBox->text());
        QVERIFY(!pBox->isChecked());
        // Last in the tab order, available without the extended mode, and
        // nothing of it cut off.
        QCOMPARE(NextInTabOrder(AdvancedBox(IDC_TLS_FINGERPRINT)), pBox);
        QVERIFY(pBox->isEnabled());
        QVERIFY(page.rect().contains(pBox->geometry()));
        QVERIFY(pBox->sizeHint().width() <= pBox->width());
        QTest::mouseClick(pBox, Qt::LeftButton);
        QVERIFY(m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());
        QVERIFY(m_pSheet->Apply());
        // Applied with the box on: the plain password is hashed first.
        QTRY_VERIFY(!m_pSheet->IsHashing());
        QVERIFY(m_pOwner->Settings().m_logins.m_bHashPasswords);
        QVERIFY(CPasswordHash::IsHash(m_pOwner->Settings().m_users[1].Password()));
        m_pSheet = m_pOwner->MakeOptionsSheet();
        QVERIFY(Advanced().Layout().Get<QCheckBox>(IDC_HASH_PASSWORDS)->isChecked());
        QTest::mouseClick(Advanced().Layout().Get<QCheckBox>(IDC_HASH_PASSWORDS), Qt::LeftButton);
        QVERIFY(m_pSheet->Apply());
        QVERIFY(!m_pOwner->Settings().m_logins.m_bHashPasswords);
    }

    void advancedPageImplicitTlsPortField() {
        SSeed seed;
        seed.bExtended = true;
        Open(seed);
        CAdvancedPage& page = Advanced();
        QLineEdit* pBox = AdvancedBox(IDC_IMPLICIT_TLS_PORT);
        const QString strCaption = Utf8("Puerto FTPS impl\xC3\xAD"
                                        "cito (0 = no)");
        // Named by its label, which says what 0 means; reached by Tab after
        // the password box; nothing of it cut off.
        QCOMPARE(AccessibleName(pBox), strCaption);
        QCOMPARE(pBox->text(), QStringLiteral("0"));
        QCOMPARE(NextInTabOrder(page.Layout().Control(IDC_HASH_PASSWORDS)),
                 static_cast<QWidget*>(pBox));
        QVERIFY(page.rect().contains(pBox->geometry()));
        for (QLabel* pLabel : page.findChildren<QLabel*>())
            if (pLabel->buddy() == pBox) {
                QCOMPARE(pLabel->text(), strCaption);
                QVERIFY(pLabel->sizeHint().width() <= pLabel->width());
                QVERIFY(!pLabel->geometry().intersects(pBox->geometry()));
            }
        // A TCP port or 0; anything else keeps the page in front.
        for (const auto& [pszValue, pszMessage] :
             {std::pair{"65536", "Please enter an integer between 0 and 65535."},
              std::pair{"990x", "Please enter a positive integer."}}) {
            pBox->setText(QString::fromUtf8(pszValue));
            QCOMPARE(MessageOnLeavingPage(), QString::fromUtf8(pszMessage));
            QCOMPARE(m_pSheet->focusWidget(), pBox);
        }
        // Applied: the running server listens there too.
        const int nImplicit = FreePort();
        pBox->setText(QString::number(nImplicit));
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(m_pOwner->Settings().m_extended.m_nImplicitTlsPort, nImplicit);
        QTRY_VERIFY(QString::fromStdString(m_pOwner->Host().LogText())
                        .contains(Utf8("FTPS impl\xC3\xAD"
                                       "cito: escuchando en el puerto %1\n")
                                      .arg(nImplicit)));
        // Part of the extended mode: without it the field waits.
        QTest::mouseClick(page.Layout().Get<QCheckBox>(IDC_EXTENDED), Qt::LeftButton);
        QVERIFY(!pBox->isEnabled());
        QTest::mouseClick(page.Layout().Get<QCheckBox>(IDC_EXTENDED), Qt::LeftButton);
        QVERIFY(pBox->isEnabled());
    }

    void advancedPageUserFoldersBoxAndTheFolderDialogsPlaceholder() {
        Open();
        CAdvancedPage& page = Advanced();
        auto* pBox = page.Layout().Get<QCheckBox>(IDC_MAKE_USER_FOLDERS);
        QCOMPARE(pBox->text(), QStringLiteral("Crear la carpeta de cada usuario (%u) al entrar"));
        QCOMPARE(AccessibleName(pBox), pBox->text());
        QVERIFY(!pBox->isChecked());
        // After the implicit FTPS port, shown whole, and part of the extended mode.
        QCOMPARE(NextInTabOrder(page.Layout().Control(IDC_IMPLICIT_TLS_PORT)), pBox);
        QVERIFY(page.rect().contains(pBox->geometry()));
        QVERIFY(pBox->sizeHint().width() <= pBox->width());
        QVERIFY(!pBox->isEnabled());
        QTest::mouseClick(page.Layout().Get<QCheckBox>(IDC_EXTENDED), Qt::LeftButton);
        QVERIFY(pBox->isEnabled());
        QTest::mouseClick(pBox, Qt::LeftButton);
        QVERIFY(m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());
        QVERIFY(m_pSheet->Apply());
        QVERIFY(m_pOwner->Settings().m_extended.m_bMakeUserFolders);
        m_pSheet = m_pOwner->MakeOptionsSheet();
        QVERIFY(Advanced().Layout().Get<QCheckBox>(IDC_MAKE_USER_FOLDERS)->isChecked());
        QTest::mouseClick(Advanced().Layout().Get<QCheckBox>(IDC_MAKE_USER_FOLDERS),
                          Qt::LeftButton);
        QVERIFY(m_pSheet->Apply());
        QVERIFY(!m_pOwner->Settings().m_extended.m_bMakeUserFolders);
        // The folder dialog shows the placeholder where the local folder goes,
        // and says what it stands for to the eye and to a screen reader.
        CFolderDlg dialog;
        auto* pLocal = dialog.Layout().Get<QLineEdit>(IDC_LOCAL_PATH);
        QVERIFY(pLocal->placeholderText().contains(QStringLiteral("%u")));
        QVERIFY(pLocal->toolTip().startsWith(QStringLiteral("%u ")));
        QCOMPARE(QAccessible::queryAccessibleInterface(pLocal)->text(QAccessible::Description),
                 pLocal->toolTip());
        QCOMPARE(AccessibleName(pLocal), QStringLiteral("Carpeta que puede ser compartida:"));
    }

    // Folders page.

    void folderRowsAndTheRootProtection() {
        SSeed seed;
        seed.folders = {"/=/srv/raiz/,1,1", "sin igual", "/pub=/srv/a,b/,1,0", "/x=/srv/x/,2"};
        Open(seed);
        const QStringList rows = Rows(Folders());
        QCOMPARE(rows[0], QStringLiteral("/|/srv/raiz/|Y|Y"));
        // Read from both ends: the local folder holds the comma.
        QCOMPARE(rows[2], QStringLiteral("/pub|/srv/a,b/|N|Y"));
        QCOMPARE(rows[3], QStringLiteral("/x|/srv/x/|N|N"));
        auto* pModel = Folders().View()->model();
        QCOMPARE(pModel->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Virtual"));
        QCOMPARE(pModel->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Actual"));
        QCOMPARE(Folders().View()->header()->sectionSize(1), 100);
        const QStringList noEquals = rows[1].split('|');
        QCOMPARE(noEquals[2], QStringLiteral("N"));
        QCOMPARE(noEquals[3], QStringLiteral("N"));
        Select(Folders(), 0);
        QVERIFY(PageButton(Folders(), IDC_EDIT)->isEnabled());
        QVERIFY(!PageButton(Folders(), IDC_DELETE)->isEnabled());
        Select(Folders(), 3);
        QVERIFY(PageButton(Folders(), IDC_DELETE)->isEnabled());
        Folders().OnDelete();
        QCOMPARE(Folders().Records().size(), size_t(3));
    }

    void addingFoldersRefusesASecondRootAndEndsTheLocalPath() {
        Open();
        QStringList messages;
        // OK unchanged: the warning, and the dialog stays open; then a
        // virtual path and a local path without its closing separator.
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CFolderDlg*>(pWidget);
            if (!pDialog)
                return;
            WhenModalOpens(
                [&, pDialog](QWidget* pBox) {
                    if (auto* pMessage = qobject_cast<QMessageBox*>(pBox)) {
                        messages << pMessage->windowTitle() + "|" + pMessage->text();
                        pMessage->accept();
                    }
                    QTimer::singleShot(0, pDialog, [pDialog] {
                        pDialog->Layout().Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText("/docs");
                        pDialog->Layout().Get<QLineEdit>(IDC_LOCAL_PATH)->setText("/srv/docs");
                        pDialog->Layout().Get<QPushButton>(IDOK)->click();
                    });
                },
                pDialog);
            QVERIFY(pDialog->Layout().Control(IDC_VIRTUAL_PATH)->isEnabled());
            pDialog->Layout().Get<QPushButton>(IDOK)->click();
        });
        PageButton(Folders(), IDC_ADD)->click();
        QCOMPARE(messages, QStringList{Utf8("skerrow|No puedes a\xC3\xB1"
                                            "adir otra carpeta root, cambiar la ruta "
                                            "virtual a alguna m\xC3\xA1s adecuada.")});
        QCOMPARE(Folders().Records().back(), std::string("/docs=/srv/docs/,0,1"));

        auto AddFolder = [this](const QString& strVirtual, const QString& strLocal) {
            WhenModalOpens([strVirtual, strLocal](QWidget* pWidget) {
                if (auto* pDialog = qobject_cast<CFolderDlg*>(pWidget)) {
                    pDialog->Layout().Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText(strVirtual);
                    pDialog->Layout().Get<QLineEdit>(IDC_LOCAL_PATH)->setText(strLocal);
                    pDialog->Layout().Get<QPushButton>(IDOK)->click();
                }
            });
            Folders().OnAdd();
            return Folders().Records().back();
        };
        QCOMPARE(AddFolder("/vacia", ""), std::string("/vacia=/,0,1"));
        QCOMPARE(AddFolder(" /", "/srv/b/"), std::string(" /=/srv/b/,0,1"));
        QCOMPARE(AddFolder("//", "/srv/c,d"), std::string("//=/srv/c,d/,0,1"));
    }

    void editingTheRootAndMakingASecondOne() {
        SSeed seed;
        seed.folders = {"/=/srv/raiz/,1,1", "/pub=/srv/pub/,0,1"};
        Open(seed);
        bool bVirtualEnabled = true;
        WhenModalOpens([&](QWidget* pWidget) {
            if (auto* pDialog = qobject_cast<CFolderDlg*>(pWidget)) {
                bVirtualEnabled = pDialog->Layout().Control(IDC_VIRTUAL_PATH)->isEnabled();
                pDialog->Layout().Get<QLineEdit>(IDC_LOCAL_PATH)->setText("/otra");
                pDialog->Layout().Get<QPushButton>(IDOK)->click();
            }
        });
        Select(Folders(), 0);
        Folders().OnEdit();
        QVERIFY(!bVirtualEnabled);
        QCOMPARE(Folders().Records()[0], std::string("/=/otra/,1,1"));
        // Editing another entry to "/" is accepted; its "&Borrar" is then disabled too.
        WhenModalOpens([](QWidget* pWidget) {
            if (auto* pDialog = qobject_cast<CFolderDlg*>(pWidget)) {
                pDialog->Layout().Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText("/");
                pDialog->Layout().Get<QPushButton>(IDOK)->click();
            }
        });
        Select(Folders(), 1);
        Folders().OnEdit();
        QCOMPARE(Folders().Records()[1], std::string("/=/srv/pub/,0,1"));
        Select(Folders(), 1);
        QVERIFY(!PageButton(Folders(), IDC_DELETE)->isEnabled());
        // Apply hands the list over once, however often it is pressed.
        QVERIFY(m_pSheet->Apply());
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(RecordTexts(m_pOwner->Settings().m_folderMap), Folders().Records());
    }

    void theFolderPicker() {
        const std::string strPicked = TestFolder("picked");
        CFolderDlg dialog;
        dialog.m_strVirtualPath = QStringLiteral("/v");
        dialog.m_bAdding = true;
        QString strTitle;
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CFolderDlg*>(pWidget);
            if (!pDialog)
                return;
            pDialog->Layout().Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText("/typed");
            // Cancelling the picker changes nothing; picking a folder sets the path.
            WhenModalOpens(
                [&, pDialog](QWidget* pPicker) {
                    auto* pFiles = qobject_cast<QFileDialog*>(pPicker);
                    if (pFiles)
                        pFiles->reject();
                    WhenModalOpens(
                        [&, pDialog](QWidget* pSecond) {
                            if (auto* pFiles2 = qobject_cast<QFileDialog*>(pSecond)) {
                                strTitle = pFiles2->windowTitle();
                                pFiles2->setDirectory(QString::fromStdString(strPicked));
                                static_cast<QDialog*>(pFiles2)->accept();
                            }
                            QTimer::singleShot(0, pDialog, [pDialog] {
                                pDialog->Layout().Get<QPushButton>(IDOK)->click();
                            });
                        },
                        pDialog);
                    QTimer::singleShot(0, pDialog, [pDialog] {
                        if (pDialog->Layout().Get<QLineEdit>(IDC_LOCAL_PATH)->text().isEmpty())
                            pDialog->OnBrowse();
                    });
                },
                pDialog);
            pDialog->OnBrowse();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(strTitle, QStringLiteral("Seleccionar carpeta para gente que accede:"));
        QCOMPARE(dialog.m_strLocalPath, QString::fromStdString(strPicked) + "/");
        QCOMPARE(dialog.m_strVirtualPath, QStringLiteral("/typed"));
    }

    // Advanced page.

    void advancedPageControlsAndNames() {
        Open();
        CAdvancedPage& page = Advanced();
        QVERIFY(page.IsBuilt());
        auto* pExtended = page.Layout().Get<QCheckBox>(IDC_EXTENDED);
        QCOMPARE(pExtended->text(),
                 QString::fromUtf8("Modo extendido (clientes modernos, tambi\xC3\xA9n IPv6)"));
        QVERIFY(!pExtended->isChecked());
        QCOMPARE(AdvancedBox(IDC_PASSIVE_MIN)->text(), QStringLiteral("0"));
        QCOMPARE(AdvancedBox(IDC_PASSIVE_MAX)->text(), QStringLiteral("0"));
        QCOMPARE(AdvancedBox(IDC_PASSIVE_ADDRESS)->text(), QString());
        // The check box comes first in the tab order, then the boxes in
        // reading order.
        auto Next = NextInTabOrder;
        QCOMPARE(Next(pExtended), AdvancedBox(IDC_PASSIVE_MIN));
        QCOMPARE(Next(AdvancedBox(IDC_PASSIVE_MIN)), AdvancedBox(IDC_PASSIVE_MAX));
        QCOMPARE(Next(AdvancedBox(IDC_PASSIVE_MAX)), AdvancedBox(IDC_PASSIVE_ADDRESS));
        QWidget* pMode = page.Layout().Control(IDC_TLS_MODE);
        QWidget* pProxy = page.Layout().Control(IDC_PROXY_PROTOCOL);
        QCOMPARE(Next(AdvancedBox(IDC_PASSIVE_ADDRESS)), pProxy);
        QCOMPARE(Next(pProxy), AdvancedBox(IDC_PROXY_FROM));
        QCOMPARE(Next(AdvancedBox(IDC_PROXY_FROM)), pMode);
        QCOMPARE(AdvancedBox(IDC_PROXY_FROM)->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(Next(pMode), AdvancedBox(IDC_TLS_CERTIFICATE));
        QCOMPARE(Next(AdvancedBox(IDC_TLS_CERTIFICATE)),
                 page.Layout().Control(IDC_TLS_CERTIFICATE_BROWSE));
        QCOMPARE(Next(page.Layout().Control(IDC_TLS_CERTIFICATE_BROWSE)), AdvancedBox(IDC_TLS_KEY));
        QCOMPARE(Next(page.Layout().Control(IDC_TLS_KEY_BROWSE)),
                 page.Layout().Control(IDC_TLS_REUSE));
        QCOMPARE(Next(page.Layout().Control(IDC_TLS_REUSE)), AdvancedBox(IDC_TLS_FINGERPRINT));
        auto* pCombo = page.Layout().Get<QComboBox>(IDC_TLS_MODE);
        QCOMPARE(pCombo->count(), 3);
        QCOMPARE(pCombo->itemText(0), QStringLiteral("Desactivado"));
        QCOMPARE(pCombo->itemText(1), QStringLiteral("Permitido"));
        QCOMPARE(pCombo->itemText(2), QStringLiteral("Obligatorio"));
        QCOMPARE(pCombo->currentIndex(), 0);
        QVERIFY(page.Layout().Get<QCheckBox>(IDC_TLS_REUSE)->isChecked());
        QVERIFY(AdvancedBox(IDC_TLS_FINGERPRINT)->isReadOnly());
        QCOMPARE(AdvancedBox(IDC_TLS_FINGERPRINT)->text(), QString());
        // TLS is part of the extended mode: its controls wait for the box.
        for (int nId : {IDC_TLS_MODE, IDC_TLS_CERTIFICATE, IDC_TLS_CERTIFICATE_BROWSE, IDC_TLS_KEY,
                        IDC_TLS_KEY_BROWSE, IDC_TLS_REUSE, IDC_PROXY_PROTOCOL, IDC_PROXY_FROM})
            QVERIFY(!page.Layout().Control(nId)->isEnabled());
        QTest::mouseClick(pExtended, Qt::LeftButton);
        for (int nId : {IDC_TLS_MODE, IDC_TLS_CERTIFICATE, IDC_TLS_CERTIFICATE_BROWSE, IDC_TLS_KEY,
                        IDC_TLS_KEY_BROWSE, IDC_TLS_REUSE, IDC_PROXY_PROTOCOL})
            QVERIFY(page.Layout().Control(nId)->isEnabled());
        // The balancers' addresses matter only with the PROXY protocol on.
        QVERIFY(!AdvancedBox(IDC_PROXY_FROM)->isEnabled());
        QTest::mouseClick(pProxy, Qt::LeftButton);
        QVERIFY(AdvancedBox(IDC_PROXY_FROM)->isEnabled());
        QTest::mouseClick(pProxy, Qt::LeftButton);
        QTest::mouseClick(pExtended, Qt::LeftButton);
        auto Name = AccessibleName;
        QCOMPARE(Name(AdvancedBox(IDC_PASSIVE_MIN)), QStringLiteral("Puertos desde:"));
        QCOMPARE(Name(AdvancedBox(IDC_PASSIVE_MAX)), QStringLiteral("hasta:"));
        QCOMPARE(Name(AdvancedBox(IDC_PASSIVE_ADDRESS)), Utf8("Direcci\xC3\xB3n:"));
        // The connection settings have a page of their own.
        for (int nId : {IDC_MAX_PER_ADDRESS, IDC_BAN_AFTER, IDC_BAN_LIST, IDC_UNBAN})
            QVERIFY(!page.Layout().Control(nId));
        // A drop-down list's name on Linux is its value; its caption reaches
        // the screen reader as the label that names it.
        QCOMPARE(pMode->accessibleName(), QStringLiteral("Cifrado TLS:"));
        bool bLabelled = false;
        for (const auto& relation :
             QAccessible::queryAccessibleInterface(pMode)->relations(QAccessible::Label))
            bLabelled = bLabelled ||
                        relation.first->text(QAccessible::Name) == QStringLiteral("Cifrado TLS:");
        QVERIFY(bLabelled);
        QCOMPARE(Name(AdvancedBox(IDC_TLS_CERTIFICATE)), QStringLiteral("Certificado:"));
        QCOMPARE(Name(AdvancedBox(IDC_TLS_KEY)), QStringLiteral("Clave:"));
        QCOMPARE(Name(page.Layout().Control(IDC_TLS_CERTIFICATE_BROWSE)),
                 QStringLiteral("Examinar certificado"));
        QCOMPARE(Name(page.Layout().Control(IDC_TLS_KEY_BROWSE)), QStringLiteral("Examinar clave"));
        QCOMPARE(Name(AdvancedBox(IDC_TLS_FINGERPRINT)), QStringLiteral("Huella SHA-256:"));
        QCOMPARE(Name(pProxy), QStringLiteral("Protocolo PROXY desde:"));
        QCOMPARE(Name(AdvancedBox(IDC_PROXY_FROM)),
                 QStringLiteral("Direcciones de los balanceadores"));
        m_pSheet->Buttons().button(QDialogButtonBox::Help)->click();
        QCOMPARE(m_pOwner->HelpWindow()->source().fragment(), QStringLiteral("avanzado"));
    }

    // Connections page.

    void connectionsPageControlsNamesAndTabOrder() {
        Open();
        CConnectionsPage& page = Connections();
        QVERIFY(page.IsBuilt());
        QCOMPARE(ConnectionsBox(IDC_MAX_PER_ADDRESS)->text(), QStringLiteral("0"));
        QCOMPARE(ConnectionsBox(IDC_MAX_CONNECTIONS)->text(), QStringLiteral("0"));
        QCOMPARE(ConnectionsBox(IDC_ALLOW)->text(), QString());
        QCOMPARE(ConnectionsBox(IDC_DENY)->text(), QString());
        auto Name = AccessibleName;
        QCOMPARE(Name(ConnectionsBox(IDC_MAX_PER_ADDRESS)),
                 Utf8("Conexiones por direcci\xC3\xB3n:"));
        QCOMPARE(Name(ConnectionsBox(IDC_MAX_CONNECTIONS)), QStringLiteral("Conexiones en total:"));
        QCOMPARE(Name(ConnectionsBox(IDC_ALLOW)), QStringLiteral("Permitir desde:"));
        QCOMPARE(Name(ConnectionsBox(IDC_DENY)), QStringLiteral("Denegar desde:"));
        // Reading order: the limits, the lists, then the logins group.
        auto Next = NextInTabOrder;
        QCOMPARE(Next(ConnectionsBox(IDC_MAX_PER_ADDRESS)), ConnectionsBox(IDC_MAX_CONNECTIONS));
        QCOMPARE(Next(ConnectionsBox(IDC_MAX_CONNECTIONS)), ConnectionsBox(IDC_ALLOW));
        QCOMPARE(Next(ConnectionsBox(IDC_ALLOW)), ConnectionsBox(IDC_DENY));
        QCOMPARE(Next(ConnectionsBox(IDC_DENY)), ConnectionsBox(IDC_BAN_AFTER));
        // Nothing is cut off at the page's edges.
        const QRect area = page.rect();
        const QList<QWidget*>& controls = page.Layout().Controls();
        for (QWidget* pControl : controls)
            QVERIFY2(area.contains(pControl->geometry()),
                     qPrintable(pControl->objectName() + Name(pControl)));
        m_pSheet->Buttons().button(QDialogButtonBox::Help)->click();
        QCOMPARE(m_pOwner->HelpWindow()->source().fragment(), QStringLiteral("conexiones"));
    }

    void speedLimitsOnTheConnectionsPageAndInTheUserDialog() {
        SSeed seed;
        seed.bExtended = true;
        Open(seed);
        CConnectionsPage& page = Connections();
        auto* pDown = page.Layout().Get<QSpinBox>(IDC_LIMIT_DOWN);
        auto* pUp = page.Layout().Get<QSpinBox>(IDC_LIMIT_UP);
        QVERIFY(pDown && pUp);
        // 0 reads as no limit; each box is named with its unit.
        QCOMPARE(pDown->text(), QStringLiteral("sin l\u00edmite"));
        QCOMPARE(AccessibleName(pDown), QStringLiteral("Bajada en KB/s (0: sin l\u00edmite)"));
        QCOMPARE(AccessibleName(pUp), QStringLiteral("Subida en KB/s (0: sin l\u00edmite)"));
        // Tab goes from one box (its text) to the other.
        const auto Within = [](QWidget* pWidget, QWidget* pBox) {
            return pWidget == pBox || pWidget->parentWidget() == pBox;
        };
        QWidget* pAfterDown = NextInTabOrder(pDown);
        if (Within(pAfterDown, pDown))
            pAfterDown = NextInTabOrder(pAfterDown);
        QVERIFY(Within(pAfterDown, pUp));
        pDown->setValue(2048);
        QCOMPARE(pDown->text(), QStringLiteral("2048 KB/s"));
        // The user dialog, in the extended mode, holds the user's own.
        WhenModalOpens([&](QWidget* pWidget) {
            auto* pDialog = qobject_cast<CUserDlg*>(pWidget);
            if (!pDialog)
                return;
            const CDialogLayout& layout = pDialog->Layout();
            auto* pOwnDown = layout.Get<QSpinBox>(IDC_LIMIT_DOWN);
            QVERIFY(pOwnDown->isVisible());
            QVERIFY(pDialog->rect().contains(layout.Control(IDC_LIMITS)->geometry()));
            QCOMPARE(AccessibleName(pOwnDown),
                     QStringLiteral("L\u00edmite de bajada en KB/s (0: sin l\u00edmite)"));
            QVERIFY(Within(NextInTabOrder(layout.Control(IDC_UPLOAD)), pOwnDown));
            pOwnDown->setValue(500);
            layout.Get<QSpinBox>(IDC_LIMIT_UP)->setValue(7);
            layout.Get<QPushButton>(IDOK)->click();
        });
        Select(Users(), 1);
        Users().OnEdit();
        QVERIFY(m_pSheet->Apply());
        const CLimitSettings& limits = m_pOwner->Settings().m_limits;
        QCOMPARE(limits.m_nDownload, 2048);
        QCOMPARE(limits.m_nUpload, 0);
        QVERIFY((limits.ForUser("ana") == CLimitSettings::SPair{500, 7}));

        // The classic dialog is as it was: no limit fields.
        CUserDlg classic;
        for (int nId : {IDC_LIMITS, IDC_LIMIT_DOWN, IDC_LIMIT_UP})
            QVERIFY(classic.Layout().Control(nId)->isHidden());
    }

    void connectionsPageValidation() {
        Open();
        struct SCase {
            int nBox;
            const char* pszText;
            const char* pszMessage;
        };
        const SCase cases[] = {
            {IDC_MAX_PER_ADDRESS, "1001", "Please enter an integer between 0 and 1000."},
            {IDC_MAX_PER_ADDRESS, "", "Please enter a positive integer."},
            {IDC_MAX_CONNECTIONS, "100001", "Please enter an integer between 0 and 100000."},
            {IDC_MAX_CONNECTIONS, "-1", "Please enter a positive integer."},
            {IDC_ALLOW, "192.0.2.0/24, red",
             "Please enter IP addresses or networks separated by "
             "commas."},
            {IDC_ALLOW, "192.0.2.0/24,,10.0.0.1",
             "Please enter IP addresses or networks "
             "separated by commas."},
            {IDC_DENY, "10.0.0.0/33",
             "Please enter IP addresses or networks separated by "
             "commas."},
            {IDC_DENY, "2001:db8::/129",
             "Please enter IP addresses or networks separated by "
             "commas."},
        };
        for (const SCase& c : cases) {
            for (const auto& [nId, pszValue] : {std::pair{IDC_MAX_PER_ADDRESS, "0"},
                                                {IDC_MAX_CONNECTIONS, "0"},
                                                {IDC_ALLOW, ""},
                                                {IDC_DENY, ""}})
                ConnectionsBox(nId)->setText(QString::fromUtf8(pszValue));
            ConnectionsBox(c.nBox)->setText(QString::fromUtf8(c.pszText));
            QCOMPARE(MessageOnLeavingPage(), QString::fromUtf8(c.pszMessage));
            QCOMPARE(m_pSheet->Tabs().currentIndex(), 4);
            QCOMPARE(m_pSheet->focusWidget(), ConnectionsBox(c.nBox));
        }
    }

    void connectionsPageAppliesSavesAndReachesClients() {
        Open();
        QPushButton* pApply = m_pSheet->Buttons().button(QDialogButtonBox::Apply);
        QTest::keyClicks(ConnectionsBox(IDC_MAX_PER_ADDRESS), QStringLiteral("5"));
        QVERIFY(pApply->isEnabled());
        ConnectionsBox(IDC_MAX_CONNECTIONS)->setText(QStringLiteral("200"));
        ConnectionsBox(IDC_ALLOW)->setText(QStringLiteral(" 127.0.0.0/8, 2001:db8::/32 "));
        ConnectionsBox(IDC_DENY)->setText(QStringLiteral("127.0.0.1"));
        pApply->click();
        QVERIFY(!pApply->isEnabled());
        const CServerSettings& settings = m_pOwner->Settings();
        QCOMPARE(settings.m_extended.m_nMaxPerAddress, 5); // "0" then "5" typed after it: 05
        QCOMPARE(settings.m_extended.m_nMaxConnections, 200);
        QCOMPARE(settings.m_logins.m_strAllow, std::string("127.0.0.0/8, 2001:db8::/32"));
        QCOMPARE(settings.m_logins.m_strDeny, std::string("127.0.0.1"));
        // In force for the next connection: this one is closed unanswered.
        CTestClient denied(m_nPort);
        QVERIFY(denied.WaitClosed());
        QVERIFY(denied.Received().isEmpty());
        QVERIFY(QString::fromStdString(m_pOwner->Host().LogText())
                    .contains(Utf8("Conexi\xC3\xB3n de 127.0.0.1 cerrada: direcci\xC3\xB3n no "
                                   "admitida\n")));
        ConnectionsBox(IDC_DENY)->clear();
        QVERIFY(m_pSheet->Apply());
        CTestClient admitted(m_nPort);
        QVERIFY(admitted.WaitConnected());
        QVERIFY(admitted.WaitFor("220 "));
        // Saved when the sheet closes.
        m_pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        m_pSheet.reset();
        m_pOwner.reset();
        const CServerSettings stored = StoredSettings();
        QCOMPARE(stored.m_extended.m_nMaxPerAddress, 5);
        QCOMPARE(stored.m_extended.m_nMaxConnections, 200);
        QCOMPARE(stored.m_logins.m_strAllow, std::string("127.0.0.0/8, 2001:db8::/32"));
        QCOMPARE(stored.m_logins.m_strDeny, std::string());
    }

    void connectionsPageLoginsGroupBansAndUnban() {
        Open();
        CConnectionsPage& page = Connections();
        auto Name = AccessibleName;
        QCOMPARE(ConnectionsBox(IDC_BAN_AFTER)->text(), QStringLiteral("10"));
        QCOMPARE(ConnectionsBox(IDC_BAN_MINUTES)->text(), QStringLiteral("15"));
        // The ban boxes are read with the sentence they stand in, and the
        // number follows what is typed.
        QCOMPARE(Name(ConnectionsBox(IDC_BAN_AFTER)),
                 QStringLiteral("Bloquear tras 10 intentos fallidos"));
        QCOMPARE(Name(ConnectionsBox(IDC_BAN_MINUTES)), QStringLiteral("durante 15 minutos"));
        ConnectionsBox(IDC_BAN_MINUTES)->selectAll();
        QTest::keyClicks(ConnectionsBox(IDC_BAN_MINUTES), QStringLiteral("60"));
        QCOMPARE(Name(ConnectionsBox(IDC_BAN_MINUTES)), QStringLiteral("durante 60 minutos"));
        auto* pList = page.Layout().Get<QTreeView>(IDC_BAN_LIST);
        auto* pUnban = page.Layout().Get<QPushButton>(IDC_UNBAN);
        QCOMPARE(Name(pList), QStringLiteral("Direcciones bloqueadas"));
        QCOMPARE(Name(pUnban), QStringLiteral("Desbloquear"));
        QCOMPARE(pList->model()->rowCount(), 0);
        QCOMPARE(pList->model()->headerData(0, Qt::Horizontal).toString(),
                 Utf8("Direcci\xC3\xB3n"));
        QVERIFY(!pUnban->isEnabled());
        // Reached by keyboard after the lists, in reading order.
        auto Next = NextInTabOrder;
        QCOMPARE(Next(ConnectionsBox(IDC_DENY)), ConnectionsBox(IDC_BAN_AFTER));
        QCOMPARE(Next(ConnectionsBox(IDC_BAN_AFTER)), ConnectionsBox(IDC_BAN_MINUTES));
        QCOMPARE(Next(ConnectionsBox(IDC_BAN_MINUTES)), static_cast<QWidget*>(pList));
        // Out of range or not a number: the framework's message, the box kept.
        for (const auto& [pszValue, pszMessage] :
             {std::pair{"10001", "Please enter an integer between 0 and 10000."},
              std::pair{"-3", "Please enter a positive integer."}}) {
            ConnectionsBox(IDC_BAN_MINUTES)->setText(QString::fromUtf8(pszValue));
            QCOMPARE(MessageOnLeavingPage(), QString::fromUtf8(pszMessage));
            QCOMPARE(m_pSheet->focusWidget(), ConnectionsBox(IDC_BAN_MINUTES));
        }
        // Two failures ban, once applied.
        ConnectionsBox(IDC_BAN_AFTER)->setText(QStringLiteral("2"));
        ConnectionsBox(IDC_BAN_MINUTES)->setText(QStringLiteral("30"));
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(m_pOwner->Settings().m_logins.m_nBanAfter, 2);
        QCOMPARE(m_pOwner->Settings().m_logins.m_nBanMinutes, 30);
        std::vector<std::unique_ptr<CTestClient>> guessers;
        for (int i = 0; i < 2; ++i) {
            guessers.push_back(std::make_unique<CTestClient>(m_nPort));
            QVERIFY(guessers.back()->WaitConnected());
            QVERIFY(guessers.back()->Command("USER ana", "331"));
            guessers.back()->Socket().write("PASS adivina\r\n");
        }
        // The list shows the banned address as soon as the ban falls.
        QTRY_COMPARE(pList->model()->rowCount(), 1);
        QCOMPARE(pList->model()->index(0, 0).data().toString(), QStringLiteral("127.0.0.1"));
        QVERIFY(!pList->model()->index(0, 1).data().toString().isEmpty());
        QVERIFY(guessers.back()->WaitClosed());
        // Selected, and unbanned with the button: the address may come back.
        pList->setCurrentIndex(pList->model()->index(0, 0));
        QVERIFY(pUnban->isEnabled());
        QTest::mouseClick(pUnban, Qt::LeftButton);
        QCOMPARE(pList->model()->rowCount(), 0);
        QVERIFY(!pUnban->isEnabled());
        QVERIFY(QString::fromStdString(m_pOwner->Host().LogText())
                    .contains(Utf8("Direcci\xC3\xB3n 127.0.0.1 desbloqueada\n")));
        CTestClient again(m_nPort);
        QVERIFY(again.WaitConnected());
        QVERIFY(again.WaitFor("220 "));
    }

    void advancedPageValidation() {
        Open();
        struct SCase {
            const char* pszMin;
            const char* pszMax;
            const char* pszAddress;
            int nBox;
            const char* pszMessage;
        };
        const SCase cases[] = {
            {"x", "0", "", IDC_PASSIVE_MIN, "Please enter a positive integer."},
            {"0", "70000", "", IDC_PASSIVE_MAX, "Please enter an integer between 0 and 65535."},
            {"80", "6000", "", IDC_PASSIVE_MIN, "Please enter an integer between 1024 and 65535."},
            {"5000", "0", "", IDC_PASSIVE_MAX, "Please enter an integer between 1024 and 65535."},
            {"6000", "5000", "", IDC_PASSIVE_MIN, "Please enter an integer between 1024 and 5000."},
            {"0", "0", "10.1", IDC_PASSIVE_ADDRESS, "Please enter a valid IPv4 address."},
            {"0", "0", "300.1.1.1", IDC_PASSIVE_ADDRESS, "Please enter a valid IPv4 address."},
            {"0", "0", "", IDC_TLS_KEY,
             "Please enter both the certificate and the key, or neither."},
        };
        for (const SCase& c : cases) {
            AdvancedBox(IDC_PASSIVE_MIN)->setText(QString::fromUtf8(c.pszMin));
            AdvancedBox(IDC_PASSIVE_MAX)->setText(QString::fromUtf8(c.pszMax));
            AdvancedBox(IDC_PASSIVE_ADDRESS)->setText(QString::fromUtf8(c.pszAddress));
            // Only the last case names a certificate without its key, which
            // is checked with the extended mode on (the TLS boxes are
            // available only then).
            AdvancedBox(IDC_TLS_CERTIFICATE)
                ->setText(c.nBox == IDC_TLS_KEY ? QStringLiteral("/tmp/cert.pem") : QString());
            Advanced().Layout().Get<QCheckBox>(IDC_EXTENDED)->setChecked(c.nBox == IDC_TLS_KEY);
            QCOMPARE(MessageOnLeavingPage(), QString::fromUtf8(c.pszMessage));
            QCOMPARE(m_pSheet->Tabs().currentIndex(), 3);
            QCOMPARE(m_pSheet->focusWidget(), AdvancedBox(c.nBox));
        }
        QVERIFY(IsPassiveAddress(QStringLiteral(" 203.0.113.9 ")));
        QVERIFY(IsPassiveAddress(QString()));
        QVERIFY(!IsPassiveAddress(QStringLiteral("0x7f.0.0.1")));
        QVERIFY(!IsPassiveAddress(QStringLiteral("1.2.3.4.5")));
    }

    void advancedPageAppliesSavesAndReachesClients() {
        Open();
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("ana", "secreto"));
        QVERIFY(client.Command("FEAT", "500"));
        QPushButton* pApply = m_pSheet->Buttons().button(QDialogButtonBox::Apply);
        QVERIFY(!pApply->isEnabled());
        QTest::mouseClick(Advanced().Layout().Get<QCheckBox>(IDC_EXTENDED), Qt::LeftButton);
        QVERIFY(pApply->isEnabled());
        AdvancedBox(IDC_PASSIVE_MIN)->setText(QStringLiteral("50000"));
        AdvancedBox(IDC_PASSIVE_MAX)->setText(QStringLiteral("50010"));
        AdvancedBox(IDC_PASSIVE_ADDRESS)->setText(QStringLiteral("203.0.113.9"));
        // Balancers must be addresses: the page stays until they are.
        QTest::mouseClick(Advanced().Layout().Get<QCheckBox>(IDC_PROXY_PROTOCOL), Qt::LeftButton);
        AdvancedBox(IDC_PROXY_FROM)->setText(QStringLiteral("10.0.0.2, balanceador"));
        QCOMPARE(MessageOnLeavingPage(),
                 QStringLiteral("Please enter IP addresses separated by commas."));
        QCOMPARE(m_pSheet->focusWidget(), AdvancedBox(IDC_PROXY_FROM));
        AdvancedBox(IDC_PROXY_FROM)->setText(QStringLiteral("10.0.0.2, ::1"));
        pApply->click();
        QVERIFY(!pApply->isEnabled());
        QVERIFY(m_pOwner->Settings().m_extended.ProxyProtocolOn());
        QCOMPARE(m_pOwner->Settings().m_extended.m_strProxyFrom, std::string("10.0.0.2, ::1"));
        const CExtendedSettings& extended = m_pOwner->Settings().m_extended;
        QVERIFY(extended.m_bEnabled);
        QCOMPARE(extended.m_nPassivePortMin, 50000);
        QCOMPARE(extended.m_nPassivePortMax, 50010);
        QCOMPARE(extended.m_strPassiveAddress, std::string("203.0.113.9"));
        // The client already connected keeps its mode until it logs in again.
        QVERIFY(client.Command("FEAT", "500"));
        QVERIFY(client.Login("ana", "secreto"));
        QVERIFY(client.Command("FEAT", "211"));
        QVERIFY(client.Command("PASV", "227"));
        QVERIFY(client.Received().contains("(203,0,113,9,"));
        // Saved when the sheet closes.
        m_pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        m_pSheet.reset();
        m_pOwner.reset();
        const CServerSettings stored = StoredSettings();
        QVERIFY(stored.m_extended.m_bEnabled);
        QCOMPARE(stored.m_extended.m_nPassivePortMax, 50010);
        QCOMPARE(stored.m_extended.m_strPassiveAddress, std::string("203.0.113.9"));
        QVERIFY(stored.m_extended.m_bProxyProtocol);
        QCOMPARE(stored.m_extended.m_strProxyFrom, std::string("10.0.0.2, ::1"));
    }

    void applySwitchesTheWindowsViewAtOnce() {
        Open();
        const CDialogLayout& layout = m_pOwner->Layout();
        const QRect classicLog = layout.Control(IDC_LOG)->geometry();
        const QSize classicSize = m_pOwner->size();
        QVERIFY(!m_pOwner->IsTableShown());
        auto* pExtended = Advanced().Layout().Get<QCheckBox>(IDC_EXTENDED);
        QTest::mouseClick(pExtended, Qt::LeftButton);
        m_pSheet->Buttons().button(QDialogButtonBox::Apply)->click();
        // The sheet is still open and the window already shows the table.
        QVERIFY(m_pSheet->isVisible());
        QVERIFY(m_pOwner->IsTableShown());
        QVERIFY(m_pOwner->TransfersTable()->isVisible());
        QVERIFY(!layout.Control(IDC_USER_LIST)->isVisible());
        QVERIFY(m_pOwner->width() > classicSize.width());
        // And back: the list box and the template's places.
        QTest::mouseClick(pExtended, Qt::LeftButton);
        m_pSheet->Buttons().button(QDialogButtonBox::Apply)->click();
        QVERIFY(!m_pOwner->IsTableShown());
        QVERIFY(!m_pOwner->TransfersTable()->isVisible());
        QVERIFY(layout.Control(IDC_USER_LIST)->isVisible());
        QCOMPARE(layout.Control(IDC_LOG)->geometry(), classicLog);
        QCOMPARE(m_pOwner->size(), classicSize);
        for (QWidget* pControl : layout.Controls()) {
            QVERIFY(pControl->parentWidget() == m_pOwner.get());
            QVERIFY(pControl == layout.Control(IDC_USER_LIST) || pControl->isVisible());
        }
    }

    void advancedPageSwitchesTlsOnAndShowsTheFingerprint() {
        SSeed seed;
        Open(seed);
        CAdvancedPage& page = Advanced();
        page.Layout().Get<QCheckBox>(IDC_EXTENDED)->setChecked(true);
        auto* pCombo = page.Layout().Get<QComboBox>(IDC_TLS_MODE);
        pCombo->setCurrentIndex(2);
        emit pCombo->activated(2);
        QVERIFY(m_pSheet->Buttons().button(QDialogButtonBox::Apply)->isEnabled());
        QTest::mouseClick(page.Layout().Get<QCheckBox>(IDC_TLS_REUSE), Qt::LeftButton);
        QVERIFY(m_pSheet->Apply());
        const CExtendedSettings& extended = m_pOwner->Settings().m_extended;
        QCOMPARE(extended.m_nTlsMode, 2);
        QCOMPARE(extended.m_nTlsSessionReuse, 0);
        // Skerrow's own certificate was made and its fingerprint is shown,
        // as the log shows it.
        const QString strShown = AdvancedBox(IDC_TLS_FINGERPRINT)->text();
        QCOMPARE(strShown.size(), 95);
        QVERIFY(QString::fromStdString(m_pOwner->Host().LogText()).contains(strShown));
        // A client that logs in without TLS is refused from the next command.
        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Command("USER ana", "530"));
        QVERIFY(client.Command("AUTH TLS", "234"));
        m_pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        m_pSheet.reset();
        m_pOwner.reset();
        QCOMPARE(StoredSettings().m_extended.m_nTlsMode, 2);
    }

    // Server page.

    void serverPageValidation() {
        Open();
        QCOMPARE(ServerBox(IDC_PORT)->text(), QString::number(m_nPort));
        QCOMPARE(ServerBox(IDC_TIMEOUT)->text(), QStringLiteral("100"));
        struct SCase {
            int nBox;
            const char* pszText;
            const char* pszMessage;
        };
        const SCase cases[] = {
            {IDC_PORT, "0", "Please enter an integer between 1 and 65535."},
            {IDC_PORT, "65536", "Please enter an integer between 1 and 65535."},
            {IDC_PORT, "", "Please enter a positive integer."},
            {IDC_PORT, "-3", "Please enter a positive integer."},
            {IDC_PORT, "2x", "Please enter a positive integer."},
            {IDC_TIMEOUT, "16384", "Please enter an integer between 1 and 16383."},
            {IDC_TIMEOUT, "0", "Please enter an integer between 1 and 16383."},
        };
        for (const SCase& c : cases) {
            ServerBox(IDC_PORT)->setText(QString::number(m_nPort));
            ServerBox(IDC_TIMEOUT)->setText(QStringLiteral("100"));
            ServerBox(c.nBox)->setText(QString::fromUtf8(c.pszText));
            // Leaving the page is refused and it stays in front.
            QCOMPARE(MessageOnLeavingPage(), QString::fromUtf8(c.pszMessage));
            QCOMPARE(m_pSheet->Tabs().currentIndex(), 2);
            QCOMPARE(m_pSheet->focusWidget(), ServerBox(c.nBox));
            QCOMPARE(ServerBox(c.nBox)->selectedText(), ServerBox(c.nBox)->text());
        }
        for (const char* pszPort : {"1", "65535"}) {
            ServerBox(IDC_PORT)->setText(QString::fromUtf8(pszPort));
            ServerBox(IDC_TIMEOUT)->setText(QStringLiteral("16383"));
            QVERIFY(Server().OnKillActive());
        }
        unsigned nValue = 0;
        QCOMPARE(ParseUnsigned(" 42 ", 1, 100, nValue), ENumberCheck::Ok);
        QCOMPARE(nValue, 42u);
        QCOMPARE(ParseUnsigned("99999999999999999999", 1, 100, nValue), ENumberCheck::OutOfRange);
    }

    void aStoredPortOutOfRangeKeepsThePageUntilCorrected() {
        SSeed seed;
        seed.nPort = 0;
        SeedSettings(seed);
        m_pOwner = std::make_unique<CServerDlg>();
        m_pSheet = m_pOwner->MakeOptionsSheet();
        m_pSheet->show();
        QCOMPARE(ServerBox(IDC_PORT)->text(), QStringLiteral("0"));
        int nMessages = 0;
        auto Dismiss = [&] {
            WhenModalOpens([&](QWidget* pWidget) {
                if (auto* pBox = qobject_cast<QMessageBox*>(pWidget)) {
                    ++nMessages;
                    pBox->accept();
                }
            });
        };
        Dismiss();
        m_pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        QVERIFY(m_pSheet->isVisible());
        QCOMPARE(nMessages, 1);
        m_pSheet->Buttons().button(QDialogButtonBox::Cancel)->click();
        QVERIFY(!m_pSheet->isVisible());
    }

    void sliderLevelsAndModifiedMarks() {
        SSeed seed;
        seed.nLogLevel = 5;
        Open(seed);
        auto* pSlider = Server().Layout().Get<QSlider>(IDC_LOG_LEVEL);
        QCOMPARE(pSlider->minimum(), 0);
        QCOMPARE(pSlider->maximum(), 2);
        QCOMPARE(pSlider->tickInterval(), 1);
        QCOMPARE(pSlider->value(), 2);
        QPushButton* pApply = m_pSheet->Buttons().button(QDialogButtonBox::Apply);
        pSlider->setValue(1);
        QVERIFY(!pApply->isEnabled());
        QTest::mouseClick(Server().Layout().Control(IDC_HIDE), Qt::LeftButton);
        QVERIFY(pApply->isEnabled());
        pApply->click();
        QCOMPARE(m_pOwner->Settings().m_nLogLevel, 1);
        QCOMPARE(m_pOwner->Settings().m_nHide, 1);
        QVERIFY(!pApply->isEnabled());
        ServerBox(IDC_TIMEOUT)->setFocus();
        QTest::keyClick(ServerBox(IDC_TIMEOUT), Qt::Key_Backspace);
        QVERIFY(pApply->isEnabled());
        pSlider->setValue(2);
        m_pSheet->Buttons().button(QDialogButtonBox::Ok)->click();
        QCOMPARE(m_pOwner->Settings().m_nLogLevel, 2);
        QCOMPARE(m_pOwner->Settings().m_nTimeout, 10);
    }

    void portChangesRestartTheServerOnce() {
        Open();
        auto Starts = [this] {
            return QString::fromStdString(m_pOwner->Host().LogText())
                .count(QStringLiteral(" iniciado "));
        };
        QCOMPARE(Starts(), 1);
        // Only the level or the time-out: no restart.
        ServerBox(IDC_TIMEOUT)->setText(QStringLiteral("200"));
        Server().Layout().Get<QSlider>(IDC_LOG_LEVEL)->setValue(0);
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(Starts(), 1);
        QCOMPARE(m_pOwner->Settings().m_nTimeout, 200);
        // A new port while running: stop, store, start; a second Apply does nothing.
        CTestClient before(m_nPort);
        QVERIFY(before.WaitConnected());
        const int nNewPort = FreePort();
        ServerBox(IDC_PORT)->setText(QString::number(nNewPort));
        QVERIFY(m_pSheet->Apply());
        QVERIFY(m_pSheet->Apply());
        QCOMPARE(Starts(), 2);
        QVERIFY(QString::fromStdString(m_pOwner->Host().LogText())
                    .contains(QStringLiteral(" parado ")));
        QCOMPARE(m_pOwner->Settings().m_nPort, nNewPort);
        QVERIFY(m_pOwner->Host().IsRunning());
        QVERIFY(before.WaitClosed());
        CTestClient after(nNewPort);
        QVERIFY(after.WaitConnected());
        // While stopped, a new port is stored for the next start.
        m_pOwner->StopServer();
        const int nThirdPort = FreePort();
        ServerBox(IDC_PORT)->setText(QString::number(nThirdPort));
        QVERIFY(m_pSheet->Apply());
        QVERIFY(!m_pOwner->Host().IsRunning());
        QCOMPARE(m_pOwner->Settings().m_nPort, nThirdPort);
        QCOMPARE(Starts(), 2);
    }

    // The pages against the running host and a real client.

    void changesAppliedAreUsedAtOnceByClients() {
        Open();
        CTestClient before(m_nPort);
        QVERIFY(before.WaitConnected());
        QVERIFY(before.Login("ana", "secreto"));
        const std::string strShared = TestFolder("shared");
        AnswerUserDialog({QStringLiteral("luis"), QStringLiteral("clave"), true, true});
        Users().OnAdd();
        WhenModalOpens([strShared](QWidget* pWidget) {
            if (auto* pDialog = qobject_cast<CFolderDlg*>(pWidget)) {
                pDialog->Layout().Get<QLineEdit>(IDC_VIRTUAL_PATH)->setText("/compartida");
                pDialog->Layout()
                    .Get<QLineEdit>(IDC_LOCAL_PATH)
                    ->setText(QString::fromStdString(strShared));
                pDialog->Layout().Get<QCheckBox>(IDC_UPLOAD)->setChecked(false);
                pDialog->Layout().Get<QPushButton>(IDOK)->click();
            }
        });
        Folders().OnAdd();
        QCOMPARE(Folders().Records().back(), "/compartida=" + strShared + "/,0,1");
        // Not in force before the apply.
        CTestClient early(m_nPort);
        QVERIFY(early.WaitConnected());
        QVERIFY(early.Command("USER luis", "331"));
        QVERIFY(early.Command("PASS clave", "550"));
        QVERIFY(m_pSheet->Apply());

        CTestClient client(m_nPort);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Login("luis", "clave"));
        QVERIFY(client.Command("CWD /compartida", "257"));
        // The folder refuses uploads whatever the user may do.
        QVERIFY(client.Command("MKD nueva", "550"));
        QVERIFY(client.Received().startsWith("550 Permission denied"));
        QVERIFY(client.Command("CWD /", "257"));
        QVERIFY(client.Command("MKD nueva", "257"));
        // The client connected before keeps its connection and sees the new folder map.
        QVERIFY(before.Command("NOOP", "200"));
        QVERIFY(before.Command("CWD /compartida", "257"));
    }
};

int RunOptionsTests(int argc, char** argv) {
    OptionsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "OptionsTest.moc"
