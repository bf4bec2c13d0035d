// The program's dialog templates and menus: every window is laid out from
// these rectangles, in dialog units, and its controls are created in the
// order listed, which is also their tab order.
#pragma once

#include <cstddef>

enum : int {
    // Dialog templates.
    IDD_ABOUTBOX = 100,
    IDD_SERVER = 190,
    IDD_USERS_PAGE = 191,
    IDD_FOLDERS_PAGE = 192,
    IDD_SERVER_PAGE = 193,
    IDD_USER = 194,
    IDD_FOLDER = 195,
    IDD_ADVANCED_PAGE = 196,
    IDD_CONNECTIONS_PAGE = 197,

    // Icons and menus.
    IDR_MAINFRAME = 128,
    IDR_TRAY_MENU = 132,
    IDI_BUSY = 133,
    IDI_IDLE = 134,

    // Standard commands.
    IDC_STATIC = -1,
    IDOK = 1,
    IDCANCEL = 2,
    ID_HELP = 57670,

    // Main window.
    IDC_LOG = 1001,
    IDC_START_STOP = 1009,
    IDC_OPTIONS = 1010,
    IDC_DISCONNECT = 1011,
    IDC_USER_LIST = 1017,
    IDM_ABOUTBOX = 16,

    // Tray menu.
    ID_TRAY_OPEN = 32771,
    ID_TRAY_OPTIONS = 32772,
    ID_TRAY_CLOSE = 32773,

    // Option pages and their dialogs.
    IDC_BROWSE = 3,
    IDC_DOWNLOAD = 1005,
    IDC_UPLOAD = 1006,
    IDC_ADD = 1007,
    IDC_EDIT = 1008,
    IDC_DELETE = 1009,
    IDC_PORT = 1010,
    IDC_LOG_LEVEL = 1011,
    IDC_TIMEOUT = 1012,
    IDC_HIDE = 1016,
    IDC_FOLDER_LIST = 1018,
    IDC_LOCAL_PATH = 1020,
    IDC_VIRTUAL_PATH = 1021,
    IDC_ACCOUNT_LIST = 1022,
    IDC_USER_NAME = 1023,
    IDC_PASSWORD = 1024,
    IDC_EXTENDED = 1030,
    IDC_PASSIVE_MIN = 1031,
    IDC_PASSIVE_MAX = 1032,
    IDC_PASSIVE_ADDRESS = 1033,
    IDC_MAX_PER_ADDRESS = 1034,
    IDC_TLS_MODE = 1035,
    IDC_TLS_CERTIFICATE = 1036,
    IDC_TLS_CERTIFICATE_BROWSE = 1037,
    IDC_TLS_KEY = 1038,
    IDC_TLS_KEY_BROWSE = 1039,
    IDC_TLS_REUSE = 1040,
    IDC_TLS_FINGERPRINT = 1041,
    IDC_BAN_AFTER = 1042,
    IDC_BAN_MINUTES = 1043,
    IDC_BAN_LIST = 1044,
    IDC_UNBAN = 1045,
    IDC_PROXY_PROTOCOL = 1046,
    IDC_PROXY_FROM = 1047,
    IDC_MAX_CONNECTIONS = 1048,
    IDC_ALLOW = 1049,
    IDC_DENY = 1050,
    IDC_PASSWORD_NOTE = 1051,
    IDC_HASH_PASSWORDS = 1052,
    IDC_IMPLICIT_TLS_PORT = 1060,
    IDC_MAKE_USER_FOLDERS = 1061,
    // Speed limits (the Conexiones page and the user dialog).
    IDC_LIMITS = 1080,
    IDC_LIMIT_DOWN_LABEL = 1081,
    IDC_LIMIT_DOWN = 1082,
    IDC_LIMIT_UP_LABEL = 1083,
    IDC_LIMIT_UP = 1084,
};

enum class EControlKind {
    PushButton,
    DefPushButton, // the dialog's default button
    GroupBox,
    Label,
    Edit,
    PasswordEdit,
    LogEdit,  // multi-line, read-only, vertical scroll bar, lines not wrapped
    ListBox,  // single selection, unsorted
    ListView, // report view, single selection
    CheckBox,
    Slider, // horizontal, automatic tick marks
    Icon,
    DropDownList, // a list of fixed choices, one shown
    ReadOnlyEdit, // one line of text that can be selected but not changed
    SpinBox,      // a whole number with arrows: KB/s from 0 ("sin límite") up
};

struct SControlTemplate {
    int nId;
    EControlKind kind;
    const char* pszText;
    // Rectangle in dialog units; a width or height of 0 is sized to the text.
    int x, y, cx, cy;
    // For a label: the control it names (its buddy), else 0.
    int nLabelFor = 0;
    // The name assistive technology gives the control when it is not its
    // own caption (a list named after the group box that frames it).
    const char* pszAccessibleName = nullptr;
    // A drop-down list's choices, separated by '\n'.
    const char* pszChoices = nullptr;
};

struct SDialogTemplate {
    int nId;
    const char* pszCaption;
    int cx, cy;
    const SControlTemplate* pControls;
    size_t nControls;
};

struct SMenuItem {
    int nCommand;
    const char* pszText;
};

struct SMenuTemplate {
    int nId;
    const SMenuItem* pItems;
    size_t nItems;
};

// The template with this number, or null.
const SDialogTemplate* FindDialogTemplate(int nId);
const SMenuTemplate* FindMenuTemplate(int nId);
