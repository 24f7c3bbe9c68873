// Draws every image of the program (window and title logos, title buttons, check states, step
// indicators, dialog icons, the loading spinner frames, badges and the application icon) into a
// resources folder. Run through scripts/make-images.sh; the results are kept in the repository.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <cstdio>
#include <functional>

namespace {

const QColor Brand("#3461FF");
const QColor Passed("#00943E");
const QColor Failed("#C71023");
const QColor InProgress("#FF9313");
const QColor Inactive("#969AA0");
const QColor White("#FFFFFF");
const QColor Gray("#64666B");

QString outputFolder;

void save(const QString &name, int width, int height, const std::function<void(QPainter &)> &draw)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(
        QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    draw(painter);
    painter.end();
    const QString path = outputFolder + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path))
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QFont cjkFont(int pixelSize, bool bold = true)
{
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// The program's mark: a blue rounded square holding a white shield with a check.
void drawLogo(QPainter &p, const QRectF &r, const QColor &ground, const QColor &mark)
{
    const qreal s = r.width();
    p.setPen(Qt::NoPen);
    p.setBrush(ground);
    p.drawRoundedRect(r, s * 0.22, s * 0.22);
    QPainterPath shield;
    const QPointF c = r.center();
    shield.moveTo(c.x(), r.top() + s * 0.16);
    shield.lineTo(r.left() + s * 0.78, r.top() + s * 0.28);
    shield.cubicTo(r.left() + s * 0.78, r.top() + s * 0.62, r.left() + s * 0.62, r.top() + s * 0.76, c.x(),
        r.top() + s * 0.86);
    shield.cubicTo(r.left() + s * 0.38, r.top() + s * 0.76, r.left() + s * 0.22, r.top() + s * 0.62,
        r.left() + s * 0.22, r.top() + s * 0.28);
    shield.closeSubpath();
    p.setBrush(mark);
    p.drawPath(shield);
    QPen tick(ground, s * 0.08, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(tick);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF(
        { QPointF(r.left() + s * 0.37, r.top() + s * 0.50), QPointF(r.left() + s * 0.47, r.top() + s * 0.61),
            QPointF(r.left() + s * 0.65, r.top() + s * 0.40) }));
}

void drawCross(QPainter &p, const QRectF &r, const QColor &color, qreal width)
{
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void drawCheck(QPainter &p, const QRectF &r, const QColor &color, qreal width)
{
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({ QPointF(r.left(), r.center().y()),
        QPointF(r.left() + r.width() * 0.38, r.bottom()), QPointF(r.right(), r.top()) }));
}

void drawDisc(QPainter &p, const QRectF &r, const QColor &color)
{
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(r);
}

void drawNumberDisc(QPainter &p, int size, const QColor &color, const QString &text, bool done)
{
    drawDisc(p, QRectF(1, 1, size - 2, size - 2), color);
    if (done) {
        drawCheck(p, QRectF(size * 0.28, size * 0.34, size * 0.44, size * 0.32), White, size * 0.1);
        return;
    }
    p.setPen(White);
    p.setFont(cjkFont(size * 0.6));
    p.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, text);
}

void drawSpinner(QPainter &p, int size, qreal angle)
{
    const QRectF ring(4, 4, size - 8, size - 8);
    p.setPen(QPen(QColor(255, 255, 255, 70), 4));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(ring);
    QConicalGradient sweep(ring.center(), -angle);
    sweep.setColorAt(0.0, White);
    sweep.setColorAt(0.75, QColor(255, 255, 255, 0));
    p.setPen(QPen(QBrush(sweep), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(ring, qRound(-angle * 16), 270 * 16);
}

void drawTitleButtons()
{
    for (const auto &[suffix, color] : { std::pair<QString, QColor>(QString(), White),
             std::pair<QString, QColor>(QStringLiteral("_gray"), Gray) }) {
        save(QStringLiteral("img/title_close%1.png").arg(suffix), 24, 24,
            [color = color](QPainter &p) { drawCross(p, QRectF(7, 7, 10, 10), color, 1.6); });
        save(QStringLiteral("img/title_min%1.png").arg(suffix), 24, 24, [color = color](QPainter &p) {
            p.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(7, 12), QPointF(17, 12));
        });
    }
    save("img/title_help.png", 24, 24, [](QPainter &p) {
        p.setPen(QPen(White, 1.6));
        p.drawEllipse(QRectF(4, 4, 16, 16));
        p.setFont(cjkFont(12));
        p.drawText(QRectF(4, 3, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
    });
}

void drawStates()
{
    save("img/check_waiting.png", 16, 16, [](QPainter &p) {
        drawDisc(p, QRectF(0.5, 0.5, 15, 15), InProgress);
        p.setPen(QPen(White, 1.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 4), QPointF(8, 8.5));
        p.drawLine(QPointF(8, 8.5), QPointF(11, 10));
    });
    save("img/check_success.png", 16, 16, [](QPainter &p) {
        drawDisc(p, QRectF(0.5, 0.5, 15, 15), Passed);
        drawCheck(p, QRectF(4.5, 5, 7, 5.5), White, 1.6);
    });
    save("img/check_error.png", 16, 16, [](QPainter &p) {
        drawDisc(p, QRectF(0.5, 0.5, 15, 15), Failed);
        drawCross(p, QRectF(5.5, 5.5, 5, 5), White, 1.6);
    });
    save("img/one_steping.png", 24, 24, [](QPainter &p) { drawNumberDisc(p, 24, Brand, "1", false); });
    save("img/one_steped.png", 24, 24, [](QPainter &p) { drawNumberDisc(p, 24, Passed, "1", true); });
    save("img/two_steping.png", 24, 24, [](QPainter &p) { drawNumberDisc(p, 24, Inactive, "2", false); });
    save("img/two_steped.png", 24, 24, [](QPainter &p) { drawNumberDisc(p, 24, Brand, "2", false); });
    save("img/item_checked.png", 16, 16, [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(Brand);
        p.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
        drawCheck(p, QRectF(4, 5, 8, 6), White, 1.6);
    });
    save("img/item_uncheck.png", 16, 16, [](QPainter &p) {
        p.setPen(QPen(Inactive, 1));
        p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
    });
}

void drawDialogIcons()
{
    save("img/dialog_question.png", 36, 36, [](QPainter &p) {
        drawDisc(p, QRectF(1, 1, 34, 34), Brand);
        p.setPen(White);
        p.setFont(cjkFont(22));
        p.drawText(QRectF(0, 0, 36, 36), Qt::AlignCenter, QStringLiteral("?"));
    });
    save("img/dialog_error.png", 36, 36, [](QPainter &p) {
        drawDisc(p, QRectF(1, 1, 34, 34), Failed);
        p.setPen(QPen(White, 3.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(18, 9), QPointF(18, 21));
        p.drawPoint(QPointF(18, 27));
    });
    save("img/dialog_disk.png", 36, 36, [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(InProgress);
        p.drawRoundedRect(QRectF(3, 8, 30, 20), 4, 4);
        p.setBrush(White);
        p.drawRoundedRect(QRectF(7, 20, 14, 3), 1.5, 1.5);
        drawDisc(p, QRectF(25, 19.5, 4, 4), White);
    });
    save("img/dialog_net.png", 36, 36, [](QPainter &p) {
        p.setBrush(Qt::NoBrush);
        for (int ring = 0; ring < 3; ++ring) {
            const qreal radius = 6 + ring * 7;
            p.setPen(QPen(Failed, 3.2, Qt::SolidLine, Qt::RoundCap));
            p.drawArc(QRectF(18 - radius, 28 - radius, radius * 2, radius * 2), 45 * 16, 90 * 16);
        }
        drawDisc(p, QRectF(15.5, 25.5, 5, 5), Failed);
    });
}

void drawLoading()
{
    // 48 frames per turn; frame 48 repeats frame 0 so the loop closes seamlessly.
    for (int frame = 0; frame <= 48; ++frame) {
        const qreal angle = (frame % 48) * 360.0 / 48.0;
        save(QStringLiteral("img/loading/%1.png").arg(frame), 40, 40,
            [angle](QPainter &p) { drawSpinner(p, 40, angle); });
    }
    save("img/loading/waiting.png", 40, 40, [](QPainter &p) {
        p.setPen(QPen(White, 4));
        p.drawEllipse(QRectF(4, 4, 32, 32));
        p.setPen(QPen(White, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(20, 11), QPointF(20, 21));
        p.drawLine(QPointF(20, 21), QPointF(26, 25));
    });
    save("img/loading/end.png", 40, 40, [](QPainter &p) {
        drawDisc(p, QRectF(2, 2, 36, 36), White);
        drawCheck(p, QRectF(11, 13, 18, 13), Brand, 4);
    });
}

void drawHomeImages()
{
    save("img/window_logo.png", 64, 64, [](QPainter &p) { drawLogo(p, QRectF(2, 2, 60, 60), Brand, White); });
    save("img/app_logo.png", 96, 96, [](QPainter &p) { drawLogo(p, QRectF(2, 2, 92, 92), Brand, White); });
    save("img/title_logo.png", 52, 52, [](QPainter &p) { drawLogo(p, QRectF(1, 1, 50, 50), White, Brand); });
    save("img/app_installed.png", 82, 32, [](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor("#E6F4EC"));
        p.drawRoundedRect(QRectF(0, 0, 82, 32), 6, 6);
        p.setPen(Passed);
        p.setFont(cjkFont(20));
        p.drawText(QRectF(0, 0, 82, 32), Qt::AlignCenter, QString::fromUtf8("已安装"));
    });
    save("img/tool_setting.png", 24, 24, [](QPainter &p) {
        p.setPen(QPen(Gray, 1.6));
        p.setBrush(Qt::NoBrush);
        QPainterPath gear;
        for (int tooth = 0; tooth < 8; ++tooth) {
            const qreal a = qDegreesToRadians(tooth * 45.0);
            gear.moveTo(12 + 6.5 * qCos(a), 12 + 6.5 * qSin(a));
            gear.lineTo(12 + 9.5 * qCos(a), 12 + 9.5 * qSin(a));
        }
        p.drawPath(gear);
        p.drawEllipse(QRectF(5.5, 5.5, 13, 13));
        p.drawEllipse(QRectF(9.5, 9.5, 5, 5));
    });
    auto headset = [](QPainter &p, qreal s, const QColor &color) {
        p.setPen(QPen(color, s * 0.09, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(s * 0.15, s * 0.12, s * 0.7, s * 0.7), 0, 180 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(s * 0.1, s * 0.45, s * 0.18, s * 0.3), s * 0.05, s * 0.05);
        p.drawRoundedRect(QRectF(s * 0.72, s * 0.45, s * 0.18, s * 0.3), s * 0.05, s * 0.05);
    };
    save("img/help_service_small.png", 20, 20, [headset](QPainter &p) { headset(p, 20, White); });
    save("img/help_service.png", 174, 98, [headset](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor("#EEF2FF"));
        p.drawEllipse(QRectF(37, 0, 100, 98));
        p.save();
        p.translate(57, 14);
        headset(p, 60, Brand);
        p.restore();
        p.setBrush(QColor("#D6E0FF"));
        p.drawRoundedRect(QRectF(120, 12, 40, 24), 8, 8);
        p.drawRoundedRect(QRectF(14, 58, 34, 20), 7, 7);
    });
    QImage icon(128, 128, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    drawLogo(p, QRectF(4, 4, 120, 120), Brand, White);
    p.end();
    if (!icon.save(outputFolder + QStringLiteral("/main.ico"), "ICO"))
        fprintf(stderr, "cannot write main.ico (is the Qt ICO image plugin installed?)\n");
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: imagegen RESOURCE_FOLDER\n");
        return 2;
    }
    outputFolder = QString::fromLocal8Bit(argv[1]);
    drawTitleButtons();
    drawStates();
    drawDialogIcons();
    drawLoading();
    drawHomeImages();
    return 0;
}
