// Renders the icon's drawing at one size, for the PNG that ships beside it:
//   korvant-render-icon SVG PNG SIZE
// Qt reads the SVG through its image-format plugin, so no SVG development files are needed.
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SVG PNG SIZE\n", argv[0]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    const int size = QString::fromLocal8Bit(argv[3]).toInt();
    QImageReader reader(QString::fromLocal8Bit(argv[1]), "svg");
    reader.setScaledSize(QSize(size, size));
    const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], qPrintable(reader.errorString()));
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write\n", argv[2]);
        return 1;
    }
    return 0;
}
