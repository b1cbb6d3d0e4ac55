// Every message box, question, password prompt, name prompt, font choice and file dialog of the
// program goes through UserInteraction. The program installs QtUserInteraction, which shows
// Qt's real dialogs; tests install a scripted implementation that answers from a list and records
// every text, so nothing ever waits on a modal box and every wording is checked exactly.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "profile/certificate_pins.h"

class QWidget;

namespace tavik {

struct PeerCertificateInfo;

// The program's dialogs with the user. Texts are the core's stored text (UTF-8), lines separated by
// CR LF, exactly as the rules word them; implementations convert them for display.
class UserInteraction {
public:
    virtual ~UserInteraction() = default;

    // An information box with an OK button.
    virtual void inform(const std::string& title, const std::string& text) = 0;
    // A warning box with an OK button.
    virtual void warn(const std::string& title, const std::string& text) = 0;
    // An error box with an OK button: file errors and refusals the user cannot fix here.
    virtual void error(const std::string& title, const std::string& text) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool askYesNo(const std::string& title, const std::string& question) = 0;
    // The password dialog ("User Password . . .") for `userName`: the text typed, nullopt when
    // it was closed without OK.
    virtual std::optional<std::string> askPassword(const std::string& userName) = 0;
    // A one-line text under `title` with `prompt`, starting as `initial`: the text on OK,
    // nullopt on Cancel.
    virtual std::optional<std::string> askText(const std::string& title, const std::string& prompt,
                                               const std::string& initial = {}) = 0;
    // A server's password, typed hidden, under `title` with `prompt`: nullopt on Cancel.
    virtual std::optional<std::string> askServerPassword(const std::string& title, const std::string& prompt) = 0;
    // A font chosen in the font dialog, nullopt on Cancel.
    virtual std::optional<QFont> askFont(const std::string& title, const QFont& current) = 0;
    // The decoder password of an enciphered message ("Decoder Password . . ."): the text typed,
    // nullopt when the dialog was closed without OK.
    virtual std::optional<std::string> askDecoderPassword() = 0;
    // The target of a move ("Move message(s) to . . . . ") among `mailboxNames` (display names
    // in mailbox-number order): the chosen mailbox's number (1-based), nullopt on Cancel.
    virtual std::optional<int> askMoveTarget(const std::vector<std::string>& mailboxNames) = 0;
    // A colour chosen in the colour dialog, nullopt on Cancel.
    virtual std::optional<QColor> askColor(const std::string& title, const QColor& current) = 0;
    // A file to open; a path (file-system bytes), nullopt on Cancel.
    virtual std::optional<std::string> askOpenFile(const std::string& title, const std::string& directory,
                                                   const std::string& filter) = 0;
    // Files to open, several at once, in the order chosen; nullopt on Cancel.
    virtual std::optional<std::vector<std::string>> askOpenFiles(const std::string& title, const std::string& directory,
                                                                 const std::string& filter) = 0;
    // A file to write; a path (file-system bytes), nullopt on Cancel.
    virtual std::optional<std::string> askSaveFile(const std::string& title, const std::string& directory,
                                                   const std::string& filter) = 0;
    // The certificate dialog ("Certificate") for a server whose certificate is not trusted or
    // changed since it was accepted: Cancel, AcceptOnce or AcceptPermanently, never NotAsked.
    virtual CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) = 0;
};

// The interaction in use, QtUserInteraction unless another was installed. Never null.
UserInteraction& userInteraction();
// Installs `interaction` (not owned; it must outlive its use); nullptr restores the Qt one.
void setUserInteraction(UserInteraction* interaction);

// The real dialogs. Boxes are parented to the active window so they stay in front of it.
class QtUserInteraction : public UserInteraction {
public:
    void inform(const std::string& title, const std::string& text) override;
    void warn(const std::string& title, const std::string& text) override;
    void error(const std::string& title, const std::string& text) override;
    bool askYesNo(const std::string& title, const std::string& question) override;
    std::optional<std::string> askPassword(const std::string& userName) override;
    std::optional<std::string> askText(const std::string& title, const std::string& prompt,
                                       const std::string& initial = {}) override;
    std::optional<std::string> askServerPassword(const std::string& title, const std::string& prompt) override;
    std::optional<QFont> askFont(const std::string& title, const QFont& current) override;
    std::optional<std::string> askDecoderPassword() override;
    std::optional<int> askMoveTarget(const std::vector<std::string>& mailboxNames) override;
    std::optional<QColor> askColor(const std::string& title, const QColor& current) override;
    std::optional<std::string> askOpenFile(const std::string& title, const std::string& directory,
                                           const std::string& filter) override;
    std::optional<std::vector<std::string>> askOpenFiles(const std::string& title, const std::string& directory,
                                                         const std::string& filter) override;
    std::optional<std::string> askSaveFile(const std::string& title, const std::string& directory,
                                           const std::string& filter) override;
    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override;

private:
    static QWidget* dialogParent();
};

} // namespace tavik
