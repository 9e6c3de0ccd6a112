// Renders SVG drawings into PNG files and multi-size Windows icons.
//
//   tivako-render-images png <in.svg> <out.png> <width> <height>
//   tivako-render-images ico <out.ico> <in.svg>:<size> [<in.svg>:<size> ...]
//
// Icon images below 256 px are stored as 32-bit DIBs with an AND mask (read
// by every ICO reader); the 256 px image is stored as PNG, as Windows expects.

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>

#include <cstdio>
#include <vector>

namespace {

bool render(const QString& svgPath, int width, int height, QImage* out)
{
    QSvgRenderer renderer(svgPath);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(svgPath));
        return false;
    }
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    renderer.render(&painter, QRectF(0, 0, width, height));
    painter.end();
    *out = image;
    return true;
}

void putLe16(QByteArray& a, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    a.append(b, 2);
}

void putLe32(QByteArray& a, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    a.append(b, 4);
}

// A device-independent bitmap as stored inside an icon: the header gives the
// doubled height (colour rows plus mask rows), rows run bottom-up.
QByteArray dibImage(const QImage& source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray a;
    putLe32(a, 40);
    putLe32(a, quint32(w));
    putLe32(a, quint32(2 * h));
    putLe16(a, 1);  // planes
    putLe16(a, 32); // bits per pixel
    putLe32(a, 0);  // no compression
    putLe32(a, quint32(w * h * 4 + maskStride * h));
    putLe32(a, 0);
    putLe32(a, 0);
    putLe32(a, 0);
    putLe32(a, 0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb p = row[x];
            a.append(char(qBlue(p)));
            a.append(char(qGreen(p)));
            a.append(char(qRed(p)));
            a.append(char(qAlpha(p)));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QByteArray maskRow(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(row[x]) == 0)
                maskRow[x / 8] = char(maskRow[x / 8] | (0x80 >> (x % 8)));
        }
        a.append(maskRow);
    }
    return a;
}

QByteArray pngImage(const QImage& image)
{
    QByteArray a;
    QBuffer buffer(&a);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return a;
}

int writeIcon(const QString& outPath, const QStringList& specs)
{
    std::vector<QImage> images;
    for (const QString& spec : specs) {
        const int colon = spec.lastIndexOf(':');
        bool ok = false;
        const int size = colon > 0 ? spec.mid(colon + 1).toInt(&ok) : 0;
        if (!ok || size < 1 || size > 256) {
            std::fprintf(stderr, "bad icon image spec %s (want file.svg:size)\n", qPrintable(spec));
            return 2;
        }
        QImage image;
        if (!render(spec.left(colon), size, size, &image))
            return 1;
        images.push_back(image);
    }
    std::vector<QByteArray> blobs;
    for (const QImage& image : images)
        blobs.push_back(image.width() >= 256 ? pngImage(image) : dibImage(image));

    QByteArray file;
    putLe16(file, 0); // reserved
    putLe16(file, 1); // type: icon
    putLe16(file, quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const int w = images[i].width();
        const int h = images[i].height();
        file.append(char(w >= 256 ? 0 : w)); // 0 stands for 256
        file.append(char(h >= 256 ? 0 : h));
        file.append(char(0)); // no palette
        file.append(char(0));
        putLe16(file, 1);  // planes
        putLe16(file, 32); // bits per pixel
        putLe32(file, quint32(blobs[i].size()));
        putLe32(file, offset);
        offset += quint32(blobs[i].size());
    }
    for (const QByteArray& blob : blobs)
        file.append(blob);

    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(outPath));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 5 && args[0] == "png") {
        QImage image;
        if (!render(args[1], args[3].toInt(), args[4].toInt(), &image))
            return 1;
        if (!image.save(args[2], "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(args[2]));
            return 1;
        }
        return 0;
    }
    if (args.size() >= 3 && args[0] == "ico")
        return writeIcon(args[1], args.mid(2));
    std::fprintf(stderr, "usage: tivako-render-images png in.svg out.png w h\n"
                         "       tivako-render-images ico out.ico in.svg:size ...\n");
    return 2;
}
