// Draws the program's pictures (status pictures, folder-tree pictures, tool-bar pictures and the
// program icon) as PNG files at 1x and 2x ("NAME.png", "NAME@2x.png"), so they stay crisp on
// high-density screens. The drawings are vector paths on a 16-unit grid (24 for the tool bar).
// Run it again after changing a drawing:
//   g++ -std=c++20 -fPIC draw_pictures.cpp $(pkg-config --cflags --libs Qt6Gui) -o draw_pictures
//   QT_QPA_PLATFORM=offscreen ./draw_pictures resources/pictures
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const QColor kBlue(0x3d, 0x7b, 0xd9);
const QColor kDarkBlue(0x23, 0x4a, 0x82);
const QColor kPaper(0xfb, 0xfc, 0xfe);
const QColor kPaperEdge(0x6c, 0x7a, 0x8f);
const QColor kYellow(0xf6, 0xd3, 0x6b);
const QColor kYellowEdge(0xb3, 0x8a, 0x1e);
const QColor kGreen(0x2f, 0xa0, 0x4e);
const QColor kRed(0xd6, 0x3b, 0x33);
const QColor kGrey(0x8a, 0x96, 0xa8);
const QColor kOrange(0xf0, 0x8c, 0x24);
const QColor kPurple(0x8b, 0x5c, 0xc7);
const QColor kFolder(0xf2, 0xbd, 0x4b);
const QColor kFolderEdge(0xb0, 0x7f, 0x16);

using Drawing = std::function<void(QPainter&)>;

QPen pen(const QColor& c, double w = 1.0)
{
    QPen p(c, w);
    p.setJoinStyle(Qt::RoundJoin);
    p.setCapStyle(Qt::RoundCap);
    return p;
}

QBrush vertical(const QColor& top, const QColor& bottom, double y0, double y1)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

// An envelope in `r`; open shows the flap up with a letter in it.
void envelope(QPainter& p, const QRectF& r, bool open, const QColor& body = kPaper, const QColor& edge = kPaperEdge)
{
    p.setPen(pen(edge, 0.9));
    if (open) {
        QPainterPath flap;
        flap.moveTo(r.left(), r.top() + r.height() * 0.38);
        flap.lineTo(r.center().x(), r.top() - r.height() * 0.12);
        flap.lineTo(r.right(), r.top() + r.height() * 0.38);
        p.setBrush(body.darker(108));
        p.drawPath(flap);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(r.left() + r.width() * 0.18, r.top() + r.height() * 0.02, r.width() * 0.64, r.height() * 0.6));
        p.setPen(pen(kGrey, 0.6));
        for (int i = 0; i < 2; ++i) {
            const double y = r.top() + r.height() * (0.18 + 0.16 * i);
            p.drawLine(QPointF(r.left() + r.width() * 0.3, y), QPointF(r.right() - r.width() * 0.3, y));
        }
        p.setPen(pen(edge, 0.9));
    }
    QPainterPath box;
    box.addRoundedRect(QRectF(r.left(), r.top() + r.height() * 0.38, r.width(), r.height() * 0.62), 0.8, 0.8);
    if (!open) {
        box = QPainterPath();
        box.addRoundedRect(r, 0.9, 0.9);
    }
    p.setBrush(vertical(body, body.darker(112), r.top(), r.bottom()));
    p.drawPath(box);
    const double top = open ? r.top() + r.height() * 0.38 : r.top();
    p.setBrush(Qt::NoBrush);
    QPainterPath v;
    v.moveTo(r.left() + 0.4, top + 0.4);
    v.lineTo(r.center().x(), top + (r.bottom() - top) * 0.58);
    v.lineTo(r.right() - 0.4, top + 0.4);
    p.drawPath(v);
}

// An arrow from `a` to `b` with a filled head.
void arrow(QPainter& p, QPointF a, QPointF b, const QColor& c, double w = 1.8)
{
    const double angle = std::atan2(b.y() - a.y(), b.x() - a.x());
    const double head = w * 2.0;
    const QPointF back = b - QPointF(std::cos(angle), std::sin(angle)) * head * 0.9;
    p.setPen(pen(c, w));
    p.drawLine(a, back);
    QPainterPath tip;
    tip.moveTo(b);
    tip.lineTo(back + QPointF(std::cos(angle + M_PI / 2), std::sin(angle + M_PI / 2)) * head * 0.75);
    tip.lineTo(back - QPointF(std::cos(angle + M_PI / 2), std::sin(angle + M_PI / 2)) * head * 0.75);
    tip.closeSubpath();
    p.setPen(pen(c, 0.6));
    p.setBrush(c);
    p.drawPath(tip);
}

// A round badge with a white sign drawn by `sign` in its unit box.
void badge(QPainter& p, QPointF center, double radius, const QColor& c)
{
    QRadialGradient g(center - QPointF(radius * 0.3, radius * 0.3), radius * 1.4);
    g.setColorAt(0, c.lighter(130));
    g.setColorAt(1, c);
    p.setPen(pen(c.darker(130), 0.7));
    p.setBrush(g);
    p.drawEllipse(center, radius, radius);
}

void document(QPainter& p, const QRectF& r, bool lines = true)
{
    QPainterPath page;
    const double fold = r.width() * 0.3;
    page.moveTo(r.topLeft());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.bottomRight());
    page.lineTo(r.bottomLeft());
    page.closeSubpath();
    p.setPen(pen(kPaperEdge, 0.9));
    p.setBrush(vertical(Qt::white, QColor(0xe8, 0xed, 0xf4), r.top(), r.bottom()));
    p.drawPath(page);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    p.setBrush(QColor(0xd5, 0xdc, 0xe6));
    p.drawPath(corner);
    if (lines) {
        p.setPen(pen(kGrey, 0.7));
        for (double y = r.top() + fold + 1.6; y < r.bottom() - 1.2; y += 2.0)
            p.drawLine(QPointF(r.left() + 1.6, y), QPointF(r.right() - 1.6, y));
    }
}

void folder(QPainter& p, const QRectF& r, bool open, const QColor& c = kFolder, const QColor& edge = kFolderEdge)
{
    p.setPen(pen(edge, 0.9));
    QPainterPath back;
    back.moveTo(r.left(), r.bottom());
    back.lineTo(r.left(), r.top() + 1.0);
    back.lineTo(r.left() + r.width() * 0.38, r.top() + 1.0);
    back.lineTo(r.left() + r.width() * 0.48, r.top() + r.height() * 0.2);
    back.lineTo(r.right(), r.top() + r.height() * 0.2);
    back.lineTo(r.right(), r.bottom());
    back.closeSubpath();
    p.setBrush(c.darker(112));
    p.drawPath(back);
    if (open) {
        p.setBrush(Qt::white);
        p.drawRect(QRectF(r.left() + 1.5, r.top() + r.height() * 0.28, r.width() - 3, r.height() * 0.4));
        QPainterPath front;
        front.moveTo(r.left() + r.width() * 0.16, r.top() + r.height() * 0.45);
        front.lineTo(r.right() + 0.8, r.top() + r.height() * 0.45);
        front.lineTo(r.right() - r.width() * 0.12, r.bottom());
        front.lineTo(r.left(), r.bottom());
        front.closeSubpath();
        p.setBrush(vertical(c.lighter(115), c, r.top(), r.bottom()));
        p.drawPath(front);
    } else {
        QPainterPath front;
        front.addRoundedRect(QRectF(r.left(), r.top() + r.height() * 0.34, r.width(), r.height() * 0.66), 0.7, 0.7);
        p.setBrush(vertical(c.lighter(118), c, r.top(), r.bottom()));
        p.drawPath(front);
    }
}

void plus(QPainter& p, QPointF center, double radius)
{
    badge(p, center, radius, kGreen);
    p.setPen(pen(Qt::white, radius * 0.45));
    p.drawLine(center - QPointF(radius * 0.55, 0), center + QPointF(radius * 0.55, 0));
    p.drawLine(center - QPointF(0, radius * 0.55), center + QPointF(0, radius * 0.55));
}

void cross(QPainter& p, QPointF center, double radius)
{
    badge(p, center, radius, kRed);
    p.setPen(pen(Qt::white, radius * 0.42));
    const double d = radius * 0.45;
    p.drawLine(center + QPointF(-d, -d), center + QPointF(d, d));
    p.drawLine(center + QPointF(-d, d), center + QPointF(d, -d));
}

void pencil(QPainter& p, QPointF tip, double length, double angleDegrees)
{
    p.save();
    p.translate(tip);
    p.rotate(angleDegrees);
    const double w = length * 0.24;
    QPainterPath body;
    body.moveTo(0, 0);
    body.lineTo(w * 0.9, -w / 2);
    body.lineTo(length, -w / 2);
    body.lineTo(length, w / 2);
    body.lineTo(w * 0.9, w / 2);
    body.closeSubpath();
    p.setPen(pen(QColor(0x7a, 0x55, 0x10), 0.7));
    p.setBrush(vertical(QColor(0xff, 0xd7, 0x5e), QColor(0xf0, 0xa8, 0x20), -w / 2, w / 2));
    p.drawPath(body);
    p.setBrush(QColor(0xf4, 0xd8, 0xb0));
    QPainterPath wood;
    wood.moveTo(0, 0);
    wood.lineTo(w * 0.9, -w / 2);
    wood.lineTo(w * 0.9, w / 2);
    wood.closeSubpath();
    p.drawPath(wood);
    p.setBrush(QColor(0xe0, 0x6f, 0x8a));
    p.drawRect(QRectF(length - w * 0.8, -w / 2, w * 0.8, w));
    p.setBrush(QColor(0x33, 0x33, 0x33));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(0.5, 0), w * 0.16, w * 0.16);
    p.restore();
}

void person(QPainter& p, QPointF head, double size, const QColor& c)
{
    p.setPen(pen(c.darker(140), 0.7));
    p.setBrush(vertical(c.lighter(130), c, head.y() - size, head.y() + size * 2));
    p.drawEllipse(head, size * 0.5, size * 0.5);
    QPainterPath body;
    body.moveTo(head.x() - size, head.y() + size * 1.9);
    body.cubicTo(head.x() - size, head.y() + size * 0.5, head.x() + size, head.y() + size * 0.5, head.x() + size,
                 head.y() + size * 1.9);
    body.closeSubpath();
    p.drawPath(body);
}

void gear(QPainter& p, QPointF c, double r, const QColor& color)
{
    QPainterPath g;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const double a0 = (i * M_PI) / teeth, a1 = ((i + 1) * M_PI) / teeth;
        const double rr = (i % 2 == 0) ? r : r * 0.78;
        QPointF p0 = c + QPointF(std::cos(a0), std::sin(a0)) * rr, p1 = c + QPointF(std::cos(a1), std::sin(a1)) * rr;
        if (i == 0)
            g.moveTo(p0);
        else
            g.lineTo(p0);
        g.lineTo(p1);
    }
    g.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, r * 0.32, r * 0.32);
    g = g.subtracted(hole);
    p.setPen(pen(color.darker(140), 0.7));
    p.setBrush(vertical(color.lighter(130), color, c.y() - r, c.y() + r));
    p.drawPath(g);
}

void clock(QPainter& p, QPointF c, double r)
{
    p.setPen(pen(QColor(0x55, 0x5f, 0x6e), 0.8));
    p.setBrush(Qt::white);
    p.drawEllipse(c, r, r);
    p.setPen(pen(QColor(0x33, 0x3a, 0x44), r * 0.22));
    p.drawLine(c, c + QPointF(0, -r * 0.62));
    p.drawLine(c, c + QPointF(r * 0.5, 0));
}

void paperclip(QPainter& p, const QRectF& r)
{
    QPainterPath clip;
    const double x = r.center().x();
    clip.moveTo(x - 1.6, r.bottom() - 4);
    clip.lineTo(x - 1.6, r.top() + 2.5);
    clip.arcTo(QRectF(x - 1.6, r.top(), 4.2, 5), 180, -180);
    clip.lineTo(x + 2.6, r.bottom() - 2.5);
    clip.arcTo(QRectF(x - 3.6, r.bottom() - 5.5, 6.2, 5.5), 0, -180);
    clip.lineTo(x - 3.6, r.top() + 4);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(QColor(0x4f, 0x5b, 0x6b), 1.3));
    p.drawPath(clip);
}

// --- the pictures --------------------------------------------------------------------------

void mailRead(QPainter& p) { envelope(p, QRectF(1.5, 4.5, 13, 9.5), true); }
void mailUnread(QPainter& p)
{
    envelope(p, QRectF(1.5, 3.5, 13, 9.5), false, kYellow, kYellowEdge);
    badge(p, QPointF(13, 3.5), 2.4, kBlue);
}
void mailSent(QPainter& p)
{
    envelope(p, QRectF(0.8, 4.5, 11.5, 8.5), false);
    arrow(p, QPointF(8.5, 12.5), QPointF(15.3, 8.0), kGreen, 1.6);
}
void mailAttachment(QPainter& p) { paperclip(p, QRectF(4, 1.5, 8, 13)); }
void mailQueued(QPainter& p)
{
    envelope(p, QRectF(0.8, 3.5, 12, 8.5), false);
    clock(p, QPointF(11.5, 11.5), 3.6);
}
void mailDraft(QPainter& p)
{
    document(p, QRectF(2, 1.5, 10, 13));
    pencil(p, QPointF(6.5, 13.5), 10.5, -50);
}
void mimeAudio(QPainter& p)
{
    p.setPen(pen(kPurple.darker(130), 0.8));
    p.setBrush(vertical(kPurple.lighter(130), kPurple, 2, 14));
    p.drawEllipse(QPointF(4.5, 12), 2.6, 2.0);
    p.drawEllipse(QPointF(11.5, 10.5), 2.6, 2.0);
    p.setPen(pen(kPurple.darker(130), 1.3));
    p.drawLine(QPointF(6.8, 12), QPointF(6.8, 3));
    p.drawLine(QPointF(13.8, 10.5), QPointF(13.8, 1.5));
    QPainterPath beam;
    beam.moveTo(6.8, 3);
    beam.lineTo(13.8, 1.5);
    beam.lineTo(13.8, 3.8);
    beam.lineTo(6.8, 5.3);
    beam.closeSubpath();
    p.setBrush(kPurple.darker(115));
    p.drawPath(beam);
}
void mimeApplication(QPainter& p)
{
    p.setPen(pen(kDarkBlue, 0.9));
    p.setBrush(vertical(QColor(0xea, 0xf0, 0xf8), QColor(0xc9, 0xd6, 0xe8), 2, 14));
    p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 1.2, 1.2);
    p.setBrush(kBlue);
    p.drawRect(QRectF(1.5, 2.5, 13, 2.6));
    gear(p, QPointF(8, 9.3), 3.3, kGrey);
}
void mimeImage(QPainter& p)
{
    p.setPen(pen(kPaperEdge, 0.9));
    p.setBrush(vertical(QColor(0x9c, 0xd3, 0xf5), QColor(0xdf, 0xf2, 0xfd), 2, 14));
    p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 1.0, 1.0);
    QPainterPath hills;
    hills.moveTo(1.9, 13.1);
    hills.lineTo(6, 7.5);
    hills.lineTo(8.8, 10.8);
    hills.lineTo(10.8, 8.8);
    hills.lineTo(14.1, 13.1);
    hills.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawPath(hills);
    p.setBrush(QColor(0xff, 0xc8, 0x2e));
    p.drawEllipse(QPointF(11.2, 5.5), 1.5, 1.5);
}
void mimeMessage(QPainter& p)
{
    document(p, QRectF(4, 1, 10, 12), false);
    envelope(p, QRectF(1.2, 7.5, 9, 6.8), false, kYellow, kYellowEdge);
}
void mimeText(QPainter& p) { document(p, QRectF(2.5, 1, 11, 14)); }
void mimeVideo(QPainter& p)
{
    p.setPen(pen(QColor(0x22, 0x26, 0x2e), 0.8));
    p.setBrush(QColor(0x3a, 0x40, 0x4c));
    p.drawRoundedRect(QRectF(1.2, 3, 13.6, 10), 1, 1);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe6, 0xe9, 0xee));
    for (int i = 0; i < 5; ++i) {
        p.drawRect(QRectF(2.2 + i * 2.6, 3.8, 1.4, 1.2));
        p.drawRect(QRectF(2.2 + i * 2.6, 11, 1.4, 1.2));
    }
    p.setBrush(vertical(QColor(0x7f, 0xc4, 0xf5), kBlue, 5.5, 10.5));
    p.drawRect(QRectF(2.2, 5.6, 11.6, 4.8));
    p.setBrush(Qt::white);
    QPainterPath play;
    play.moveTo(6.8, 6.4);
    play.lineTo(10.2, 8);
    play.lineTo(6.8, 9.6);
    play.closeSubpath();
    p.drawPath(play);
}
void mailUrgent(QPainter& p)
{
    badge(p, QPointF(8, 8), 6.3, kRed);
    p.setPen(pen(Qt::white, 2.0));
    p.drawLine(QPointF(8, 4.2), QPointF(8, 8.8));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(8, 11.6), 1.15, 1.15);
}

void treeMailbox(QPainter& p) { folder(p, QRectF(1, 2.5, 14, 11), false); }
void treeMailboxOpen(QPainter& p) { folder(p, QRectF(1, 2.5, 14, 11), true); }
void treeNewMail(QPainter& p)
{
    // A tray with a letter dropping into it.
    envelope(p, QRectF(3.5, 1.0, 9, 6.6), false, kYellow, kYellowEdge);
    QPainterPath tray;
    tray.moveTo(1, 8);
    tray.lineTo(4.5, 8);
    tray.lineTo(5.5, 10);
    tray.lineTo(10.5, 10);
    tray.lineTo(11.5, 8);
    tray.lineTo(15, 8);
    tray.lineTo(15, 14.5);
    tray.lineTo(1, 14.5);
    tray.closeSubpath();
    p.setPen(pen(kDarkBlue, 0.9));
    p.setBrush(vertical(kBlue.lighter(125), kBlue, 8, 14.5));
    p.drawPath(tray);
}
void treeSent(QPainter& p)
{
    envelope(p, QRectF(1, 5, 11, 8), false);
    arrow(p, QPointF(8, 10), QPointF(15, 3.5), kGreen, 1.7);
}
void treeToSend(QPainter& p)
{
    QPainterPath tray;
    tray.moveTo(1, 8);
    tray.lineTo(4.5, 8);
    tray.lineTo(5.5, 10);
    tray.lineTo(10.5, 10);
    tray.lineTo(11.5, 8);
    tray.lineTo(15, 8);
    tray.lineTo(15, 14.5);
    tray.lineTo(1, 14.5);
    tray.closeSubpath();
    p.setPen(pen(QColor(0x8a, 0x4b, 0x08), 0.9));
    p.setBrush(vertical(kOrange.lighter(125), kOrange, 8, 14.5));
    p.drawPath(tray);
    arrow(p, QPointF(8, 9.5), QPointF(8, 1.2), kGreen, 2.0);
}
void treeDrafts(QPainter& p) { mailDraft(p); }
void treeTrash(QPainter& p)
{
    p.setPen(pen(QColor(0x4a, 0x55, 0x66), 0.9));
    p.setBrush(vertical(QColor(0xd5, 0xdc, 0xe6), QColor(0x9d, 0xaa, 0xbc), 4, 15));
    QPainterPath bin;
    bin.moveTo(3, 4.5);
    bin.lineTo(13, 4.5);
    bin.lineTo(12, 15);
    bin.lineTo(4, 15);
    bin.closeSubpath();
    p.drawPath(bin);
    p.drawRoundedRect(QRectF(1.8, 2.6, 12.4, 2.2), 0.8, 0.8);
    p.drawRect(QRectF(6, 1, 4, 1.6));
    p.setPen(pen(QColor(0x6a, 0x76, 0x88), 0.8));
    for (double x : {6.0, 8.0, 10.0})
        p.drawLine(QPointF(x, 6.5), QPointF(x - (x - 8) * 0.1, 13.3));
}
void programIcon(QPainter& p, double s);
void treeRoot(QPainter& p) { programIcon(p, 16); }
void treeGroup(QPainter& p) { folder(p, QRectF(1, 2.5, 14, 11), false, QColor(0x7f, 0xa6, 0xdd), QColor(0x3b, 0x63, 0x9c)); }

// Tool-bar pictures on a 24-unit grid.
void toolCompose(QPainter& p)
{
    document(p, QRectF(3, 2, 14, 19));
    pencil(p, QPointF(10, 19.5), 15, -55);
}
void toolCheck(QPainter& p)
{
    envelope(p, QRectF(2, 9, 17, 12), false, kYellow, kYellowEdge);
    arrow(p, QPointF(17, 1.5), QPointF(17, 11.5), kBlue, 2.6);
}
void toolCheckSend(QPainter& p)
{
    envelope(p, QRectF(4, 7, 16, 11.5), false);
    arrow(p, QPointF(4, 21.5), QPointF(4, 12.5), kGreen, 2.3);
    arrow(p, QPointF(20, 1.5), QPointF(20, 10.5), kBlue, 2.3);
}
void toolSendQueued(QPainter& p)
{
    envelope(p, QRectF(2, 9, 17, 12), false);
    arrow(p, QPointF(17, 12), QPointF(21.5, 1.5), kGreen, 2.6);
}
void roundArrow(QPainter& p, bool right)
{
    badge(p, QPointF(12, 12), 9.5, kBlue);
    p.setPen(pen(Qt::white, 2.8));
    const double d = right ? 1 : -1;
    p.drawLine(QPointF(12 - 4.5 * d, 12), QPointF(12 + 4 * d, 12));
    p.drawLine(QPointF(12 + 4.5 * d, 12), QPointF(12 + 0.5 * d, 8));
    p.drawLine(QPointF(12 + 4.5 * d, 12), QPointF(12 + 0.5 * d, 16));
}
void toolPrevious(QPainter& p) { roundArrow(p, false); }
void toolNext(QPainter& p) { roundArrow(p, true); }
void toolEdit(QPainter& p)
{
    envelope(p, QRectF(2, 6, 17, 12.5), true);
    pencil(p, QPointF(9, 21), 15, -45);
}
void curvedArrow(QPainter& p, bool right, const QColor& c)
{
    p.save();
    if (!right) {
        p.translate(24, 0);
        p.scale(-1, 1);
    }
    QPainterPath path;
    path.moveTo(3, 19);
    path.cubicTo(3, 10, 8, 8, 15, 8);
    p.setPen(pen(c, 3.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    QPainterPath tip;
    tip.moveTo(22, 8);
    tip.lineTo(14, 2);
    tip.lineTo(14, 14);
    tip.closeSubpath();
    p.setPen(pen(c, 0.8));
    p.setBrush(c);
    p.drawPath(tip);
    p.restore();
}
void toolReply(QPainter& p)
{
    envelope(p, QRectF(7, 11, 15, 11), false, kYellow, kYellowEdge);
    curvedArrow(p, false, kBlue);
}
void toolReplyAll(QPainter& p)
{
    envelope(p, QRectF(10, 8, 12, 9), false, kYellow, kYellowEdge);
    envelope(p, QRectF(7, 12, 15, 10.5), false, kYellow, kYellowEdge);
    curvedArrow(p, false, kBlue);
}
void toolForward(QPainter& p)
{
    envelope(p, QRectF(2, 11, 15, 11), false);
    curvedArrow(p, true, kGreen);
}
void toolDelete(QPainter& p)
{
    envelope(p, QRectF(1.5, 5, 16, 12), false);
    cross(p, QPointF(17.5, 16.5), 5.5);
}
void toolMove(QPainter& p)
{
    folder(p, QRectF(1.5, 6, 17, 14.5), false);
    arrow(p, QPointF(11, 3), QPointF(22.5, 13), kGreen, 2.6);
}
void toolSave(QPainter& p)
{
    p.setPen(pen(kDarkBlue, 1));
    p.setBrush(vertical(kBlue.lighter(115), kBlue, 2, 22));
    QPainterPath disk;
    disk.moveTo(2.5, 2.5);
    disk.lineTo(18, 2.5);
    disk.lineTo(21.5, 6);
    disk.lineTo(21.5, 21.5);
    disk.lineTo(2.5, 21.5);
    disk.closeSubpath();
    p.drawPath(disk);
    p.setBrush(QColor(0xe9, 0xee, 0xf5));
    p.drawRect(QRectF(6, 2.5, 11, 6.5));
    p.setBrush(kDarkBlue);
    p.drawRect(QRectF(13.2, 3.5, 2.4, 4.3));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(5.5, 12.5, 13, 9), 0.8, 0.8);
    p.setPen(pen(kGrey, 0.8));
    for (double y : {15.5, 18.0})
        p.drawLine(QPointF(7.5, y), QPointF(16.5, y));
}
void toolPrint(QPainter& p)
{
    p.setPen(pen(kPaperEdge, 0.9));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6, 2, 12, 8));
    p.setPen(pen(QColor(0x3c, 0x44, 0x50), 1));
    p.setBrush(vertical(QColor(0xb5, 0xbf, 0xcc), QColor(0x76, 0x82, 0x94), 8, 18));
    p.drawRoundedRect(QRectF(1.5, 8, 21, 10.5), 2, 2);
    p.setBrush(Qt::white);
    p.setPen(pen(kPaperEdge, 0.9));
    p.drawRect(QRectF(6, 14.5, 12, 7.5));
    p.setPen(pen(kGrey, 0.8));
    for (double y : {17.0, 19.5})
        p.drawLine(QPointF(8, y), QPointF(16, y));
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QPointF(19, 11), 1.1, 1.1);
}
void toolAddressBook(QPainter& p)
{
    p.setPen(pen(QColor(0x6b, 0x2d, 0x12), 1));
    p.setBrush(vertical(QColor(0xc8, 0x6a, 0x3a), QColor(0x93, 0x42, 0x1c), 2, 22));
    p.drawRoundedRect(QRectF(4, 2, 16, 20), 1.5, 1.5);
    p.setBrush(QColor(0xfa, 0xf3, 0xe4));
    p.drawRect(QRectF(7, 4, 11, 16));
    person(p, QPointF(12.5, 8.8), 2.8, kBlue);
    p.setPen(pen(QColor(0x6b, 0x2d, 0x12), 1.4));
    for (double y : {6.0, 11.0, 16.0})
        p.drawLine(QPointF(3, y), QPointF(5.5, y));
}
void toolUsers(QPainter& p)
{
    person(p, QPointF(15.5, 7), 4.2, kGreen);
    person(p, QPointF(8.5, 9.5), 4.6, kBlue);
}
void toolOptions(QPainter& p)
{
    gear(p, QPointF(12, 12), 9.5, kGrey);
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(12, 12), 2.2, 2.2);
}
void toolNewGroup(QPainter& p)
{
    folder(p, QRectF(1.5, 4, 18, 15), false, QColor(0x7f, 0xa6, 0xdd), QColor(0x3b, 0x63, 0x9c));
    plus(p, QPointF(18, 17.5), 5);
}
void toolNewSubgroup(QPainter& p)
{
    folder(p, QRectF(1.5, 1.5, 13, 10.5), false, QColor(0x7f, 0xa6, 0xdd), QColor(0x3b, 0x63, 0x9c));
    p.setPen(pen(kGrey, 1.3));
    p.drawLine(QPointF(5, 12.5), QPointF(5, 18));
    p.drawLine(QPointF(5, 18), QPointF(9, 18));
    folder(p, QRectF(9.5, 12, 11, 9), false, QColor(0x7f, 0xa6, 0xdd), QColor(0x3b, 0x63, 0x9c));
    plus(p, QPointF(19.5, 9), 4.3);
}
void toolNewMailbox(QPainter& p)
{
    folder(p, QRectF(1.5, 4, 18, 15), false);
    envelope(p, QRectF(5, 10.5, 9.5, 6.5), false);
    plus(p, QPointF(18, 17.5), 5);
}
void toolDeleteItem(QPainter& p)
{
    folder(p, QRectF(1.5, 4, 18, 15), false);
    cross(p, QPointF(18, 17.5), 5);
}
void toolTreeLines(QPainter& p)
{
    QPen dotted = pen(QColor(0x55, 0x5f, 0x6e), 1.2);
    dotted.setStyle(Qt::DotLine);
    p.setPen(dotted);
    p.drawLine(QPointF(5, 6), QPointF(5, 19));
    p.drawLine(QPointF(5, 12), QPointF(10, 12));
    p.drawLine(QPointF(5, 19), QPointF(10, 19));
    p.setPen(pen(kDarkBlue, 0.8));
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(2, 2, 6, 4.5), 0.8, 0.8);
    p.setBrush(kFolder);
    p.drawRoundedRect(QRectF(10.5, 9.8, 11, 4.5), 0.8, 0.8);
    p.drawRoundedRect(QRectF(10.5, 16.8, 11, 4.5), 0.8, 0.8);
}
void toolTreeFont(QPainter& p)
{
    QFont f(QStringLiteral("DejaVu Serif"));
    f.setPixelSize(20);
    f.setBold(true);
    p.setFont(f);
    p.setPen(kDarkBlue);
    p.drawText(QRectF(0, 0, 17, 22), Qt::AlignCenter, QStringLiteral("A"));
    f.setPixelSize(12);
    p.setFont(f);
    p.setPen(kRed);
    p.drawText(QRectF(12, 8, 12, 15), Qt::AlignCenter, QStringLiteral("a"));
}

// The program icon: a blue rounded square with a white envelope and a swoosh, on an s-unit grid.
void programIcon(QPainter& p, double s)
{
    p.save();
    p.scale(s / 48.0, s / 48.0);
    QLinearGradient g(0, 0, 48, 48);
    g.setColorAt(0, QColor(0x4a, 0x90, 0xe8));
    g.setColorAt(1, QColor(0x1d, 0x3f, 0x78));
    p.setPen(pen(QColor(0x15, 0x2f, 0x5c), 1.2));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, 44, 44), 10, 10);
    // A light arc across the square.
    QPainterPath swoosh;
    swoosh.moveTo(4, 34);
    swoosh.cubicTo(16, 26, 32, 44, 44, 30);
    swoosh.lineTo(44, 36);
    swoosh.cubicTo(32, 48, 16, 32, 4, 40);
    swoosh.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 45));
    p.drawPath(swoosh);
    // The envelope.
    QRectF env(9, 14, 30, 21);
    p.setPen(pen(QColor(0x1a, 0x36, 0x66), 1.3));
    p.setBrush(vertical(Qt::white, QColor(0xdc, 0xe6, 0xf4), env.top(), env.bottom()));
    p.drawRoundedRect(env, 2.5, 2.5);
    QPainterPath flap;
    flap.moveTo(env.left() + 1, env.top() + 1);
    flap.lineTo(env.center().x(), env.top() + 12);
    flap.lineTo(env.right() - 1, env.top() + 1);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
    // A bright dot: mail has come.
    QRadialGradient dot(QPointF(37, 13), 6);
    dot.setColorAt(0, QColor(0xff, 0xe2, 0x7a));
    dot.setColorAt(1, QColor(0xf0, 0x9a, 0x1a));
    p.setPen(pen(QColor(0xa8, 0x5c, 0x05), 1));
    p.setBrush(dot);
    p.drawEllipse(QPointF(37.5, 13.5), 5.2, 5.2);
    p.restore();
}

bool save(const QString& dir, const QString& name, int size, double grid, const Drawing& draw)
{
    for (int scale : {1, 2}) {
        QImage image(size * scale, size * scale, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        p.scale(size * scale / grid, size * scale / grid);
        draw(p);
        p.end();
        const QString file = dir + QLatin1Char('/') + name + (scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png"));
        if (!image.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    struct Item {
        const char* name;
        void (*draw)(QPainter&);
    };
    const Item status[] = {
        {"MAIL_READ", mailRead},       {"MAIL_UNREAD", mailUnread},
        {"MAIL_SENT", mailSent},       {"MAIL_ATTACHMENT2", mailAttachment},
        {"MAIL_QUEUED", mailQueued},   {"MAIL_DRAFT", mailDraft},
        {"MIME_AUDIO", mimeAudio},     {"MIME_APPLICATION", mimeApplication},
        {"MIME_IMAGE", mimeImage},     {"MIME_MESSAGE", mimeMessage},
        {"MIME_TEXT", mimeText},       {"MIME_VIDEO", mimeVideo},
        {"MAIL_URGENT", mailUrgent},   {"TREE_MAILBOX", treeMailbox},
        {"TREE_MAILBOX_OPEN", treeMailboxOpen}, {"TREE_NEW_MAIL", treeNewMail},
        {"TREE_SENT", treeSent},       {"TREE_TO_SEND", treeToSend},
        {"TREE_DRAFTS", treeDrafts},   {"TREE_TRASH", treeTrash},
        {"TREE_ROOT", treeRoot},       {"TREE_GROUP", treeGroup},
    };
    const Item tools[] = {
        {"TOOL_COMPOSE", toolCompose},       {"TOOL_CHECK", toolCheck},
        {"TOOL_CHECK_SEND", toolCheckSend},  {"TOOL_SEND_QUEUED", toolSendQueued},
        {"TOOL_PREVIOUS", toolPrevious},     {"TOOL_NEXT", toolNext},
        {"TOOL_EDIT", toolEdit},             {"TOOL_REPLY", toolReply},
        {"TOOL_REPLY_ALL", toolReplyAll},
        {"TOOL_FORWARD", toolForward},       {"TOOL_DELETE", toolDelete},
        {"TOOL_MOVE", toolMove},             {"TOOL_SAVE", toolSave},
        {"TOOL_PRINT", toolPrint},           {"TOOL_ADDRESS_BOOK", toolAddressBook},
        {"TOOL_USERS", toolUsers},           {"TOOL_OPTIONS", toolOptions},
        {"TOOL_NEW_GROUP", toolNewGroup},    {"TOOL_NEW_SUBGROUP", toolNewSubgroup},
        {"TOOL_NEW_MAILBOX", toolNewMailbox}, {"TOOL_DELETE_ITEM", toolDeleteItem},
        {"TOOL_TREE_LINES", toolTreeLines},  {"TOOL_TREE_FONT", toolTreeFont},
    };
    bool ok = true;
    for (const Item& item : status)
        ok = save(dir, QString::fromLatin1(item.name), 16, 16, item.draw) && ok;
    for (const Item& item : tools)
        ok = save(dir, QString::fromLatin1(item.name), 24, 24, item.draw) && ok;
    ok = save(dir, QStringLiteral("tavik"), 48, 48, [](QPainter& p) { programIcon(p, 48); }) && ok;
    // The desktop's icon sizes, for installation.
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        programIcon(p, size);
        p.end();
        ok = image.save(dir + QStringLiteral("/tavik-%1.png").arg(size)) && ok;
    }
    return ok ? 0 : 1;
}
