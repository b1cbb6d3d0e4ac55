#include "app/options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>

#include "app/registered_browser.h"
#include "net/password_keeping.h"
#include "profile/certificate_pins.h"
#include "profile/file_util.h"
#include "profile/user_registry.h"
#include "store/folder_tree.h"
#include "view/mime_manager.h"
#include "view/text_viewer_rules.h"
#include "window_common/text_conversion.h"
#include "window_common/user_interaction.h"

namespace tavik {

namespace {

const char* const kSignatureFile = "signatur.def";
// A password the keyring keeps but would not give: typing one replaces it.
const QString kUnreadablePassword = QStringLiteral("in the keyring, which cannot be read now");
const char* const kMinutesMessage = "You must specify the number of minutes.";
// Values the settings file reads back whole.
constexpr std::size_t kMaxSettingBytes = 1023;
// A signature is a few lines; a huge file is no signature and is not loaded into the editor.
constexpr std::uint64_t kMaxSignatureBytes = 1024 * 1024;

QString text(const char* latin1) { return QString::fromLatin1(latin1); }

// Decimal text as typed: blanks around it allowed, an optional sign, digits, within int.
bool parseDecimal(const QString& typed, int& value)
{
    const QString t = typed.trimmed();
    if (t.isEmpty())
        return false;
    qsizetype i = 0;
    bool negative = false;
    if (t[0] == QLatin1Char('+') || t[0] == QLatin1Char('-')) {
        negative = t[0] == QLatin1Char('-');
        i = 1;
    }
    if (i >= t.size())
        return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        v = v * 10 + (c.unicode() - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

// The lines of a text file: CR LF or LF ends, the last line without an end counts.
std::vector<std::string> splitFileLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t lf = bytes.find('\n', start);
        const std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        const std::size_t cut = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
        lines.emplace_back(bytes, start, cut - start);
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    return lines;
}

QIcon picture(const char* name)
{
    return QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(name) + QStringLiteral(".png"));
}

// A small swatch of a quoted colour for its list entry.
QIcon colorSwatch(std::uint32_t rgb)
{
    QPixmap pixmap(14, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QColor(0x70, 0x70, 0x70));
    painter.setBrush(QColor::fromRgb(rgb));
    painter.drawRect(0, 0, 13, 13);
    return QIcon(pixmap);
}

QCheckBox* checkBox(const char* caption, QWidget* parent) { return new QCheckBox(text(caption), parent); }

QLineEdit* numberField(QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setMaximumWidth(64);
    field->setAlignment(Qt::AlignRight);
    return field;
}

// The entries of a "Security:" list, in its order.
constexpr ConnectionSecurity kSecurityChoices[] = {ConnectionSecurity::None, ConnectionSecurity::StartTls,
                                                   ConnectionSecurity::Tls};

int securityIndex(ConnectionSecurity security)
{
    return static_cast<int>(std::find(std::begin(kSecurityChoices), std::end(kSecurityChoices), security) -
                            std::begin(kSecurityChoices));
}

ConnectionSecurity chosenSecurity(const QComboBox* list)
{
    const int index = list->currentIndex();
    return index >= 0 && index < static_cast<int>(std::size(kSecurityChoices)) ? kSecurityChoices[index]
                                                                                : ConnectionSecurity::None;
}

// The Security value to keep: the file's own spelling while the choice is what it meant.
std::string securityValue(const std::string& stored, ConnectionSecurity chosen)
{
    return connectionSecurity(stored) == chosen ? stored : connectionSecurityText(chosen);
}

} // namespace

const std::vector<std::string>& quotedColorNames()
{
    static const std::vector<std::string> names{
        "Black",      "Brown", "Green",       "Dark Cyan", "Dark Blue",  "Purple",  "Teal",       "Dark Gray",
        "Light Gray", "Red",   "Light Green", "Yellow",    "Light Blue", "Fuchsia", "Light Cyan", "White"};
    return names;
}

TSetupForm::TSetupForm(ProfileSettings& settings, const std::string& profileDirectory, const MailboxList& mailboxes,
                       QWidget* parent)
    : QDialog(parent), RegisteredBrowser(registeredWebBrowser), SetDefaultMailProgram(setDefaultMailProgram), settings_(settings),
      profileDirectory_(profileDirectory), mailboxes_(mailboxes)
{
    setObjectName(QStringLiteral("TSetupForm"));
    setWindowTitle(QStringLiteral("Options . . ."));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    // The signature is read before anything is shown; a file that exists but cannot be read is
    // not taken for an empty signature, which OK would then write over it.
    const std::string signaturePath = profileDirectory_ + kSignatureFile;
    if (fileExists(signaturePath)) {
        try {
            signatureFileLines_ = splitFileLines(readWholeFile(signaturePath, kMaxSignatureBytes));
        } catch (const FileError& e) {
            signatureUnreadable_ = true;
            userInteraction().error(kUserMessageTitle, e.what());
        }
    }

    sideBar_ = new QListWidget(this);
    sideBar_->setObjectName(QStringLiteral("OptionsSideBar"));
    sideBar_->setIconSize(QSize(32, 32));
    sideBar_->setViewMode(QListView::IconMode);
    sideBar_->setFlow(QListView::TopToBottom);
    sideBar_->setMovement(QListView::Static);
    sideBar_->setWrapping(false);
    sideBar_->setWordWrap(true);
    sideBar_->setSpacing(4);
    sideBar_->setFixedWidth(150);
    sideBar_->setFrameShape(QFrame::NoFrame);
    sideBar_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sideBar_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette barPalette = sideBar_->palette();
    barPalette.setColor(QPalette::Highlight, QColor(255, 233, 168, 60));
    barPalette.setColor(QPalette::HighlightedText, QColor(0xff, 0xe9, 0xa8));
    sideBar_->setPalette(barPalette);
    sideBar_->setStyleSheet(QStringLiteral(
        "#OptionsSideBar { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #24497d, stop:1 #1b3a66);"
        " color: #ffffff; padding-top: 10px; outline: none; show-decoration-selected: 1; }"
        "#OptionsSideBar::item { color: #ffffff; border-radius: 6px; padding: 6px 2px; margin: 2px 8px; }"
        "#OptionsSideBar::item:hover { background: rgba(255, 255, 255, 28); }"
        "#OptionsSideBar::item:selected { background: rgba(255, 233, 168, 60); color: #ffe9a8; }"));
    const std::pair<const char*, const char*> entries[] = {{"General options", "TOOL_OPTIONS"},
                                                           {"Signature", "TOOL_EDIT"},
                                                           {"Advanced setup", "TOOL_TREE_FONT"},
                                                           {"Networking options", "TOOL_CHECK_SEND"}};
    for (const auto& [caption, icon] : entries) {
        // The large drawing of each picture, for the side bar's 32-pixel icons.
        auto* item = new QListWidgetItem(QIcon(QStringLiteral(":/pictures/") + QString::fromLatin1(icon) +
                                               QStringLiteral("@2x.png")),
                                         text(caption), sideBar_);
        item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
        item->setSizeHint(QSize(130, 72));
    }

    tabs_ = new QTabWidget(this);
    tabs_->addTab(buildGeneralPage(), QStringLiteral("General"));
    tabs_->addTab(buildSignaturePage(), QStringLiteral("Signature"));
    tabs_->addTab(buildAdvancedPage(), QStringLiteral("Advanced"));
    tabs_->addTab(buildNetworkPage(), QStringLiteral("Network"));
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (sideBar_->currentRow() != index)
            sideBar_->setCurrentRow(index);
    });
    connect(sideBar_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && tabs_->currentIndex() != row)
            tabs_->setCurrentIndex(row);
    });
    sideBar_->setCurrentRow(0);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    ok_->setDefault(true);
    ok_->setMinimumWidth(88);
    cancel_->setMinimumWidth(88);
    connect(ok_, &QPushButton::clicked, this, &TSetupForm::OKBtnClick);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* right = new QVBoxLayout;
    right->setContentsMargins(10, 10, 10, 10);
    right->addWidget(tabs_, 1);
    right->addLayout(buttons);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(sideBar_);
    layout->addLayout(right, 1);

    loadControls();
    resize(790, 450);
}

QWidget* TSetupForm::buildGeneralPage()
{
    auto* page = new QWidget(this);

    auto* retrieval = new QGroupBox(QStringLiteral("Checking and keeping mail"), page);
    autoCheckStart_ = checkBox("Check for new mail on program startup", retrieval);
    autoCheckMail_ = checkBox("Check for new mail every", retrieval);
    minutes_ = numberField(retrieval);
    minutes_->setObjectName(QStringLiteral("MinutesField"));
    auto* minutesRow = new QHBoxLayout;
    minutesRow->addWidget(autoCheckMail_);
    minutesRow->addWidget(minutes_);
    minutesRow->addWidget(new QLabel(QStringLiteral("minutes."), retrieval));
    minutesRow->addStretch();
    autoAddAddress_ = checkBox("Add address from mail received to address book.", retrieval);
    deleteOnRetrieving_ = checkBox("Delete mail from server after retrieving", retrieval);
    saveSent_ = checkBox("Save sent messages in Sent folder", retrieval);
    emptyTrash_ = checkBox("Empty Trash folder on Exit", retrieval);
    auto* retrievalLayout = new QVBoxLayout(retrieval);
    retrievalLayout->addWidget(autoCheckStart_);
    retrievalLayout->addLayout(minutesRow);
    retrievalLayout->addWidget(autoAddAddress_);
    retrievalLayout->addWidget(deleteOnRetrieving_);
    retrievalLayout->addWidget(saveSent_);
    retrievalLayout->addWidget(emptyTrash_);

    auto* messages = new QGroupBox(QStringLiteral("Messages"), page);
    fullHeaders_ = checkBox("Show full headers in messages.", messages);
    lastPriority_ = checkBox("Use the last sent message's priority", messages);
    returnReceipt_ = checkBox("Send acknowledgement of receipt", messages);
    markAsRead_ = checkBox("Mark as read the messages viewed", messages);
    auto* messagesLayout = new QVBoxLayout(messages);
    messagesLayout->addWidget(fullHeaders_);
    messagesLayout->addWidget(lastPriority_);
    messagesLayout->addWidget(returnReceipt_);
    messagesLayout->addWidget(markAsRead_);
    messagesLayout->addStretch();

    auto* folders = new QGroupBox(QStringLiteral("Folders and colours"), page);
    drafts_ = new QComboBox(folders);
    drafts_->setMinimumWidth(170);
    readMail_ = new QComboBox(folders);
    for (const std::string& entry : standardMailboxEntries())
        readMail_->addItem(fromStored(mailboxDisplayName(entry)));
    // Nothing keeps this choice: it is shown as it always was, and cannot mislead by changing.
    readMail_->setEnabled(false);
    quotedColor_ = new QComboBox(folders);
    for (int i = 0; i < kQuotedColorCount; ++i)
        quotedColor_->addItem(colorSwatch(QuotedColorTable[i]), fromStored(quotedColorNames()[i]));
    sample_ = new QLabel(QStringLiteral("> Quoted Text"), folders);
    sample_->setObjectName(QStringLiteral("QuotedSample"));
    sample_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    sample_->setFrameShape(QFrame::StyledPanel);
    sample_->setAutoFillBackground(true);
    sample_->setMargin(4);
    sample_->setMinimumWidth(130);
    connect(quotedColor_, &QComboBox::currentIndexChanged, this, [this] { recolorSample(); });

    auto* grid = new QGridLayout(folders);
    grid->addWidget(new QLabel(QStringLiteral("Save Drafts in this folder:"), folders), 0, 0);
    grid->addWidget(drafts_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Save read mail in this folder:"), folders), 1, 0);
    grid->addWidget(readMail_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Show quoted text in this color:"), folders), 2, 0);
    grid->addWidget(quotedColor_, 2, 1);
    grid->addWidget(sample_, 2, 2);
    grid->setColumnStretch(3, 1);

    auto* top = new QHBoxLayout;
    top->addWidget(retrieval, 3);
    top->addWidget(messages, 2);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(top);
    layout->addWidget(folders);
    layout->addStretch();
    return page;
}

QWidget* TSetupForm::buildSignaturePage()
{
    auto* page = new QWidget(this);
    useSignature_ = checkBox("Use signature", page);
    signature_ = new QPlainTextEdit(page);
    signature_->setObjectName(QStringLiteral("SignatureEditor"));
    signature_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    signature_->setLineWrapMode(QPlainTextEdit::NoWrap);
    signature_->setTabChangesFocus(true);

    auto* random = new QGroupBox(page);
    randomText_ = checkBox("Add random text on signature from:", random);
    randomFile_ = new QLineEdit(random);
    randomBrowse_ = new QPushButton(QStringLiteral("Browse"), random);
    connect(randomBrowse_, &QPushButton::clicked, this, &TSetupForm::SignatureBrowseClick);
    connect(randomText_, &QCheckBox::toggled, randomBrowse_, &QWidget::setEnabled);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(randomFile_, 1);
    fileRow->addWidget(randomBrowse_);
    auto* randomLayout = new QVBoxLayout(random);
    randomLayout->addWidget(randomText_);
    randomLayout->addLayout(fileRow);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(useSignature_);
    layout->addWidget(signature_, 1);
    layout->addWidget(random);
    return page;
}

QWidget* TSetupForm::buildAdvancedPage()
{
    auto* page = new QWidget(this);

    auto* web = new QGroupBox(QStringLiteral("Links in messages"), page);
    browser_ = new QLineEdit(web);
    browser_->setObjectName(QStringLiteral("BrowserField"));
    browserBrowse_ = new QPushButton(QStringLiteral("Browse"), web);
    registeredBrowser_ = new QPushButton(QStringLiteral("Registered Web Browser"), web);
    connect(browserBrowse_, &QPushButton::clicked, this, &TSetupForm::BrowserBrowseClick);
    connect(registeredBrowser_, &QPushButton::clicked, this, &TSetupForm::RegisteredBrowserClick);
    auto* browserButtons = new QHBoxLayout;
    browserButtons->addWidget(browserBrowse_);
    browserButtons->addWidget(registeredBrowser_);
    browserButtons->addStretch();
    auto* webLayout = new QGridLayout(web);
    webLayout->addWidget(new QLabel(QStringLiteral("Web browser:"), web), 0, 0);
    webLayout->addWidget(browser_, 0, 1);
    webLayout->addLayout(browserButtons, 1, 1);
    // The other way round: mail links clicked in a browser or elsewhere on the desktop.
    defaultMailProgram_ = new QPushButton(QStringLiteral("Set as default mail program"), web);
    defaultMailProgram_->setToolTip(QStringLiteral("Open mailto: links clicked elsewhere on the desktop in Tavik mail"));
    connect(defaultMailProgram_, &QPushButton::clicked, this, &TSetupForm::DefaultMailProgramClick);
    auto* mailButtons = new QHBoxLayout;
    mailButtons->addWidget(defaultMailProgram_);
    mailButtons->addStretch();
    webLayout->addLayout(mailButtons, 2, 1);

    auto* mime = new QGroupBox(QStringLiteral("Attachments"), page);
    mimeEditor_ = new QPushButton(picture("MIME_APPLICATION"), QStringLiteral("MIME Types"), mime);
    connect(mimeEditor_, &QPushButton::clicked, this, &TSetupForm::MimeEditorClick);
    auto* mimeLayout = new QHBoxLayout(mime);
    mimeLayout->addWidget(new QLabel(QStringLiteral("Press button for MIME types editor"), mime));
    mimeLayout->addStretch();
    mimeLayout->addWidget(mimeEditor_);

    auto* secrets = new QGroupBox(QStringLiteral("Passwords"), page);
    useKeyring_ = new QCheckBox(QStringLiteral("Keep the server passwords in the desktop's keyring"), secrets);
    useKeyring_->setObjectName(QStringLiteral("UseKeyringBox"));
    useKeyring_->setToolTip(QStringLiteral("Unticked, or without a keyring, they are kept scrambled in the profile"));
    auto* secretsLayout = new QVBoxLayout(secrets);
    secretsLayout->addWidget(useKeyring_);

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(web);
    layout->addWidget(mime);
    layout->addWidget(secrets);
    layout->addStretch();
    return page;
}

QWidget* TSetupForm::buildNetworkPage()
{
    // Three tabs of its own, so the page keeps the dialog's height.
    networkTabs_ = new QTabWidget(this);
    networkTabs_->setObjectName(QStringLiteral("NetworkTabs"));

    auto* account = new QWidget(networkTabs_);
    auto* user = new QGroupBox(QStringLiteral("Personal information"), account);
    name_ = new QLineEdit(user);
    userId_ = new QLineEdit(user);
    userId_->setToolTip(QStringLiteral("Your LOGIN"));
    email_ = new QLineEdit(user);
    replyTo_ = new QLineEdit(user);
    auto* userForm = new QFormLayout(user);
    userForm->addRow(QStringLiteral("Name:"), name_);
    userForm->addRow(QStringLiteral("User ID:"), userId_);
    userForm->addRow(QStringLiteral("e-mail:"), email_);
    userForm->addRow(QStringLiteral("Reply to:"), replyTo_);
    auto* accountLayout = new QVBoxLayout(account);
    accountLayout->addWidget(user);
    accountLayout->addStretch();

    auto* servers = new QWidget(networkTabs_);
    auto securityList = [](QWidget* parent) {
        auto* list = new QComboBox(parent);
        list->addItems({QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
        return list;
    };
    auto plainWarning = [](QWidget* parent) {
        auto* warning = new QLabel(QStringLiteral("Without security the password crosses the network unencrypted."),
                                   parent);
        warning->setWordWrap(true);
        warning->setStyleSheet(QStringLiteral("QLabel { color: #a03000; }"));
        warning->hide();
        return warning;
    };
    auto* pop3 = new QGroupBox(QStringLiteral("POP3 (incoming mail)"), servers);
    pop3Host_ = new QLineEdit(pop3);
    pop3Port_ = numberField(pop3);
    pop3Security_ = securityList(pop3);
    pop3Plain_ = plainWarning(pop3);
    password_ = new QLineEdit(pop3);
    password_->setEchoMode(QLineEdit::Password);
    password_->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    auto* pop3Form = new QFormLayout(pop3);
    pop3Form->addRow(QStringLiteral("Host:"), pop3Host_);
    pop3Form->addRow(QStringLiteral("Port:"), pop3Port_);
    pop3Form->addRow(QStringLiteral("Security:"), pop3Security_);
    pop3Form->addRow(pop3Plain_);
    pop3Form->addRow(QStringLiteral("Password:"), password_);

    auto* smtp = new QGroupBox(QStringLiteral("SMTP (outgoing mail)"), servers);
    smtpHost_ = new QLineEdit(smtp);
    smtpPort_ = numberField(smtp);
    smtpSecurity_ = securityList(smtp);
    smtpPlain_ = plainWarning(smtp);
    smtpUser_ = new QLineEdit(smtp);
    smtpPassword_ = new QLineEdit(smtp);
    smtpPassword_->setEchoMode(QLineEdit::Password);
    smtpPassword_->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    auto* signInNote = new QLabel(QStringLiteral("With no user, mail is sent without signing in."), smtp);
    signInNote->setWordWrap(true);
    auto* smtpForm = new QFormLayout(smtp);
    smtpForm->addRow(QStringLiteral("Host:"), smtpHost_);
    smtpForm->addRow(QStringLiteral("Port:"), smtpPort_);
    smtpForm->addRow(QStringLiteral("Security:"), smtpSecurity_);
    smtpForm->addRow(smtpPlain_);
    smtpForm->addRow(QStringLiteral("User:"), smtpUser_);
    smtpForm->addRow(QStringLiteral("Password:"), smtpPassword_);
    smtpForm->addRow(signInNote);

    connect(pop3Security_, &QComboBox::currentIndexChanged, this,
            [this] { securityChosen(pop3Security_, pop3Port_, pop3SecurityBefore_, usualPop3Port); });
    connect(smtpSecurity_, &QComboBox::currentIndexChanged, this,
            [this] { securityChosen(smtpSecurity_, smtpPort_, smtpSecurityBefore_, usualSmtpPort); });
    for (QLineEdit* edit : {password_, smtpUser_, smtpPassword_})
        connect(edit, &QLineEdit::textChanged, this, [this] { showPlainWarnings(); });

    timeOut_ = numberField(servers);
    auto* timeOutRow = new QHBoxLayout;
    timeOutRow->addWidget(new QLabel(QStringLiteral("TCP/IP timeout value (maximun wait time in seconds)"), servers));
    timeOutRow->addWidget(timeOut_);
    timeOutRow->addStretch();

    auto* serverGroups = new QHBoxLayout;
    serverGroups->addWidget(pop3, 1, Qt::AlignTop);
    serverGroups->addWidget(smtp, 1, Qt::AlignTop);
    auto* serversLayout = new QVBoxLayout(servers);
    serversLayout->addLayout(serverGroups);
    serversLayout->addLayout(timeOutRow);
    serversLayout->addStretch();

    auto* certificates = new QWidget(networkTabs_);
    auto* authorities = new QGroupBox(QStringLiteral("Certificate authorities"), certificates);
    caFile_ = new QLineEdit(authorities);
    caFile_->setPlaceholderText(QStringLiteral("none: the system's authorities only"));
    caBrowse_ = new QPushButton(QStringLiteral("Browse..."), authorities);
    connect(caBrowse_, &QPushButton::clicked, this, &TSetupForm::CaFileBrowseClick);
    auto* caRow = new QHBoxLayout;
    caRow->addWidget(caFile_, 1);
    caRow->addWidget(caBrowse_);
    auto* caNote = new QLabel(QStringLiteral("A PEM file of authorities trusted besides the system's, for servers "
                                             "whose certificates a private authority signs."),
                              authorities);
    caNote->setWordWrap(true);
    auto* caForm = new QFormLayout(authorities);
    caForm->addRow(QStringLiteral("CA file:"), caRow);
    caForm->addRow(caNote);

    auto* accepted = new QGroupBox(QStringLiteral("Certificates accepted permanently"), certificates);
    pins_ = new QListWidget(accepted);
    pins_->setObjectName(QStringLiteral("PinnedCertificates"));
    pins_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    removePin_ = new QPushButton(QStringLiteral("Remove"), accepted);
    removePin_->setEnabled(false);
    connect(removePin_, &QPushButton::clicked, this, &TSetupForm::RemovePinClick);
    connect(pins_, &QListWidget::currentRowChanged, this,
            [this](int row) { removePin_->setEnabled(row >= 0 && !pinsUnreadable_); });
    auto* pinButtons = new QHBoxLayout;
    pinButtons->addWidget(new QLabel(QStringLiteral("A removed server's certificate is asked about again."), accepted),
                          1);
    pinButtons->addWidget(removePin_);
    auto* acceptedLayout = new QVBoxLayout(accepted);
    acceptedLayout->addWidget(pins_, 1);
    acceptedLayout->addLayout(pinButtons);

    auto* certificatesLayout = new QVBoxLayout(certificates);
    certificatesLayout->addWidget(authorities);
    certificatesLayout->addWidget(accepted, 1);

    networkTabs_->addTab(account, QStringLiteral("Account"));
    networkTabs_->addTab(servers, QStringLiteral("Servers"));
    networkTabs_->addTab(certificates, QStringLiteral("Certificates"));
    return networkTabs_;
}

void TSetupForm::loadControls()
{
    const ProfileSettings& s = settings_;
    autoCheckStart_->setChecked(s.AutoCheckStart);
    autoCheckMail_->setChecked(s.AutoCheckMail);
    minutes_->setText(QString::number(s.AutoCheckMinutes));
    autoAddAddress_->setChecked(s.AutoAddAddress);
    deleteOnRetrieving_->setChecked(s.DeleteMailOnRetrieving);
    saveSent_->setChecked(s.SaveSent);
    emptyTrash_->setChecked(s.EmptyTrashOnExit);
    fullHeaders_->setChecked(s.FullHeaders);
    lastPriority_->setChecked(s.LastMailPriority);
    returnReceipt_->setChecked(s.ReturnReceipt);
    markAsRead_->setChecked(s.MarkAsRead);
    quotedColor_->setCurrentIndex(s.QuotedColor >= 0 && s.QuotedColor < kQuotedColorCount ? s.QuotedColor : 0);
    readMail_->setCurrentIndex(0);

    drafts_->clear();
    int chosen = -1;
    for (std::size_t n = 0; n < mailboxes_.size(); ++n) {
        const std::string name = mailboxDisplayName(mailboxes_[n]);
        drafts_->addItem(fromStored(name));
        if (chosen < 0 && name == s.DraftsMailBox)
            chosen = static_cast<int>(n);
    }
    drafts_->setCurrentIndex(chosen);

    useSignature_->setChecked(s.UseSignature);
    if (!signatureFileLines_.empty()) {
        QString shown;
        for (const std::string& line : signatureFileLines_)
            shown += fromStored(line) + QLatin1Char('\n');
        signature_->setPlainText(shown);
    } else if (!signatureUnreadable_) {
        useSignature_->setChecked(false);
    }
    if (signatureUnreadable_) {
        signature_->setReadOnly(true);
        signature_->setPlaceholderText(QStringLiteral("The signature file could not be read."));
    }
    randomText_->setChecked(s.PluggInSig);
    randomFile_->setText(pathFromBytes(s.PluggInSigFile));
    randomBrowse_->setEnabled(s.PluggInSig);

    browser_->setText(pathFromBytes(s.Browser));

    name_->setText(fromStored(s.Name));
    userId_->setText(fromStored(s.ID));
    email_->setText(fromStored(s.RetAddr));
    replyTo_->setText(fromStored(s.ReplyTo));
    pop3Host_->setText(fromStored(s.Pop3Server));
    pop3Port_->setText(QString::number(s.Pop3Port));
    password_->setText(fromStored(s.Password));
    if (passwordUnknown(s.Password, s.Pop3Keyring))
        password_->setPlaceholderText(kUnreadablePassword);
    smtpHost_->setText(fromStored(s.SmtpServer));
    smtpPort_->setText(QString::number(s.SmtpPort));
    timeOut_->setText(QString::number(s.TimeOut));
    // The ports are set first: loading the choices must not move them.
    pop3SecurityBefore_ = connectionSecurity(s.Pop3Security);
    pop3Security_->setCurrentIndex(securityIndex(pop3SecurityBefore_));
    smtpSecurityBefore_ = connectionSecurity(s.SmtpSecurity);
    smtpSecurity_->setCurrentIndex(securityIndex(smtpSecurityBefore_));
    smtpUser_->setText(fromStored(s.SmtpUser));
    smtpPassword_->setText(fromStored(s.SmtpPassword));
    if (passwordUnknown(s.SmtpPassword, s.SmtpKeyring))
        smtpPassword_->setPlaceholderText(kUnreadablePassword);
    useKeyring_->setChecked(s.UseKeyring);
    caFile_->setText(pathFromBytes(s.CaFile));
    showPlainWarnings();

    try {
        for (const CertificatePin& pin : CertificatePins(profileDirectory_).list()) {
            auto* item = new QListWidgetItem(fromStored(pin.server + "  " + pin.fingerprint), pins_);
            item->setData(Qt::UserRole, fromStored(pin.server));
            // A fingerprint is wider than the list.
            item->setToolTip(item->text());
        }
    } catch (const FileError& e) {
        // Nothing can be removed from a list that could not be read.
        pinsUnreadable_ = true;
        userInteraction().error(kUserMessageTitle, e.what());
    }

    recolorSample();
}

void TSetupForm::securityChosen(QComboBox* choice, QLineEdit* port, ConnectionSecurity& before,
                                int (*usualPort)(ConnectionSecurity))
{
    // A port still at the old choice's usual number follows the choice; one the user set stays.
    const ConnectionSecurity now = chosenSecurity(choice);
    int typed = 0;
    if (parseDecimal(port->text(), typed) && typed == usualPort(before))
        port->setText(QString::number(usualPort(now)));
    before = now;
    showPlainWarnings();
}

void TSetupForm::showPlainWarnings()
{
    // POP3 always signs in; SMTP only with a user.
    pop3Plain_->setVisible(chosenSecurity(pop3Security_) == ConnectionSecurity::None && !password_->text().isEmpty());
    smtpPlain_->setVisible(chosenSecurity(smtpSecurity_) == ConnectionSecurity::None &&
                           !smtpUser_->text().isEmpty() && !smtpPassword_->text().isEmpty());
}

void TSetupForm::recolorSample()
{
    QPalette palette = sample_->palette();
    palette.setColor(QPalette::WindowText, QColor::fromRgb(quotedColorRgb(quotedColor_->currentIndex())));
    palette.setColor(QPalette::Window, palette.color(QPalette::Base));
    sample_->setPalette(palette);
}

void TSetupForm::showPage(Page page) { tabs_->setCurrentIndex(page); }

TSetupForm::Page TSetupForm::currentPage() const { return static_cast<Page>(tabs_->currentIndex()); }

std::vector<std::string> TSetupForm::signatureLines() const
{
    // As a memo counts them: no text is no line, a final line end opens no further line.
    const QString all = signature_->toPlainText();
    std::vector<std::string> lines;
    if (all.isEmpty())
        return lines;
    QStringList parts = all.split(QLatin1Char('\n'));
    if (all.endsWith(QLatin1Char('\n')))
        parts.removeLast();
    for (const QString& part : parts)
        lines.push_back(toStored(part));
    return lines;
}

std::optional<TSetupForm::Refusal> TSetupForm::check(ProfileSettings& r) const
{
    const std::string tooLong = " is longer than the settings file can keep (1023 characters).";
    // One line of text kept in the settings file, short enough to be read back whole.
    auto text = [&](QLineEdit* edit, const std::string& name, std::string& out) -> std::optional<Refusal> {
        // An old 8-bit value left as it was keeps its bytes: nothing is rewritten just to convert it.
        if (fromStored(out) == edit->text())
            return std::nullopt;
        const std::string value = toStored(edit->text());
        const bool password = &out == &r.Password || &out == &r.SmtpPassword;
        if ((password ? passwordToIniValue(value).size() : value.size()) > kMaxSettingBytes)
            return Refusal{name + tooLong, edit};
        out = value;
        return std::nullopt;
    };
    auto path = [&](QLineEdit* edit, const std::string& name, std::string& out) -> std::optional<Refusal> {
        const std::string value = pathToBytes(edit->text());
        if (value.size() > kMaxSettingBytes)
            return Refusal{name + tooLong, edit};
        out = value;
        return std::nullopt;
    };
    auto port = [&](QLineEdit* edit, const std::string& name, int& out) -> std::optional<Refusal> {
        int value = 0;
        if (!parseDecimal(edit->text(), value) || value < 1 || value > 65535)
            return Refusal{name + " must be a number from 1 to 65535.", edit};
        out = value;
        return std::nullopt;
    };

    // Page by page, top to bottom, so the first bad field is the first the user meets.
    int minutes = 0;
    if (!parseDecimal(minutes_->text(), minutes) || minutes < 1)
        return Refusal{kMinutesMessage, minutes_};
    r.AutoCheckMinutes = minutes;

    std::optional<Refusal> refusal;
    if ((refusal = path(randomFile_, "The file of \"Add random text on signature from:\"", r.PluggInSigFile)) ||
        (refusal = path(browser_, "\"Web browser:\"", r.Browser)) ||
        (refusal = text(name_, "\"Name:\"", r.Name)) || (refusal = text(userId_, "\"User ID:\"", r.ID)) ||
        (refusal = text(email_, "\"e-mail:\"", r.RetAddr)) || (refusal = text(replyTo_, "\"Reply to:\"", r.ReplyTo)) ||
        (refusal = text(pop3Host_, "The POP3 \"Host:\"", r.Pop3Server)) ||
        (refusal = port(pop3Port_, "The POP3 \"Port:\"", r.Pop3Port)) ||
        (refusal = text(password_, "The POP3 \"Password:\"", r.Password)) ||
        (refusal = text(smtpHost_, "The SMTP \"Host:\"", r.SmtpServer)) ||
        (refusal = port(smtpPort_, "The SMTP \"Port:\"", r.SmtpPort)) ||
        (refusal = text(smtpUser_, "The SMTP \"User:\"", r.SmtpUser)) ||
        (refusal = text(smtpPassword_, "The SMTP \"Password:\"", r.SmtpPassword)))
        return refusal;
    r.Pop3Security = securityValue(r.Pop3Security, chosenSecurity(pop3Security_));
    r.SmtpSecurity = securityValue(r.SmtpSecurity, chosenSecurity(smtpSecurity_));

    int timeOut = 0;
    if (!parseDecimal(timeOut_->text(), timeOut) || timeOut < 1)
        return Refusal{"The TCP/IP timeout value must be a number of seconds, 1 or more.", timeOut_};
    r.TimeOut = timeOut;

    if ((refusal = path(caFile_, "The \"CA file:\"", r.CaFile)))
        return refusal;
    // Named but missing, every secure connection would fail later with a less helpful error.
    if (!r.CaFile.empty() && !QFileInfo(caFile_->text()).isFile())
        return Refusal{"The \"CA file:\" " + r.CaFile + " does not exist or is not a file.", caFile_};
    return std::nullopt;
}

void TSetupForm::refuse(const Refusal& refusal)
{
    userInteraction().inform(kUserMessageTitle, refusal.message);
    // The Network page has tabs of its own: each tab on the way to the control is opened.
    for (QWidget* w = refusal.control; w; w = w->parentWidget()) {
        for (QTabWidget* tabs : {tabs_, networkTabs_}) {
            const int index = tabs->indexOf(w);
            if (index >= 0)
                tabs->setCurrentIndex(index);
        }
    }
    refusal.control->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(refusal.control))
        edit->selectAll();
}

void TSetupForm::OKBtnClick()
{
    // Everything is checked and written before the program's record changes, so a refusal or
    // a failed write leaves the profile as it was.
    ProfileSettings r = settings_;
    if (std::optional<Refusal> refusal = check(r)) {
        refuse(*refusal);
        return;
    }
    r.AutoCheckStart = autoCheckStart_->isChecked();
    r.AutoCheckMail = autoCheckMail_->isChecked();
    r.AutoAddAddress = autoAddAddress_->isChecked();
    r.DeleteMailOnRetrieving = deleteOnRetrieving_->isChecked();
    r.SaveSent = saveSent_->isChecked();
    r.EmptyTrashOnExit = emptyTrash_->isChecked();
    r.UseKeyring = useKeyring_->isChecked();
    r.FullHeaders = fullHeaders_->isChecked();
    r.LastMailPriority = lastPriority_->isChecked();
    r.ReturnReceipt = returnReceipt_->isChecked();
    r.MarkAsRead = markAsRead_->isChecked();
    r.PluggInSig = randomText_->isChecked();
    r.QuotedColor = quotedColor_->currentIndex();
    // No entry chosen (the drafts mailbox has gone): the name stays, rather than an empty name
    // sending drafts to whatever mailbox happens to be selected.
    if (drafts_->currentIndex() >= 0)
        r.DraftsMailBox = toStored(drafts_->currentText());

    std::vector<PasswordTrouble> troubles;
    try {
        // A pin dropped too early only means the server's certificate is asked about again.
        if (!removedPins_.empty()) {
            CertificatePins pins(profileDirectory_);
            for (const std::string& server : removedPins_)
                pins.remove(server);
        }
        if (signatureUnreadable_) {
            r.UseSignature = useSignature_->isChecked();
        } else {
            const std::vector<std::string> lines = signatureLines();
            r.UseSignature = useSignature_->isChecked() && !lines.empty();
            // A line left as it was keeps its bytes, old 8-bit ones too: nothing is converted
            // just because the options were confirmed.
            std::string bytes;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const bool kept = i < signatureFileLines_.size() && storedText(signatureFileLines_[i]) == lines[i];
                bytes += (kept ? signatureFileLines_[i] : lines[i]) + "\r\n";
            }
            writeFileAtomically(profileDirectory_ + kSignatureFile, bytes);
        }
        troubles = saveSettingsKeepingPasswords(Keeper, profileDirectory_, settings_, r, mailboxes_);
    } catch (const FileError& e) {
        userInteraction().error(kUserMessageTitle, e.what());
        return;
    }
    settings_ = r;
    for (const PasswordTrouble& trouble : troubles) {
        const std::string where = trouble.server.empty() ? std::string("An old password stays in the keyring: ")
                                                         : std::string("The ") + passwordServiceName(trouble.service) +
                                                               " password stays in the profile's settings: ";
        userInteraction().warn(kUserMessageTitle, where + passwordTroubleText(trouble) + ".");
    }
    accept();
}

void TSetupForm::BrowserBrowseClick()
{
    const QFileInfo current(browser_->text());
    const std::string directory = current.isAbsolute() ? pathToBytes(current.absolutePath()) : std::string();
    // Programs here carry no extension, so every file is offered.
    // The setting is a command line the link is appended to: a path with blanks is quoted.
    if (std::optional<std::string> path = userInteraction().askOpenFile("Web Browser", directory, "Programs|*"))
        browser_->setText(pathFromBytes(joinDesktopExec({*path})));
}

void TSetupForm::DefaultMailProgramClick()
{
    if (!SetDefaultMailProgram)
        return;
    if (SetDefaultMailProgram())
        userInteraction().inform(kUserMessageTitle, "Tavik mail now opens the mailto: links clicked on this desktop.");
    else
        userInteraction().error(kUserMessageTitle, "The desktop did not take Tavik mail as its mail program: "
                                                   "xdg-mime is missing or refused.");
}

void TSetupForm::RegisteredBrowserClick()
{
    if (!RegisteredBrowser)
        return;
    if (std::optional<std::string> command = RegisteredBrowser())
        browser_->setText(pathFromBytes(*command));
}

void TSetupForm::SignatureBrowseClick()
{
    if (!randomText_->isChecked())
        return;
    if (std::optional<std::string> path =
            userInteraction().askOpenFile("Random text in Signature...", {}, "Text files|*.txt|All files|*"))
        randomFile_->setText(pathFromBytes(*path));
}

void TSetupForm::CaFileBrowseClick()
{
    const QFileInfo current(caFile_->text());
    const std::string directory = current.isAbsolute() ? pathToBytes(current.absolutePath()) : std::string();
    if (std::optional<std::string> path = userInteraction().askOpenFile(
            "Certificate authorities (CA file)", directory, "Certificates|*.pem;*.crt;*.cer|All files|*"))
        caFile_->setText(pathFromBytes(*path));
}

void TSetupForm::RemovePinClick()
{
    QListWidgetItem* item = pins_->currentItem();
    if (!item || pinsUnreadable_)
        return;
    removedPins_.push_back(toStored(item->data(Qt::UserRole).toString()));
    delete item;
}

void TSetupForm::MimeEditorClick()
{
    if (OnMimeEditor)
        OnMimeEditor();
}

bool runOptionsDialog(QWidget* parent, ProfileSettings& settings, const std::string& profileDirectory,
                      const MailboxList& mailboxes, std::function<void()> openMimeEditor, PasswordKeeper* keeper)
{
    TSetupForm form(settings, profileDirectory, mailboxes, parent);
    form.OnMimeEditor = std::move(openMimeEditor);
    form.Keeper = keeper;
    return form.exec() == QDialog::Accepted;
}

} // namespace tavik
