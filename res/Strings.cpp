#include "res/Strings.h"

namespace {

struct StringEntry {
    int nId;
    const char* pszText;
};

const StringEntry kStrings[] = {
    {IDS_ABOUTBOX, "&Acerca de Skerrow..."},
    {IDS_START, "&Iniciar"},
    {IDS_STOP, "&Parar"},
    {IDS_SERVER_STARTED, "%s FTP versi\xC3\xB3n %s iniciado %s\nEscuchando en direcci\xC3\xB3n "
                         "%d.%d.%d.%d y puerto %d\n"},
    {IDS_SERVER_START_FAILED, "Error: no es posible iniciar Skerrow\n"},
    {IDS_SERVER_STOPPED, "%s FTP versi\xC3\xB3n %s parado %s\n"},
    {IDS_CONNECTED, "Conectado a %s\n"},
    {IDS_CONNECTION_CLOSED, "Conexi\xC3\xB3n a %s closed\n"},
    {IDS_USER_LOGGED_IN, "Usuario %s logeado en, cas es %s\n"},
    {IDS_SENDING, "Enviando %s\n"},
    {IDS_COLUMN_VIRTUAL, "Virtual"},
    {IDS_COLUMN_ACTUAL, "Actual"},
    {IDS_OPTIONS, "Opciones"},
    {IDS_PICK_FOLDER, "Seleccionar carpeta para gente que accede:"},
    {IDS_RECEIVING, "Recibiendo %s\n"},
    {IDS_FOLDER_CREATED, "Carpeta creada %s\n"},
    {IDS_FOLDER_REMOVED, "Quitar carpeta %s\n"},
    {IDS_FILE_DELETED, "Borrar archivo %s\n"},
    {IDS_USER_CONNECTING, "<usuario conectando>"},
    {IDS_USERS_CONNECTED, "%d usuario(s) conectado"},
    {IDS_COLUMN_USER, "Usuario"},
    {IDS_SECOND_ROOT,
     "No puedes a\xC3\xB1"
     "adir otra carpeta root, cambiar la ruta virtual a alguna m\xC3\xA1s adecuada."},
    {IDS_SETTINGS_RELOADED, "Configuraci\xC3\xB3n recargada de %s\n"},
    {IDS_SETTINGS_RELOADED_DEFAULTS,
     "Configuraci\xC3\xB3n recargada de %s (valores por omisi\xC3\xB3n para: %s)\n"},
    {IDS_TLS_FINGERPRINT, "Certificado TLS, huella SHA-256: %s\n"},
    {IDS_TLS_FAILED, "Error TLS: %s\n"},
    {IDS_LOGIN_FAILED, "Inicio de sesi\xC3\xB3n fallido de %s (usuario %s)\n"},
    {IDS_ADDRESS_BANNED, "Direcci\xC3\xB3n %s bloqueada durante %d minutos\n"},
    {IDS_ADDRESS_UNBANNED, "Direcci\xC3\xB3n %s desbloqueada\n"},
    {IDS_HASH_UNREADABLE, "usuario %s: contrase\xC3\xB1"
                          "a cifrada no v\xC3\xA1lida\n"},
    {IDS_NAME_HAS_COMMA, "El nombre no puede contener comas."},
    {IDS_HASH_NO_THREAD, "No se puede comprobar la contrase\xC3\xB1"
                         "a de %s: %s\n"},
    {IDS_LOGIN_TABLE_FULL, "Tabla de inicios de sesi\xC3\xB3n llena: se olvidan las direcciones "
                           "m\xC3\xA1s antiguas sin bloqueo\n"},
    {IDS_TLS_MODE_INVALID, "Error TLS: TlsMode=%d no es v\xC3\xA1lido (0, 1 o 2)\n"},
    {IDS_TLS_NEEDS_EXTENDED, "TLS desactivado: TlsMode=%d s\xC3\xB3lo act\xC3\xBA"
                             "a con el modo extendido\n"},
    {IDS_SETTINGS_READ_ONLY, "Configuraci\xC3\xB3n no guardada: %s es de s\xC3\xB3lo lectura\n"},
    {IDS_TLS_DATA_REFUSED,
     "Conexi\xC3\xB3n de datos rechazada: no reanuda la sesi\xC3\xB3n TLS de %s\n"},
    {IDS_LISTENING_IPV6, "Escuchando tambi\xC3\xA9n en IPv6, direcci\xC3\xB3n :: y puerto %d\n"},
    {IDS_IPV6_UNAVAILABLE, "IPv6 no disponible (%s): escuchando s\xC3\xB3lo en IPv4\n"},
    {IDS_CONTROL_UNAVAILABLE, "Sin socket de control: %s\n"},
    {IDS_PROXY_BAD_HEADER, "Conexi\xC3\xB3n de %s cerrada: cabecera PROXY no v\xC3\xA1lida\n"},
    {IDS_PROXY_LATE, "Conexi\xC3\xB3n de %s cerrada: sin cabecera PROXY completa en %d segundos\n"},
    {IDS_PROXY_CLOSED, "Conexi\xC3\xB3n de %s cerrada antes de su cabecera PROXY\n"},
    {IDS_PROXY_UNLISTED, "Conexi\xC3\xB3n de %s cerrada: cabecera PROXY de una direcci\xC3\xB3n "
                         "que no est\xC3\xA1 en ProxyFrom\n"},
    {IDS_PROXY_FROM_INVALID,
     "Error: ProxyFrom=%s no es una lista de direcciones separadas por comas\n"},
    {IDS_ADDRESS_NOT_ADMITTED, "Conexi\xC3\xB3n de %s cerrada: direcci\xC3\xB3n no admitida\n"},
    {IDS_ADDRESS_LIST_INVALID,
     "Error: %s=%s no es una lista de direcciones y redes separadas por comas\n"},
    {IDS_LISTING_FOLDER_REPLACED,
     "La carpeta %s no es propia y privada (%s): los listados se escriben en %s\n"},
    {IDS_LISTING_FAILED, "Listado de %s no escrito en la carpeta temporal: %s\n"},
    {IDS_IMPLICIT_TLS_LISTENING, "FTPS impl\xC3\xAD"
                                 "cito: escuchando en el puerto %d\n"},
    {IDS_IMPLICIT_TLS_SAME_PORT,
     "Error: ImplicitTlsPort=%d es el mismo que Port=%d; el FTPS impl\xC3\xAD"
     "cito necesita otro\n"},
    {IDS_IMPLICIT_TLS_PORT_FAILED, "Error: no es posible escuchar en ImplicitTlsPort=%d: %s\n"},
    {IDS_IMPLICIT_TLS_NEEDS_EXTENDED, "FTPS impl\xC3\xAD"
                                      "cito desactivado: ImplicitTlsPort=%d "
                                      "s\xC3\xB3lo act\xC3\xBA"
                                      "a con el modo extendido\n"},
    {IDS_IMPLICIT_TLS_NOT_TLS,
     "Conexi\xC3\xB3n de %s cerrada: no empez\xC3\xB3 con TLS (FTPS impl\xC3\xAD"
     "cito)\n"},
    {IDS_SETTINGS_DEFAULTED, "Configuraci\xC3\xB3n de %s: valores por omisi\xC3\xB3n para: %s\n"},
};

} // namespace

const char* LoadString(int nId) {
    for (const StringEntry& entry : kStrings)
        if (entry.nId == nId)
            return entry.pszText;
    return "";
}

#include <cstdarg>
#include <cstdio>

std::string FormatString(const char* pszFormat, ...) {
    char szSmall[512];
    va_list args;
    va_start(args, pszFormat);
    int nLen = vsnprintf(szSmall, sizeof szSmall, pszFormat, args);
    va_end(args);
    if (nLen < 0)
        return std::string();
    if (static_cast<size_t>(nLen) < sizeof szSmall)
        return std::string(szSmall, static_cast<size_t>(nLen));
    std::string strText(static_cast<size_t>(nLen) + 1, '\0');
    va_start(args, pszFormat);
    vsnprintf(strText.data(), strText.size(), pszFormat, args);
    va_end(args);
    strText.resize(static_cast<size_t>(nLen));
    return strText;
}
