// Draws the palette icons listed in data/icons.txt into an Icons folder:
//   zepta-make-icons ICONS_TXT OUTPUT_DIR
// Each icon is a white pictogram on a rounded tile in its category's colour,
// drawn at 48 pixels so it stays legible in a 41-pixel picture box.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <map>

namespace
{

using Draw = std::function<void(QPainter&)>;

QPen stroke(double width) { return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

const std::map<QString, Draw>& pictograms()
{
    static const std::map<QString, Draw> table = {
        {"pothole",
            [](QPainter& p) {
                p.setPen(stroke(2.5));
                p.drawLine(QPointF(8, 34), QPointF(40, 34));
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawEllipse(QRectF(14, 22, 20, 9));
            }},
        {"sign",
            [](QPainter& p) {
                QPainterPath t;
                t.moveTo(24, 8);
                t.lineTo(41, 38);
                t.lineTo(7, 38);
                t.closeSubpath();
                p.setPen(stroke(3));
                p.setBrush(Qt::NoBrush);
                p.drawPath(t);
                p.drawLine(QPointF(24, 18), QPointF(24, 28));
                p.drawPoint(QPointF(24, 33));
            }},
        {"tree",
            [](QPainter& p) {
                p.setPen(stroke(4));
                p.drawLine(QPointF(8, 36), QPointF(26, 30));
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawEllipse(QRectF(22, 16, 20, 18));
                p.setPen(stroke(2));
                p.drawLine(QPointF(6, 40), QPointF(42, 40));
            }},
        {"water",
            [](QPainter& p) {
                p.setPen(stroke(3));
                p.setBrush(Qt::NoBrush);
                for (int row = 0; row < 3; ++row) {
                    QPainterPath w;
                    const double y = 16 + row * 9;
                    w.moveTo(8, y);
                    w.cubicTo(14, y - 5, 18, y + 5, 24, y);
                    w.cubicTo(30, y - 5, 34, y + 5, 40, y);
                    p.drawPath(w);
                }
            }},
        {"drain",
            [](QPainter& p) {
                p.setPen(stroke(2.5));
                p.setBrush(Qt::NoBrush);
                p.drawRect(QRectF(11, 11, 26, 26));
                for (int i = 1; i < 4; ++i)
                    p.drawLine(QPointF(11 + 6.5 * i, 13), QPointF(11 + 6.5 * i, 35));
            }},
        {"lamp",
            [](QPainter& p) {
                p.setPen(stroke(3));
                p.drawLine(QPointF(18, 42), QPointF(18, 10));
                p.drawLine(QPointF(18, 10), QPointF(32, 10));
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawPie(QRectF(26, 10, 12, 10), 0, -180 * 16);
                p.setPen(stroke(2));
                p.drawLine(QPointF(27, 26), QPointF(25, 30));
                p.drawLine(QPointF(37, 26), QPointF(39, 30));
            }},
        {"markings",
            [](QPainter& p) {
                p.setPen(stroke(2));
                p.drawLine(QPointF(10, 8), QPointF(6, 40));
                p.drawLine(QPointF(38, 8), QPointF(42, 40));
                QPen dash = stroke(4);
                dash.setCapStyle(Qt::FlatCap);
                dash.setDashPattern({1.5, 1.2});
                p.setPen(dash);
                p.drawLine(QPointF(24, 8), QPointF(24, 40));
            }},
        {"slope",
            [](QPainter& p) {
                QPainterPath s;
                s.moveTo(6, 40);
                s.lineTo(6, 12);
                s.lineTo(42, 40);
                s.closeSubpath();
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawPath(s);
                p.drawEllipse(QPointF(34, 24), 3.5, 3.5);
                p.drawEllipse(QPointF(40, 30), 2.5, 2.5);
            }},
        {"bird",
            [](QPainter& p) {
                p.setPen(stroke(3));
                p.setBrush(Qt::NoBrush);
                QPainterPath b;
                b.moveTo(6, 20);
                b.quadTo(15, 12, 24, 26);
                b.quadTo(33, 12, 42, 20);
                p.drawPath(b);
                QPainterPath c;
                c.moveTo(18, 34);
                c.quadTo(23, 29, 28, 36);
                c.quadTo(33, 29, 38, 34);
                p.drawPath(c);
            }},
        {"paw",
            [](QPainter& p) {
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawEllipse(QRectF(15, 24, 18, 15));
                p.drawEllipse(QPointF(12, 20), 4, 5);
                p.drawEllipse(QPointF(20, 13), 4, 5);
                p.drawEllipse(QPointF(28, 13), 4, 5);
                p.drawEllipse(QPointF(36, 20), 4, 5);
            }},
        {"nest",
            [](QPainter& p) {
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawEllipse(QPointF(19, 22), 5, 6.5);
                p.drawEllipse(QPointF(29, 22), 5, 6.5);
                p.drawChord(QRectF(6, 12, 36, 26), 0, -180 * 16);
            }},
        {"pole",
            [](QPainter& p) {
                p.setPen(stroke(3.5));
                p.drawLine(QPointF(24, 42), QPointF(27, 7));
                p.drawLine(QPointF(14, 13), QPointF(38, 15));
                p.setPen(stroke(2.5));
                p.drawLine(QPointF(19, 28), QPointF(31, 22));
            }},
        {"cable",
            [](QPainter& p) {
                QPainterPath z;
                z.moveTo(27, 6);
                z.lineTo(15, 26);
                z.lineTo(25, 26);
                z.lineTo(20, 42);
                z.lineTo(34, 20);
                z.lineTo(24, 20);
                z.closeSubpath();
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawPath(z);
            }},
        {"drop",
            [](QPainter& p) {
                QPainterPath d;
                d.moveTo(24, 7);
                d.cubicTo(30, 18, 36, 24, 36, 30);
                d.arcTo(QRectF(12, 18, 24, 24), 0, -180);
                d.cubicTo(12, 24, 18, 18, 24, 7);
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawPath(d);
            }},
        {"cabinet",
            [](QPainter& p) {
                p.setPen(stroke(3));
                p.setBrush(Qt::NoBrush);
                p.drawRect(QRectF(12, 8, 24, 32));
                p.drawEllipse(QPointF(24, 20), 6, 6);
                p.drawLine(QPointF(24, 20), QPointF(27, 17));
                p.drawLine(QPointF(17, 33), QPointF(31, 33));
            }},
        {"leaf",
            [](QPainter& p) {
                QPainterPath l;
                l.moveTo(10, 38);
                l.cubicTo(10, 16, 24, 8, 40, 8);
                l.cubicTo(40, 26, 30, 38, 10, 38);
                p.setPen(Qt::NoPen);
                p.setBrush(Qt::white);
                p.drawPath(l);
                p.setPen(QPen(QColor(0, 0, 0, 90), 2));
                p.drawLine(QPointF(12, 36), QPointF(34, 14));
            }},
        {"bridge",
            [](QPainter& p) {
                p.setPen(stroke(3));
                p.setBrush(Qt::NoBrush);
                p.drawLine(QPointF(6, 20), QPointF(42, 20));
                QPainterPath a;
                a.moveTo(8, 38);
                a.quadTo(24, 14, 40, 38);
                p.drawPath(a);
                p.drawLine(QPointF(16, 20), QPointF(16, 28));
                p.drawLine(QPointF(32, 20), QPointF(32, 28));
                p.setPen(QPen(QColor(255, 220, 0), 3, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(22, 16), QPointF(27, 25));
            }},
        {"unknown",
            [](QPainter& p) {
                QFont font(QStringLiteral("Liberation Sans"));
                font.setPixelSize(34);
                font.setBold(true);
                p.setFont(font);
                p.setPen(Qt::white);
                p.drawText(QRectF(0, 0, 48, 48), Qt::AlignCenter, QStringLiteral("?"));
            }},
    };
    return table;
}

QImage drawIcon(const QColor& tile, const Draw& pictogram)
{
    QImage image(48, 48, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(tile.darker(140), 2));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(1, 1, 46, 46), 9, 9);
    pictogram(p);
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: zepta-make-icons ICONS_TXT OUTPUT_DIR\n");
        return 2;
    }
    QFile list(QString::fromLocal8Bit(argv[1]));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    QDir().mkpath(out.path());
    QTextStream in(&list);
    int written = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('|'));
        if (fields.size() < 3) {
            std::fprintf(stderr, "bad line: %s\n", qPrintable(line));
            return 1;
        }
        const QString file = fields[0].trimmed();
        const QColor tile(fields[1].trimmed());
        const auto found = pictograms().find(fields[2].trimmed());
        if (!tile.isValid() || found == pictograms().end()) {
            std::fprintf(stderr, "unknown colour or pictogram: %s\n", qPrintable(line));
            return 1;
        }
        QImageWriter writer(out.filePath(file), "ico");
        if (!writer.write(drawIcon(tile, found->second))) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(file), qPrintable(writer.errorString()));
            return 1;
        }
        ++written;
    }
    std::printf("%d icons written to %s\n", written, qPrintable(out.path()));
    return 0;
}
