// Writes the application icon as PNG files of the hicolor theme's sizes:
// skerrow_icons <folder> writes <folder>/<n>x<n>/apps/skerrow.png.
#include "res/Icons.h"
#include "res/Templates.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: skerrow_icons <folder>\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString strRoot = QString::fromLocal8Bit(argv[1]);
    for (int nSide : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString strFolder = QStringLiteral("%1/%2x%2/apps").arg(strRoot).arg(nSide);
        if (!QDir().mkpath(strFolder) || !DrawIconResource(IDR_MAINFRAME, nSide)
                                              .save(strFolder + QStringLiteral("/skerrow.png"))) {
            fprintf(stderr, "skerrow_icons: cannot write %s\n", qPrintable(strFolder));
            return 1;
        }
    }
    return 0;
}
