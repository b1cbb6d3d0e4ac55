#include "view/image_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>
#include <filesystem>

#include "profile/file_util.h"
#include "view/answer_rules.h"
#include "window_common/save_folder.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

constexpr const char* kTitle = "Tavik mail";
// A picture attachment larger than this is not read into memory.
constexpr std::uint64_t kMaxPictureBytes = 128ull * 1024 * 1024;

} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent) { setObjectName(QStringLiteral("Picture")); }

void PictureView::setFrame(const QImage& frame)
{
    frame_ = frame;
    if (!stretch_)
        setMinimumSize(frame_.size());
    update();
}

void PictureView::setStretch(bool on)
{
    stretch_ = on;
    setMinimumSize(on ? QSize(0, 0) : frame_.size());
    update();
}

void PictureView::setCenter(bool on)
{
    center_ = on;
    update();
}

void PictureView::setSmoothing(bool on)
{
    smoothing_ = on;
    update();
}

void PictureView::setMessage(const QString& message)
{
    message_ = message;
    update();
}

QRect PictureView::frameRect() const
{
    if (stretch_)
        return rect();
    QRect r(QPoint(0, 0), frame_.size());
    if (center_)
        r.moveCenter(rect().center());
    return r;
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (frame_.isNull()) {
        painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, message_);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smoothing_);
    painter.drawImage(frameRect(), frame_);
}

TImageForm::TImageForm(const std::string& path, QWidget* parent) : QWidget(parent), path_(path)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("ImageForm"));
    auto* escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    escape->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QAction::triggered, this, &QWidget::close);
    addAction(escape);

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    view_ = new PictureView;
    scroll_->setWidget(view_);

    stretch_ = new QCheckBox(QStringLiteral("Stretch"), this);
    center_ = new QCheckBox(QStringLiteral("Center"), this);
    animated_ = new QCheckBox(QStringLiteral("Animated"), this);
    smoothing_ = new QCheckBox(QStringLiteral("JPEG Smoothing"), this);
    center_->setChecked(true);
    animated_->setChecked(true);
    smoothing_->setChecked(true);
    speed_ = new QSpinBox(this);
    speed_->setRange(kMinSpeed, kMaxSpeed);
    speed_->setValue(kInitialSpeed);
    auto* speedLabel = new QLabel(QStringLiteral("Speed:"), this);
    speedLabel->setBuddy(speed_);
    save_ = new QPushButton(QStringLiteral("Save to disk"), this);

    auto* controls = new QHBoxLayout;
    controls->addWidget(stretch_);
    controls->addWidget(center_);
    controls->addWidget(animated_);
    controls->addWidget(smoothing_);
    controls->addWidget(speedLabel);
    controls->addWidget(speed_);
    controls->addStretch(1);
    controls->addWidget(save_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(scroll_, 1);
    layout->addLayout(controls);

    connect(stretch_, &QCheckBox::toggled, this, [this] { applyLayout(); });
    connect(center_, &QCheckBox::toggled, this, [this] { applyLayout(); });
    connect(smoothing_, &QCheckBox::toggled, this, [this] { applyLayout(); });
    connect(animated_, &QCheckBox::toggled, this, [this](bool on) {
        if (movie_)
            movie_->setPaused(!on);
    });
    connect(speed_, &QSpinBox::valueChanged, this, [this](int value) {
        if (movie_)
            movie_->setSpeed(value * kMoviePercentPerStep);
    });
    connect(save_, &QPushButton::clicked, this, &TImageForm::SaveBtnClick);

    load();
    if (!valid_) {
        view_->setMessage(fromStored(error_));
        save_->setEnabled(false);
    }
    applyLayout();
    if (valid_) {
        const QSize want = first_.size() + QSize(40, 80);
        resize(want.boundedTo(QSize(1000, 760)).expandedTo(QSize(420, 240)));
    }
}

TImageForm::~TImageForm() { deletePicture(); }

void TImageForm::load()
{
    try {
        const std::string bytes = readWholeFile(path_, kMaxPictureBytes);
        bytes_ = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const FileError& e) {
        error_ = e.what();
        return;
    }
    // The content decides, never the name: a message names its files as it likes.
    QBuffer probe(&bytes_);
    probe.open(QIODevice::ReadOnly);
    QImageReader reader(&probe);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    const bool animation = reader.supportsAnimation() && reader.imageCount() > 1;
    first_ = reader.read();
    if (first_.isNull()) {
        error_ = "The picture " + attachmentFileNamePart(path_) + " cannot be shown: " +
                 toStored(reader.errorString()) + ".";
        return;
    }
    valid_ = true;
    view_->setFrame(first_);
    const bool jpeg = format == "jpeg" || format == "jpg";
    smoothing_->setEnabled(jpeg);
    if (!animation) {
        animated_->setEnabled(false);
        speed_->setEnabled(false);
        return;
    }
    buffer_.setBuffer(&bytes_);
    buffer_.open(QIODevice::ReadOnly);
    movie_ = new QMovie(&buffer_, format, this);
    movie_->setCacheMode(QMovie::CacheAll);
    movie_->setSpeed(speed_->value() * kMoviePercentPerStep);
    connect(movie_, &QMovie::frameChanged, this, [this] { view_->setFrame(movie_->currentImage()); });
    movie_->start();
}

void TImageForm::applyLayout()
{
    view_->setStretch(stretch_->isChecked());
    view_->setCenter(center_->isChecked());
    view_->setSmoothing(smoothing_->isEnabled() && smoothing_->isChecked());
}

void TImageForm::SaveBtnClick()
{
    if (deleted_)
        return;
    std::optional<std::string> target =
        userInteraction().askSaveFile("Save to disk", saveDialogStart(attachmentFileNamePart(path_)), "All files|*");
    if (!target || target->empty() || *target == path_)
        return;
    rememberSaveFolder(*target);
    try {
        try {
            renameFile(path_, *target);
        } catch (const FileError&) {
            // Another file system: rename cannot move there.
            copyFileAtomically(path_, *target);
            std::error_code same;
            if (std::filesystem::equivalent(path_, *target, same) || same)
                return; // the copy was the picture itself, or cannot be told apart from it
            removeFileIfPresent(path_);
        }
    } catch (const FileError& e) {
        userInteraction().error(kTitle, e.what());
        return;
    }
    // Moved: the window no longer owns a file, and the picture now lives where the user put it.
    deleted_ = true;
    save_->setEnabled(false);
}

void TImageForm::closeEvent(QCloseEvent* event)
{
    if (movie_)
        movie_->stop();
    deletePicture();
    QWidget::closeEvent(event);
}

void TImageForm::deletePicture()
{
    if (deleted_)
        return;
    deleted_ = true;
    try {
        removeFileIfPresent(path_);
    } catch (const FileError&) {
        // A copy that cannot be removed stays behind in the profile's scratch directory.
    }
}

} // namespace tavik
