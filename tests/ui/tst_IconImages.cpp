// The window's icons are drawn as SVG in ui/images and shipped as PNG
// (ui/images/png), so that the program needs no Qt Svg: the Windows Qt has
// none. This test renders each SVG again and checks that its PNGs still
// show it; run with VELLUMIX_WRITE_ICONS=1 to write the PNGs after an SVG
// changed. The same holds for the Windows program icon (an .ico of PNG
// images of the window icon), which the Windows build links into the programs.
#include <QtTest>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

using namespace Qt::StringLiterals;

class TIconImagesTest : public QObject
{
    Q_OBJECT

private slots:
    void pngMatchesSvg_data();
    void pngMatchesSvg();
    void icoMatchesSvg();
};

namespace {
QImage Render(const QString &svg, int pixels)
{
    QSvgRenderer renderer(svg);
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return image;
}

// The largest difference of one channel between two images of one size.
int Worst(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    return worst;
}

// An .ico file: a header, one 16-byte entry per image, then the images,
// here as PNG (read by Windows since Vista). A size of 256 is written as 0.
QByteArray IcoFile(const QList<QImage> &images)
{
    QList<QByteArray> pngs;
    for (const QImage &image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        pngs.append(png);
    }
    QByteArray ico;
    QDataStream out(&ico, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        out << quint8(images[i].width() & 0xff) << quint8(images[i].height() & 0xff) << quint8(0) << quint8(0)
            << quint16(1) << quint16(32) << quint32(pngs[i].size()) << offset;
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray &png : pngs)
        out.writeRawData(png.constData(), int(png.size()));
    return ico;
}

// The images of an .ico file of PNG images; empty when it is not one.
QList<QImage> IcoImages(const QByteArray &ico)
{
    QDataStream in(ico);
    in.setByteOrder(QDataStream::LittleEndian);
    quint16 reserved = 0, type = 0, count = 0;
    in >> reserved >> type >> count;
    QList<QImage> images;
    for (int i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        quint8 width = 0, height = 0, colours = 0, zero = 0;
        quint16 planes = 0, bits = 0;
        quint32 size = 0, offset = 0;
        in >> width >> height >> colours >> zero >> planes >> bits >> size >> offset;
        const QImage image = QImage::fromData(ico.mid(offset, size), "PNG");
        if (image.isNull() || image.width() != (width ? width : 256) || image.height() != (height ? height : 256))
            return {};
        images.append(image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
    if (reserved != 0 || type != 1 || in.status() != QDataStream::Ok)
        return {};
    return images;
}
}

void TIconImagesTest::pngMatchesSvg_data()
{
    QTest::addColumn<QString>("stem");
    QTest::addColumn<int>("size");
    // The sizes the window asks for; each at 1x, 1.5x and 2x for HiDPI screens.
    const QList<QPair<QString, int>> icons = {
        {u"window-icon"_s, 16}, {u"folder-open"_s, 16}, {u"cross"_s, 16},
        {u"floppy"_s, 32}, {u"cross"_s, 32}};
    for (const auto &[stem, size] : icons)
        QTest::addRow("%s-%d", qPrintable(stem), size) << stem << size;
}

void TIconImagesTest::pngMatchesSvg()
{
    QFETCH(QString, stem);
    QFETCH(int, size);
    const QString images = QStringLiteral(VELLUMIX_IMAGES);
    const QString svg = images + u'/' + stem + u".svg"_s;
    QVERIFY2(QFile::exists(svg), qPrintable(svg));
    for (const auto &[scale, name] : {std::pair{1.0, u"1x"_s}, {1.5, u"1.5x"_s}, {2.0, u"2x"_s}}) {
        const int pixels = qRound(size * scale);
        const QImage drawn = Render(svg, pixels);
        QVERIFY(!drawn.isNull());
        const QString png = u"%1/png/%2-%3@%4.png"_s.arg(images, stem).arg(size).arg(name);
        if (qEnvironmentVariableIntValue("VELLUMIX_WRITE_ICONS") == 1)
            QVERIFY(drawn.save(png));
        QImage shipped(png);
        QVERIFY2(!shipped.isNull(), qPrintable(png + u" is missing: run with VELLUMIX_WRITE_ICONS=1"_s));
        shipped = shipped.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(shipped.size(), drawn.size());
        // PNG keeps every pixel; a renderer of another build may round a step apart.
        const int worst = Worst(shipped, drawn);
        QVERIFY2(worst <= 2, qPrintable(u"%1 differs from its SVG by %2"_s.arg(png).arg(worst)));
    }
}

void TIconImagesTest::icoMatchesSvg()
{
    const QString images = QStringLiteral(VELLUMIX_IMAGES);
    const QString svg = images + u"/window-icon.svg"_s;
    const QString icoName = images + u"/window-icon.ico"_s;
    // The sizes Explorer, the task bar and the title bar ask for, at 100 % to 200 %.
    const QList<int> sizes = {16, 20, 24, 32, 40, 48, 64, 256};
    QList<QImage> drawn;
    for (int size : sizes)
        drawn.append(Render(svg, size));
    if (qEnvironmentVariableIntValue("VELLUMIX_WRITE_ICONS") == 1) {
        QFile out(icoName);
        QVERIFY(out.open(QIODevice::WriteOnly));
        const QByteArray ico = IcoFile(drawn);
        QCOMPARE(out.write(ico), ico.size());
    }
    QFile in(icoName);
    QVERIFY2(in.open(QIODevice::ReadOnly), qPrintable(icoName + u" is missing: run with VELLUMIX_WRITE_ICONS=1"_s));
    const QList<QImage> shipped = IcoImages(in.readAll());
    QCOMPARE(shipped.size(), drawn.size());
    for (qsizetype i = 0; i < drawn.size(); ++i) {
        QCOMPARE(shipped[i].size(), drawn[i].size());
        const int worst = Worst(shipped[i], drawn[i]);
        QVERIFY2(worst <= 2, qPrintable(u"the %1 px image of %2 differs from its SVG by %3"_s
                                            .arg(sizes[i]).arg(icoName).arg(worst)));
    }
}

QTEST_GUILESS_MAIN(TIconImagesTest)
#include "tst_IconImages.moc"
