// The window's icons are drawn as SVG in ui/images and shipped as PNG
// (ui/images/png), so that the program needs no Qt Svg: the Windows Qt has
// none. This test renders each SVG again and checks that its PNGs still
// show it; run with VELLUMIX_WRITE_ICONS=1 to write the PNGs after an SVG
// changed.
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
        int worst = 0;
        for (int y = 0; y < pixels; ++y)
            for (int x = 0; x < pixels; ++x) {
                const QRgb a = shipped.pixel(x, y), b = drawn.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                  std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
            }
        QVERIFY2(worst <= 2, qPrintable(u"%1 differs from its SVG by %2"_s.arg(png).arg(worst)));
    }
}

QTEST_GUILESS_MAIN(TIconImagesTest)
#include "tst_IconImages.moc"
