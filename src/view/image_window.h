// The picture window: a picture attachment (JPEG, GIF with its animation, bitmap) shown from a
// copy of its own, which the window deletes when it closes.
#pragma once

#include <QByteArray>
#include <QBuffer>
#include <QImage>
#include <QWidget>
#include <string>

class QCheckBox;
class QMovie;
class QPushButton;
class QScrollArea;
class QSpinBox;

namespace tavik {

class PictureView;

// `TImageForm`. Life cycle: created on the path of a copy (the window owns that file from then
// on), checked with isValid(), shown; it frees itself when closed (WA_DeleteOnClose) and deletes
// the file at its path when closed or destroyed. "Save to disk" moves the file elsewhere, so
// nothing is left to delete. The picture's bytes are read once at creation: the animation does
// not depend on the file staying.
class TImageForm : public QWidget {
    Q_OBJECT
public:
    // The speed box's range and first value; QMovie plays at 10 times the value in percent, so
    // the first value is the picture's own pace.
    static constexpr int kMinSpeed = 1;
    static constexpr int kMaxSpeed = 1000;
    static constexpr int kInitialSpeed = 10;
    static constexpr int kMoviePercentPerStep = 10;

    // `path` is file-system bytes.
    explicit TImageForm(const std::string& path, QWidget* parent = nullptr);
    ~TImageForm() override;

    // False when the file could not be read or decoded; errorText() then says why.
    bool isValid() const { return valid_; }
    const std::string& errorText() const { return error_; }
    const std::string& picturePath() const { return path_; }

    // "Save to disk": asks for a path (preset to the picture's file name) and moves the file
    // there. File errors are shown; the picture stays where it was.
    void SaveBtnClick();

    // The first frame, and the animation (nullptr for a still picture).
    const QImage& firstFrame() const { return first_; }
    QMovie* movie() const { return movie_; }

    // Parts, for tests.
    QCheckBox* stretchBox() const { return stretch_; }
    QCheckBox* centerBox() const { return center_; }
    QCheckBox* animatedBox() const { return animated_; }
    QCheckBox* smoothingBox() const { return smoothing_; }
    QSpinBox* speedBox() const { return speed_; }
    QPushButton* saveButton() const { return save_; }
    PictureView* pictureView() const { return view_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void load();
    void deletePicture();
    void applyLayout();

    std::string path_;
    bool valid_ = false;
    bool deleted_ = false;
    std::string error_;
    QByteArray bytes_;
    QBuffer buffer_;
    QImage first_;
    QMovie* movie_ = nullptr;

    QScrollArea* scroll_;
    PictureView* view_;
    QCheckBox* stretch_;
    QCheckBox* center_;
    QCheckBox* animated_;
    QCheckBox* smoothing_;
    QSpinBox* speed_;
    QPushButton* save_;
};

// Paints the current frame: scaled to its whole area when stretching, else at its own size,
// in the middle or at the top left.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);
    void setFrame(const QImage& frame);
    const QImage& frame() const { return frame_; }
    void setStretch(bool on);
    void setCenter(bool on);
    void setSmoothing(bool on);
    // Shown in place of a picture that could not be decoded.
    void setMessage(const QString& message);
    // Where the frame is drawn in the view's coordinates.
    QRect frameRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage frame_;
    QString message_;
    bool stretch_ = false;
    bool center_ = false;
    bool smoothing_ = false;
};

} // namespace tavik
