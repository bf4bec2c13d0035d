// Skerrow: a small FTP server with an administration window.
#include "app/ControlClient.h"
#include "app/HeadlessFrontEnd.h"
#include "app/PasswdCommand.h"
#include "ftp/FtpTables.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <vector>

namespace {

// The process holds passwords (the users' list, the TLS key): no core dump
// of it is written, and other processes of the user cannot read its memory.
void ForbidDumps() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void PrintUsage() {
    printf("Uso: skerrow [--headless | --help | --version]\n"
           "       skerrow [--instance NOMBRE] --who [--json] | --kick ID |"
           " --unban DIRECCI\xC3\x93N | --reload | --metrics\n"
           "       skerrow --passwd USUARIO\n"
           "\n"
           "  (sin opciones)  abre la ventana de administraci\xC3\xB3n\n"
           "  --headless      sirve sin ventana; el registro va a la salida est\xC3\xA1ndar\n"
           "                  (bajo systemd, al diario, con sus campos) y SIGINT o SIGTERM\n"
           "                  lo detienen guardando la configuraci\xC3\xB3n\n"
           "  --who           las conexiones del servidor sin ventana y lo que hace cada una\n"
           "                  (--json: lo mismo en JSON)\n"
           "  --kick ID       desconecta la conexi\xC3\xB3n ID (la primera columna de --who)\n"
           "  --unban DIR     desbloquea una direcci\xC3\xB3n bloqueada por inicios fallidos\n"
           "  --reload        vuelve a leer la configuraci\xC3\xB3n (como SIGHUP)\n"
           "  --metrics       los contadores del servidor en el formato de Prometheus\n"
           "  --passwd USUARIO  cambia la contrase\xC3\xB1"
           "a de USUARIO (guardada cifrada, Argon2id;\n"
           "                  dos veces sin eco en un terminal, o una l\xC3\xAD"
           "nea de la entrada\n"
           "                  est\xC3\xA1ndar) y pide al servidor en marcha que relea la\n"
           "                  configuraci\xC3\xB3n\n"
           "  --instance NOMBRE  (root) la instancia skerrow@NOMBRE del servicio del sistema\n"
           "  --help          muestra esta ayuda\n"
           "  --version       muestra la versi\xC3\xB3n\n"
           "\n"
           "Configuraci\xC3\xB3n: $XDG_CONFIG_HOME/Orvane/skerrow.conf "
           "(normalmente ~/.config/Orvane/skerrow.conf)\n");
}

} // namespace

int RunWindow(int argc, char** argv);

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (IsControlCommand(args))
        return RunControlCommand(args);
    if (IsPasswdCommand(args)) {
        // It holds a password in memory.
        ForbidDumps();
        return RunPasswdCommand(args);
    }
    bool bHeadless = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--headless") == 0) {
            bHeadless = true;
        } else if (strcmp(argv[i], "--help") == 0) {
            PrintUsage();
            return 0;
        } else if (strcmp(argv[i], "--version") == 0) {
            printf("skerrow %s\n", kVersion);
            return 0;
        } else {
            fprintf(stderr, "skerrow: opci\xC3\xB3n desconocida: %s\n", argv[i]);
            PrintUsage();
            return 2;
        }
    }
    ForbidDumps();
    if (bHeadless)
        return RunHeadless();
    return RunWindow(argc, argv);
}
