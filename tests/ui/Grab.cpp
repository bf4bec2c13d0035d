// Test tool: writes a PNG of one X11 window. skerrow_grab <window id> <file>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: skerrow_grab <window id> <file.png>\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const WId window = static_cast<WId>(strtoull(argv[1], nullptr, 0));
    QPixmap image = QGuiApplication::primaryScreen()->grabWindow(window);
    if (image.isNull() || !image.save(QString::fromLocal8Bit(argv[2]))) {
        fprintf(stderr, "skerrow_grab: cannot capture window %s\n", argv[1]);
        return 1;
    }
    return 0;
}
