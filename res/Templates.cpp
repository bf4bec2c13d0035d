#include "res/Templates.h"

#include <iterator>

namespace {

using K = EControlKind;

const SControlTemplate kAboutBox[] = {
    {IDC_STATIC, K::Icon, nullptr, 11, 10, 20, 20},
    {IDC_STATIC, K::Label, "Skerrow Versi\xC3\xB3n 0.7 Traducido por Orvane", 35, 6, 87, 18},
    {IDC_STATIC, K::Label, "\xC2\xA9 2026 Orvane", 35, 27, 123, 8},
    {IDOK, K::DefPushButton, "&Aceptar", 154, 7, 50, 14},
    {IDC_STATIC, K::Label, "https://orvane.example/skerrow", 36, 35, 97, 8},
};

const SControlTemplate kServer[] = {
    {IDC_START_STOP, K::DefPushButton, "&Iniciar", 9, 124, 50, 14},
    {IDC_OPTIONS, K::PushButton, "&Opciones", 68, 124, 50, 14},
    {ID_HELP, K::PushButton, "&Ayuda", 127, 124, 50, 14},
    {IDCANCEL, K::PushButton, "&Cerrar", 186, 124, 50, 14},
    {IDC_LOG, K::LogEdit, nullptr, 12, 17, 221, 45, 0, "Informaci\xC3\xB3n del Servidor"},
    {IDC_USER_LIST, K::ListBox, nullptr, 12, 79, 166, 33, 0, "Usuarios actualmente conectados"},
    {IDC_DISCONNECT, K::PushButton, "&Desconectar", 183, 79, 50, 14},
    {IDC_STATIC, K::GroupBox, "Informaci\xC3\xB3n del Servidor", 7, 7, 231, 60},
    {IDC_STATIC, K::GroupBox, "Usuarios actualmente conectados", 7, 69, 231, 48},
};

const SControlTemplate kUsersPage[] = {
    {IDC_STATIC, K::GroupBox, "Acceso permitido a usuarios", 7, 7, 176, 100},
    {IDC_ACCOUNT_LIST, K::ListView, nullptr, 13, 17, 163, 64, 0, "Acceso permitido a usuarios"},
    {IDC_ADD, K::PushButton,
     "&A\xC3\xB1"
     "adir...",
     16, 85, 42, 14},
    {IDC_EDIT, K::PushButton, "&Editar...", 73, 85, 42, 14},
    {IDC_DELETE, K::PushButton, "&Borrar", 130, 85, 42, 14},
};

const SControlTemplate kFoldersPage[] = {
    {IDC_STATIC, K::GroupBox, "Carpetas a compartir", 7, 7, 176, 100},
    {IDC_FOLDER_LIST, K::ListView, nullptr, 13, 17, 163, 64, 0, "Carpetas a compartir"},
    {IDC_ADD, K::PushButton,
     "&A\xC3\xB1"
     "adir...",
     16, 84, 42, 14},
    {IDC_EDIT, K::PushButton, "&Editar...", 73, 84, 42, 14},
    {IDC_DELETE, K::PushButton, "&Borrar", 130, 84, 42, 14},
};

const SControlTemplate kServerPage[] = {
    {IDC_STATIC, K::Label, "Puerto:", 26, 20, 21, 8, IDC_PORT},
    {IDC_PORT, K::Edit, nullptr, 48, 18, 24, 12},
    {IDC_STATIC, K::Label, "Tiempo:", 14, 35, 33, 8, IDC_TIMEOUT},
    {IDC_TIMEOUT, K::Edit, nullptr, 48, 33, 24, 12},
    {IDC_STATIC, K::Label, "Logeando:", 14, 49, 33, 8, IDC_LOG_LEVEL},
    {IDC_LOG_LEVEL, K::Slider, nullptr, 42, 48, 48, 13},
    {IDC_STATIC, K::GroupBox, "Configuraciones del Servidor", 7, 7, 176, 71},
    {IDC_STATIC, K::Label, "bajo", 46, 63, 13, 8},
    {IDC_STATIC, K::Label, "alto", 77, 63, 17, 8},
    {IDC_HIDE, K::CheckBox, "Ocultar ventana cuando se minimize", 7, 84, 135, 10},
};

// The extended mode for today's clients and what it adds to the server.
const SControlTemplate kAdvancedPage[] = {
    {IDC_EXTENDED, K::CheckBox, "Modo extendido (clientes modernos, tambi\xC3\xA9n IPv6)", 7, 7,
     176, 10},
    {IDC_STATIC, K::GroupBox, "Modo pasivo", 7, 21, 176, 50},
    {IDC_STATIC, K::Label, "Puertos desde:", 13, 35, 52, 8, IDC_PASSIVE_MIN},
    {IDC_PASSIVE_MIN, K::Edit, nullptr, 66, 33, 30, 12},
    {IDC_STATIC, K::Label, "hasta:", 103, 35, 22, 8, IDC_PASSIVE_MAX},
    {IDC_PASSIVE_MAX, K::Edit, nullptr, 126, 33, 30, 12},
    {IDC_STATIC, K::Label, "Direcci\xC3\xB3n:", 13, 52, 52, 8, IDC_PASSIVE_ADDRESS},
    {IDC_PASSIVE_ADDRESS, K::Edit, nullptr, 66, 50, 90, 12},
    {IDC_PROXY_PROTOCOL, K::CheckBox, "Protocolo PROXY desde:", 7, 80, 95, 10},
    {IDC_PROXY_FROM, K::Edit, nullptr, 104, 79, 79, 12, 0, "Direcciones de los balanceadores"},
    {IDC_STATIC, K::GroupBox, "Cifrado", 7, 96, 176, 96},
    {IDC_STATIC, K::Label, "Cifrado TLS:", 13, 110, 52, 8, IDC_TLS_MODE},
    {IDC_TLS_MODE, K::DropDownList, nullptr, 66, 108, 80, 12, 0, nullptr,
     "Desactivado\nPermitido\nObligatorio"},
    {IDC_STATIC, K::Label, "Certificado:", 13, 127, 52, 8, IDC_TLS_CERTIFICATE},
    {IDC_TLS_CERTIFICATE, K::Edit, nullptr, 66, 125, 92, 12},
    {IDC_TLS_CERTIFICATE_BROWSE, K::PushButton, "...", 161, 124, 16, 14, 0, "Examinar certificado"},
    {IDC_STATIC, K::Label, "Clave:", 13, 144, 52, 8, IDC_TLS_KEY},
    {IDC_TLS_KEY, K::Edit, nullptr, 66, 142, 92, 12},
    {IDC_TLS_KEY_BROWSE, K::PushButton, "...", 161, 141, 16, 14, 0, "Examinar clave"},
    {IDC_TLS_REUSE, K::CheckBox, "Exigir sesi\xC3\xB3n TLS reanudada en los datos", 13, 159, 165,
     10},
    {IDC_STATIC, K::Label, "Huella SHA-256:", 13, 176, 52, 8, IDC_TLS_FINGERPRINT},
    {IDC_TLS_FINGERPRINT, K::ReadOnlyEdit, nullptr, 66, 174, 111, 12},
    {IDC_HASH_PASSWORDS, K::CheckBox,
     "Guardar las contrase\xC3\xB1"
     "as cifradas (Argon2id)",
     7, 198, 176, 10},
    // A second control port whose connections begin with TLS.
    {IDC_STATIC, K::Label,
     "Puerto FTPS impl\xC3\xAD"
     "cito (0 = no)",
     7, 215, 110, 8, IDC_IMPLICIT_TLS_PORT},
    {IDC_IMPLICIT_TLS_PORT, K::Edit, nullptr, 121, 213, 30, 12},
    {IDC_MAKE_USER_FOLDERS, K::CheckBox, "Crear la carpeta de cada usuario (%u) al entrar", 7, 230,
     176, 10},
};

// Who may connect, how many at once, and the guard against password guessing.
const SControlTemplate kConnectionsPage[] = {
    {IDC_STATIC, K::Label, "Conexiones por direcci\xC3\xB3n:", 7, 9, 95, 8, IDC_MAX_PER_ADDRESS},
    {IDC_MAX_PER_ADDRESS, K::Edit, nullptr, 104, 7, 30, 12},
    {IDC_STATIC, K::Label, "Conexiones en total:", 7, 26, 95, 8, IDC_MAX_CONNECTIONS},
    {IDC_MAX_CONNECTIONS, K::Edit, nullptr, 104, 24, 30, 12},
    {IDC_STATIC, K::GroupBox, "Qui\xC3\xA9n puede conectar", 7, 41, 176, 63},
    {IDC_STATIC, K::Label, "Permitir desde:", 13, 55, 58, 8, IDC_ALLOW},
    {IDC_ALLOW, K::Edit, nullptr, 72, 53, 105, 12},
    {IDC_STATIC, K::Label, "Denegar desde:", 13, 72, 58, 8, IDC_DENY},
    {IDC_DENY, K::Edit, nullptr, 72, 70, 105, 12},
    {IDC_STATIC, K::Label, "Direcciones o redes separadas por comas", 13, 88, 164, 8},
    {IDC_STATIC, K::GroupBox, "Inicios de sesi\xC3\xB3n", 7, 110, 176, 95},
    {IDC_STATIC, K::Label, "Bloquear tras", 13, 124, 48, 8, IDC_BAN_AFTER},
    {IDC_BAN_AFTER, K::Edit, nullptr, 62, 122, 30, 12},
    {IDC_STATIC, K::Label, "intentos fallidos", 96, 124, 80, 8},
    {IDC_STATIC, K::Label, "durante", 13, 141, 48, 8, IDC_BAN_MINUTES},
    {IDC_BAN_MINUTES, K::Edit, nullptr, 62, 139, 30, 12},
    {IDC_STATIC, K::Label, "minutos", 96, 141, 80, 8},
    {IDC_BAN_LIST, K::ListView, nullptr, 13, 156, 116, 43, 0, "Direcciones bloqueadas"},
    {IDC_UNBAN, K::PushButton, "&Desbloquear", 133, 156, 45, 14},
    {IDC_LIMITS, K::GroupBox, "L\xC3\xADmites de velocidad", 7, 209, 176, 45},
    {IDC_LIMIT_DOWN_LABEL, K::Label, "&Bajada:", 13, 223, 40, 8, IDC_LIMIT_DOWN},
    {IDC_LIMIT_DOWN, K::SpinBox, nullptr, 54, 221, 80, 12},
    {IDC_LIMIT_UP_LABEL, K::Label, "&Subida:", 13, 238, 40, 8, IDC_LIMIT_UP},
    {IDC_LIMIT_UP, K::SpinBox, nullptr, 54, 236, 80, 12},
};

const SControlTemplate kUser[] = {
    {IDC_STATIC, K::GroupBox, "Informaci\xC3\xB3n de Usuario", 7, 7, 133, 77},
    {IDC_STATIC, K::Label, "Usuario:", 13, 17, 0, 8, IDC_USER_NAME},
    {IDC_USER_NAME, K::Edit, nullptr, 13, 26, 105, 12},
    {IDC_STATIC, K::Label,
     "Contrase\xC3\xB1"
     "a:",
     13, 41, 0, 8, IDC_PASSWORD},
    {IDC_PASSWORD, K::PasswordEdit, nullptr, 13, 50, 105, 12},
    // Shown when the account's password is stored as a hash.
    {IDC_PASSWORD_NOTE, K::Label,
     "(contrase\xC3\xB1"
     "a guardada; escriba una nueva para cambiarla)",
     13, 64, 121, 16},
    {IDC_STATIC, K::GroupBox, "Permisos", 7, 87, 134, 36},
    {IDC_DOWNLOAD, K::CheckBox, "Usuario puede descargar archivos", 14, 97, 0, 10},
    {IDC_UPLOAD, K::CheckBox, "Usuario puede subir archivos", 14, 108, 0, 10},
    // The extended mode's speed limits, beside the rest (the dialog widens).
    {IDC_LIMITS, K::GroupBox, "L\xC3\xADmites de velocidad", 147, 7, 96, 50},
    {IDC_LIMIT_DOWN_LABEL, K::Label, "Ba&jada:", 153, 21, 28, 8, IDC_LIMIT_DOWN},
    {IDC_LIMIT_DOWN, K::SpinBox, nullptr, 182, 19, 55, 12},
    {IDC_LIMIT_UP_LABEL, K::Label, "Su&bida:", 153, 37, 28, 8, IDC_LIMIT_UP},
    {IDC_LIMIT_UP, K::SpinBox, nullptr, 182, 35, 55, 12},
    {IDOK, K::DefPushButton, "Aceptar", 10, 129, 50, 14},
    {IDCANCEL, K::PushButton, "Cancelar", 70, 129, 50, 14},
};

const SControlTemplate kFolder[] = {
    {IDC_STATIC, K::GroupBox, "Informaci\xC3\xB3n Ruta", 7, 7, 172, 62},
    {IDC_STATIC, K::Label, "Carpeta que puede ser compartida:", 13, 17, 0, 8, IDC_LOCAL_PATH},
    {IDC_LOCAL_PATH, K::Edit, nullptr, 13, 26, 105, 12},
    {IDC_BROWSE, K::PushButton, "&Examinar", 129, 24, 45, 14},
    {IDC_STATIC, K::Label, "Nombre con el que los usuarios la veran:", 13, 41, 0, 8,
     IDC_VIRTUAL_PATH},
    {IDC_VIRTUAL_PATH, K::Edit, nullptr, 13, 50, 127, 12},
    {IDC_STATIC, K::GroupBox, "Permisos", 7, 70, 172, 36},
    {IDC_DOWNLOAD, K::CheckBox, "Usuario puede descargar archivos", 14, 80, 0, 10},
    {IDC_UPLOAD, K::CheckBox, "Usuario puede subir archivos", 14, 91, 0, 10},
    {IDOK, K::DefPushButton, "Aceptar", 35, 112, 50, 14},
    {IDCANCEL, K::PushButton, "Cancelar", 101, 112, 50, 14},
};

#define TEMPLATE(id, caption, cx, cy, controls)                                                    \
    { id, caption, cx, cy, controls, std::size(controls) }

const SDialogTemplate kDialogs[] = {
    TEMPLATE(IDD_ABOUTBOX, "Acerca de Skerrow", 211, 55, kAboutBox),
    TEMPLATE(IDD_SERVER, "Skerrow", 245, 145, kServer),
    TEMPLATE(IDD_USERS_PAGE, "Seguridad", 190, 114, kUsersPage),
    TEMPLATE(IDD_FOLDERS_PAGE, "Acceso", 190, 114, kFoldersPage),
    TEMPLATE(IDD_SERVER_PAGE, "Servidor", 190, 109, kServerPage),
    TEMPLATE(IDD_ADVANCED_PAGE, "Avanzado", 190, 244, kAdvancedPage),
    TEMPLATE(IDD_CONNECTIONS_PAGE, "Conexiones", 190, 260, kConnectionsPage),
    TEMPLATE(IDD_USER,
             "A\xC3\xB1"
             "adir/Editar Usuario",
             148, 150, kUser),
    TEMPLATE(IDD_FOLDER,
             "A\xC3\xB1"
             "adir/Editar Carpeta",
             186, 133, kFolder),
};

const SMenuItem kTrayMenu[] = {
    {ID_TRAY_OPEN, "&Abrir Skerrow"},
    {ID_TRAY_OPTIONS, "O&pciones"},
    {ID_TRAY_CLOSE, "&Cerrar"},
};

const SMenuTemplate kMenus[] = {
    {IDR_TRAY_MENU, kTrayMenu, std::size(kTrayMenu)},
};

} // namespace

const SDialogTemplate* FindDialogTemplate(int nId) {
    for (const SDialogTemplate& dialog : kDialogs)
        if (dialog.nId == nId)
            return &dialog;
    return nullptr;
}

const SMenuTemplate* FindMenuTemplate(int nId) {
    for (const SMenuTemplate& menu : kMenus)
        if (menu.nId == nId)
            return &menu;
    return nullptr;
}
