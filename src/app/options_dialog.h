// The options dialog: the current profile's settings, its signature, the web browser and the
// entry to the MIME types editor.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile/settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace tavik {

class PasswordKeeper;

// `TSetupForm`, caption "Options . . .": four pages (General, Signature, Advanced, Network),
// reached by the tabs and by the side bar. Opening copies the settings and the profile's
// "signatur.def" into the controls; nothing is applied while the dialog is open. OK checks
// every numeric and text field first (a bad one is named, gets the focus, and the dialog stays
// open with nothing changed), then writes "signatur.def" and the settings file and only then
// updates the settings record and closes; a file that cannot be written is shown and the
// dialog stays open, the record unchanged. Accepted certificates removed from the Network
// page's list are dropped from the profile's pins on OK too. Cancel changes nothing.
class TSetupForm : public QDialog {
    Q_OBJECT
public:
    enum Page { GeneralPage, SignaturePage, AdvancedPage, NetworkPage };

    // `settings` and `mailboxes` are the program's (the record is updated on acceptance, the
    // list is saved with it); `profileDirectory` ends in "/". Shows an error when an existing
    // "signatur.def" cannot be read; the signature is then left alone.
    TSetupForm(ProfileSettings& settings, const std::string& profileDirectory, const MailboxList& mailboxes,
               QWidget* parent = nullptr);

    // Opens the MIME types editor (modally); the Advanced page's button calls it when set.
    std::function<void()> OnMimeEditor;
    // Finds the desktop's web browser as a browser command; registeredWebBrowser unless replaced.
    std::function<std::optional<std::string>()> RegisteredBrowser;
    // Makes this program the desktop's handler of mailto: links; setDefaultMailProgram unless
    // replaced.
    std::function<bool()> SetDefaultMailProgram;
    // Where the passwords go on OK; nullptr keeps them in the settings file.
    PasswordKeeper* Keeper = nullptr;

    // Handlers of the buttons.
    void OKBtnClick();
    void BrowserBrowseClick();
    void RegisteredBrowserClick();
    void DefaultMailProgramClick();
    void SignatureBrowseClick();
    void MimeEditorClick();
    void CaFileBrowseClick();
    // Drops the selected accepted certificate from the list; the pin goes on OK.
    void RemovePinClick();

    // The page shown; the side bar and the tabs always agree.
    void showPage(Page page);
    Page currentPage() const;

    // Controls, for tests.
    QListWidget* sideBar() const { return sideBar_; }
    QTabWidget* pages() const { return tabs_; }
    QComboBox* draftsList() const { return drafts_; }
    QComboBox* readMailList() const { return readMail_; }
    QComboBox* quotedColorList() const { return quotedColor_; }
    QLabel* quotedSample() const { return sample_; }
    QLineEdit* minutesField() const { return minutes_; }
    QPlainTextEdit* signatureEditor() const { return signature_; }
    QLineEdit* randomTextFile() const { return randomFile_; }
    QLineEdit* browserField() const { return browser_; }
    QLineEdit* pop3PortField() const { return pop3Port_; }
    QLineEdit* smtpPortField() const { return smtpPort_; }
    QLineEdit* timeOutField() const { return timeOut_; }
    QComboBox* pop3SecurityList() const { return pop3Security_; }
    QComboBox* smtpSecurityList() const { return smtpSecurity_; }
    QLabel* pop3PlainWarning() const { return pop3Plain_; }
    QLabel* smtpPlainWarning() const { return smtpPlain_; }
    QLineEdit* caFileField() const { return caFile_; }
    QListWidget* pinnedList() const { return pins_; }
    QPushButton* removePinButton() const { return removePin_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    // A check that failed: the message and the control to focus.
    struct Refusal {
        std::string message;
        QWidget* control = nullptr;
    };
    QWidget* buildGeneralPage();
    QWidget* buildSignaturePage();
    QWidget* buildAdvancedPage();
    QWidget* buildNetworkPage();
    void loadControls();
    void recolorSample();
    // A server's "Security:" changed from `before`: its port follows when still at the usual one.
    void securityChosen(QComboBox* choice, QLineEdit* port, ConnectionSecurity& before,
                        int (*usualPort)(ConnectionSecurity));
    // Shows the warning beside each "None" whose server would get a password in plain text.
    void showPlainWarnings();
    std::optional<Refusal> check(ProfileSettings& result) const;
    std::vector<std::string> signatureLines() const;
    void refuse(const Refusal& refusal);

    ProfileSettings& settings_;
    std::string profileDirectory_;
    const MailboxList& mailboxes_;
    std::vector<std::string> signatureFileLines_;
    bool signatureUnreadable_ = false;

    QListWidget* sideBar_;
    QTabWidget* tabs_;
    // General
    QCheckBox* autoCheckStart_;
    QCheckBox* autoCheckMail_;
    QLineEdit* minutes_;
    QCheckBox* autoAddAddress_;
    QCheckBox* deleteOnRetrieving_;
    QCheckBox* saveSent_;
    QCheckBox* emptyTrash_;
    QCheckBox* fullHeaders_;
    QComboBox* drafts_;
    QComboBox* readMail_;
    QComboBox* quotedColor_;
    QLabel* sample_;
    QCheckBox* lastPriority_;
    QCheckBox* returnReceipt_;
    QCheckBox* markAsRead_;
    // Signature
    QCheckBox* useSignature_;
    QPlainTextEdit* signature_;
    QCheckBox* randomText_;
    QLineEdit* randomFile_;
    QPushButton* randomBrowse_;
    // Advanced
    QLineEdit* browser_;
    QPushButton* browserBrowse_;
    QPushButton* registeredBrowser_;
    QPushButton* defaultMailProgram_;
    QPushButton* mimeEditor_;
    QCheckBox* useKeyring_;
    // Network
    QLineEdit* name_;
    QLineEdit* userId_;
    QLineEdit* email_;
    QLineEdit* replyTo_;
    QLineEdit* pop3Host_;
    QLineEdit* pop3Port_;
    QLineEdit* password_;
    QLineEdit* smtpHost_;
    QLineEdit* smtpPort_;
    QLineEdit* timeOut_;
    QTabWidget* networkTabs_;
    QComboBox* pop3Security_;
    ConnectionSecurity pop3SecurityBefore_ = ConnectionSecurity::None;
    QLabel* pop3Plain_;
    QComboBox* smtpSecurity_;
    ConnectionSecurity smtpSecurityBefore_ = ConnectionSecurity::None;
    QLineEdit* smtpUser_;
    QLineEdit* smtpPassword_;
    QLabel* smtpPlain_;
    QLineEdit* caFile_;
    QPushButton* caBrowse_;
    QListWidget* pins_;
    QPushButton* removePin_;
    // Accepted certificates: the servers removed from the list, dropped from the pins on OK.
    std::vector<std::string> removedPins_;
    bool pinsUnreadable_ = false;

    QPushButton* ok_;
    QPushButton* cancel_;
};

// The sixteen colour names of the quoted-colour list, in QuotedColorTable's order.
const std::vector<std::string>& quotedColorNames();

// The setup command: shows TSetupForm modally over `parent` for the open profile and tears it
// down. `openMimeEditor` is the MIME setup command. True when the user accepted and the
// settings record, "signatur.def" and the settings file were updated.
bool runOptionsDialog(QWidget* parent, ProfileSettings& settings, const std::string& profileDirectory,
                      const MailboxList& mailboxes, std::function<void()> openMimeEditor = {},
                      PasswordKeeper* keeper = nullptr);

} // namespace tavik
