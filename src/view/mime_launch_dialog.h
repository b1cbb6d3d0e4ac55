// The viewer-choice dialog ("MIME Viewer Apllication"): asks which outside program opens files of
// a MIME type that has none yet, with the desktop's suggestion filled in.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tavik {

class TMimeLaunchForm : public QDialog {
    Q_OBJECT
public:
    // `application` fills the read-only "Application:" field (the suggestion, may be empty);
    // `prompt` holds the caller's prompt lines, shown one under the other.
    TMimeLaunchForm(const std::string& application, const std::vector<std::string>& prompt,
                    QWidget* parent = nullptr);

    // The application as it stands (file-system bytes): read by the caller after OK.
    std::string application() const;

    // "Browse...": the program file dialog; the chosen path fills the field.
    void BrowseBtnClick();
    // OK: refused with "An invalid or no application was selected." unless the field names an
    // existing file or a program found on PATH (a command line is judged by its first word).
    void OKBtnClick();

    QLineEdit* applicationEdit() const { return application_; }
    QLabel* promptLabel() const { return prompt_; }
    QPushButton* browseButton() const { return browse_; }
    QPushButton* okButton() const { return ok_; }

private:
    QLineEdit* application_ = nullptr;
    QLabel* prompt_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// The program file dialog of the MIME dialogs ("Select a viewer application"): offers executable
// files and refuses a chosen file that is not one (the box says so). The path, or nullopt.
std::optional<std::string> askViewerApplication(const std::string& directory = {});

// Asks for a viewer for `type` as the MIME dialogs and message windows do: the dialog with
// `suggestion` and `prompt`; on OK the choice is stored with SetViewer. The chosen application,
// or nullopt on Cancel.
class TMimeManager;
std::optional<std::string> chooseViewer(QWidget* parent, TMimeManager& mime, const std::string& type,
                                        const std::string& suggestion, const std::vector<std::string>& prompt);

} // namespace tavik
