#include "app/splash_window.h"

#include <QIcon>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "profile/settings.h"
#include "window_common/resources.h"

namespace tavik {

SplashWindow::SplashWindow(QWidget* parent) : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
{
    ensureResources();
    setObjectName(QStringLiteral("SplashWindow"));
    setWindowTitle(QString::fromLatin1(MailerName));
    setFixedSize(420, 240);
    setCursor(Qt::PointingHandCursor);
}

void SplashWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    QLinearGradient sky(r.topLeft(), r.bottomRight());
    sky.setColorAt(0.0, QColor(0x1f, 0x4e, 0x8c));
    sky.setColorAt(1.0, QColor(0x0f, 0x2a, 0x52));
    p.fillRect(r, sky);

    // A sweep of lighter bands behind the picture.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
        QPainterPath band;
        band.moveTo(0, r.height() * (0.55 + 0.1 * i));
        band.cubicTo(r.width() * 0.35, r.height() * (0.35 + 0.1 * i), r.width() * 0.65, r.height() * (0.95 + 0.05 * i),
                     r.width(), r.height() * (0.6 + 0.1 * i));
        band.lineTo(r.width(), r.height());
        band.lineTo(0, r.height());
        band.closeSubpath();
        p.setBrush(QColor(255, 255, 255, 14 + 6 * i));
        p.drawPath(band);
    }

    const QIcon icon(QStringLiteral(":/pictures/tavik.png"));
    icon.paint(&p, QRect(32, 48, 112, 112));

    p.setPen(Qt::white);
    QFont title = font();
    title.setPointSizeF(title.pointSizeF() * 2.2);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRectF(160, 60, r.width() - 176, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tavik mail"));
    QFont version = font();
    version.setPointSizeF(version.pointSizeF() * 1.1);
    p.setFont(version);
    p.setPen(QColor(0xcf, 0xdc, 0xee));
    p.drawText(QRectF(160, 110, r.width() - 176, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromLatin1(MailerName).mid(QStringLiteral("Tavik mail ").size()));
    p.drawText(QRectF(160, 134, r.width() - 176, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("POP3 and SMTP mail for every user"));

    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    p.setFont(small);
    p.setPen(QColor(0xa8, 0xbc, 0xd8));
    p.drawText(QRectF(16, r.height() - 30, r.width() - 32, 20), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("Click to close"));
    p.setPen(QColor(0x0a, 0x1c, 0x38));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r.adjusted(0, 0, -1, -1));
}

void SplashWindow::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    accept();
}

} // namespace tavik
