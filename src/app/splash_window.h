// The splash window: shown during login and by "&About".
#pragma once

#include <QDialog>

namespace tavik {

// A frameless picture with the program's name and version; a click closes it. Start-up shows
// it without waiting and closes it after the login; "&About" runs it with exec() and waits for
// the click. Owned by whoever shows it.
class SplashWindow : public QDialog {
    Q_OBJECT
public:
    explicit SplashWindow(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace tavik
