// Shared by the widget tests: the one QApplication, a scripted UserInteraction that answers from
// lists and records every text shown, a fresh TAVIK_HOME per test, and a driver for modal
// dialogs that acts on them from inside their own event loop.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <sys/wait.h>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/vosk_socket.h"
#include "support/test_support.h"
#include "window_common/user_interaction.h"

namespace tavik::test {

// The application every widget test runs in, created on first use and kept for the process.
inline QApplication& application()
{
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        // The offscreen platform says so for every fixed-size dialog; nothing to see.
        static QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                if (message == QStringLiteral("This plugin does not support propagateSizeHints()"))
                    return;
                previous(type, context, message);
            });
        return new QApplication(argc, argv);
    }();
    return *app;
}

// One box or prompt as the program showed it.
struct Shown {
    std::string kind; // "inform", "warn", "error", "question", "password", "text", "font", "open", "open files",
                      // "save", "decoder", "move", "color", "certificate" (text: "host:port")
    std::string title;
    std::string text;
    bool hourglass = false; // the wait cursor was up while it was shown
};

// Answers every box and prompt from its lists; a prompt without an answer left fails the test
// and is answered No / Cancel.
class ScriptedInteraction : public UserInteraction {
public:
    std::deque<bool> yesNo;
    std::deque<std::optional<std::string>> passwords;
    std::deque<std::optional<std::string>> texts;
    std::deque<std::optional<std::string>> serverPasswords;
    std::deque<std::optional<QFont>> fonts;
    std::deque<std::optional<std::string>> files;
    std::deque<std::optional<std::vector<std::string>>> fileLists; // answers to askOpenFiles
    std::deque<std::optional<std::string>> decoderPasswords;
    std::deque<std::optional<int>> moveTargets;
    std::deque<std::optional<QColor>> colors;
    std::deque<CertificateChoice> certificateChoices;
    std::vector<std::string> moveTargetNames; // the names the last move dialog offered
    std::vector<PeerCertificateInfo> certificates; // every certificate put to the user
    std::vector<Shown> shown;

    void inform(const std::string& title, const std::string& text) override { record("inform", title, text); }
    void warn(const std::string& title, const std::string& text) override { record("warn", title, text); }
    void error(const std::string& title, const std::string& text) override { record("error", title, text); }
    bool askYesNo(const std::string& title, const std::string& question) override
    {
        record("question", title, question);
        return take(yesNo, false, question);
    }
    std::optional<std::string> askPassword(const std::string& userName) override
    {
        record("password", "User Password . . .", userName);
        return take(passwords, std::optional<std::string>(), userName);
    }
    std::optional<std::string> askText(const std::string& title, const std::string& prompt,
                                       const std::string&) override
    {
        record("text", title, prompt);
        return take(texts, std::optional<std::string>(), prompt);
    }
    std::optional<std::string> askServerPassword(const std::string& title, const std::string& prompt) override
    {
        record("server password", title, prompt);
        return take(serverPasswords, std::optional<std::string>(), prompt);
    }
    std::optional<QFont> askFont(const std::string& title, const QFont&) override
    {
        record("font", title, {});
        return take(fonts, std::optional<QFont>(), title);
    }
    std::optional<std::string> askDecoderPassword() override
    {
        record("decoder", "Decoder Password . . .", {});
        return take(decoderPasswords, std::optional<std::string>(), "decoder password");
    }
    std::optional<int> askMoveTarget(const std::vector<std::string>& mailboxNames) override
    {
        record("move", "Move message(s) to . . . . ", {});
        moveTargetNames = mailboxNames;
        return take(moveTargets, std::optional<int>(), "move target");
    }
    std::optional<QColor> askColor(const std::string& title, const QColor&) override
    {
        record("color", title, {});
        return take(colors, std::optional<QColor>(), title);
    }
    std::optional<std::string> askOpenFile(const std::string& title, const std::string&, const std::string&) override
    {
        record("open", title, {});
        return take(files, std::optional<std::string>(), title);
    }
    // Recorded as "open files" with the directory it starts in as text.
    std::optional<std::vector<std::string>> askOpenFiles(const std::string& title, const std::string& directory,
                                                         const std::string&) override
    {
        record("open files", title, directory);
        return take(fileLists, std::optional<std::vector<std::string>>(), title);
    }
    std::optional<std::string> askSaveFile(const std::string& title, const std::string&, const std::string& filter) override
    {
        record("save", title, filter);
        return take(files, std::optional<std::string>(), title);
    }

    CertificateChoice judgeCertificate(const PeerCertificateInfo& certificate) override
    {
        record("certificate", "Certificate", certificate.host + ":" + std::to_string(certificate.port));
        certificates.push_back(certificate);
        return take(certificateChoices, CertificateChoice::Cancel, "certificate");
    }

    // The texts shown of one kind, in order.
    std::vector<std::string> textsOf(const std::string& kind) const
    {
        std::vector<std::string> out;
        for (const auto& s : shown)
            if (s.kind == kind)
                out.push_back(s.text);
        return out;
    }

private:
    void record(const char* kind, const std::string& title, const std::string& text)
    {
        shown.push_back({kind, title, text, QApplication::overrideCursor() != nullptr});
    }
    template <typename T>
    T take(std::deque<T>& answers, T fallback, const std::string& what)
    {
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected prompt: " << what;
            return fallback;
        }
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// A test on a fresh program directory: $TAVIK_HOME points at a new temporary directory and the
// scripted interaction is installed for the test's length.
class UiTest : public ::testing::Test {
protected:
    UiTest()
    {
        application();
        previousHome_ = qgetenv("TAVIK_HOME");
        hadHome_ = qEnvironmentVariableIsSet("TAVIK_HOME");
        qputenv("TAVIK_HOME", QByteArray::fromStdString(home_.path()));
        // A window never reaches the desktop's own keyring unless a test gives it one.
        qputenv("TAVIK_KEYRING", "none");
        setUserInteraction(&ui);
    }
    ~UiTest() override
    {
        setUserInteraction(nullptr);
        if (hadHome_)
            qputenv("TAVIK_HOME", previousHome_);
        else
            qunsetenv("TAVIK_HOME");
    }

    // The program directory, ending in "/".
    const std::string& home() const { return home_.path(); }

    ScriptedInteraction ui;

private:
    TempDir home_;
    QByteArray previousHome_;
    bool hadHome_ = false;
};

// Runs `act` on the first modal dialog of type T that opens, from inside its event loop. Keep
// the returned object alive until the dialog has been handled; handled() tells whether it was.
class ModalDriver : public QObject {
public:
    template <typename T>
    static std::unique_ptr<ModalDriver> on(std::function<void(T*)> act)
    {
        auto driver = std::make_unique<ModalDriver>();
        ModalDriver* self = driver.get();
        self->timer_.setInterval(2);
        QObject::connect(&self->timer_, &QTimer::timeout, self, [self, act] {
            if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
                self->timer_.stop();
                self->handled_ = true;
                act(dialog);
            }
        });
        self->timer_.start();
        return driver;
    }
    bool handled() const { return handled_; }

private:
    QTimer timer_;
    bool handled_ = false;
};

// Has Python's email (tests/smtp/check_message.py) read `message` against the expectations
// `json`; the two are written into `dir` first.
inline void checkWithPythonEmail(const std::string& dir, const std::string& message, const std::string& json)
{
    const std::string msg = dir + "message.eml", exp = dir + "expect.json";
    writeBytes(msg, message);
    writeBytes(exp, json);
    const std::string script = testDataDir() + "../smtp/check_message.py";
    const std::string cmd = "/usr/bin/python3 '" + script + "' '" + msg + "' '" + exp + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
}

// Waits (events running) until `condition` holds; false after `ms`.
inline bool waitFor(const std::function<bool()>& condition, int ms = 5000)
{
    return QTest::qWaitFor(condition, ms);
}

} // namespace tavik::test
