// Kills `tavikctl check` at each write (then at each rename) of a pipelined retrieval that deletes
// on the server, and checks what the next check leaves: every message of the server filed in
// New Mail exactly once, none lost, the server empty. Before the next check, every message gone
// from the server must already be in New Mail.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <filesystem>
#include <map>
#include <sstream>

#include "cli/tavikctl.h"
#include "peers/peer_fixtures.h"
#include "profile/file_util.h"
#include "support/test_support.h"

using namespace tavik;
using namespace tavik::test;
namespace fs = std::filesystem;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr int kMessages = 5;
// A check of five messages makes far fewer calls; a sweep reaching this never ends.
constexpr int kMaxKillPoint = 2000;

std::string message(int n)
{
    std::string m = "From: Ann <ann@example.org>\nTo: tess@example.org\nSubject: piece <" + std::to_string(n) +
        ">\nMessage-ID: <piece" + std::to_string(n) + "@example.org>\n";
    if (n % 2 == 0)
        return m + "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
                   "Content-Type: text/plain\n\nsee the file\n--b\nContent-Type: application/octet-stream; "
                   "name=\"p" + std::to_string(n) + ".bin\"\nContent-Transfer-Encoding: base64\n\nSGVsbG8gdGhlcmU=\n--b--\n";
    return m + "\nline one\nline two of piece " + std::to_string(n) + "\n";
}

struct CtlRun {
    int status;
    std::string out, err;
};

class CheckKill : public ::testing::Test {
protected:
    CtlRun ctl(const std::string& home, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", home});
        std::ostringstream out, err;
        TavikctlEnvironment env;
        env.executableDirectory = binDir();
        const int status = tavikctlMain(args, out, err, env);
        return {status, out.str(), err.str()};
    }

    // tavikctl check in a process of its own, killed at the `at`-th call of `kind`; true when
    // the kill came (false: the check ran to its end first).
    bool killedCheck(const std::string& home, const std::string& kind, int at)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& name : env.keys())
            if (name.startsWith("TAVIK_FAULT_") || name == "LD_PRELOAD")
                env.remove(name);
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS").isEmpty()
                                       ? "verify_asan_link_order=0"
                                       : env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("LD_PRELOAD", QString::fromStdString(binDir() + "libtavik_fault_shim.so"));
        env.insert("TAVIK_FAULT_GATE", "1");
        env.insert("TAVIK_FAULT_KILL", "1");
        env.insert("TAVIK_FAULT_KIND", QString::fromStdString(kind));
        env.insert("TAVIK_FAULT_AT", QString::number(at));
        env.insert("TAVIK_KEYRING", "none");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QString::fromStdString(binDir() + "tavikctl"), {"--home", QString::fromStdString(home), "check"});
        EXPECT_TRUE(p.waitForFinished(60000)) << "tavikctl check hung";
        if (p.exitStatus() == QProcess::CrashExit)
            return true;
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return false;
    }

    // How often each piece stands in New Mail.
    std::map<int, int> filedPieces(const std::string& home)
    {
        const CtlRun r = ctl(home, {"list", "1"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<int, int> count;
        for (std::size_t at = 0; (at = r.out.find("piece <", at)) != std::string::npos; ++at)
            ++count[std::atoi(r.out.c_str() + at + 7)];
        return count;
    }

    void sweep(const std::string& kind, int fewestKills)
    {
        DovecotServer server;
        ASSERT_TRUE(server.start()) << server.error();
        TempDir base;
        ASSERT_EQ(ctl(base.path(), {"set", "Pop3Server=127.0.0.1", "Pop3Port=" + std::to_string(server.port()),
                                    "ID=" + server.user(), "Password=" + server.password(), "AutoAddAddress=0",
                                    "DeleteMailOnRetrieving=1"})
                      .status,
                  0);
        int kills = 0;
        for (int at = 1;; ++at) {
            SCOPED_TRACE("killed at " + kind + " " + std::to_string(at));
            ASSERT_LT(at, kMaxKillPoint) << "the check never runs out of calls";
            for (int n = 1; n <= kMessages; ++n)
                server.addMessage(message(n));
            TempDir dir;
            const std::string home = dir.path() + "home/";
            fs::copy(base.path(), home, fs::copy_options::recursive);

            const bool killed = killedCheck(home, kind, at);
            if (HasFailure())
                return;
            // Deleted on the server only once filed here.
            const std::size_t left = server.messagesOnServer();
            std::map<int, int> filed = filedPieces(home);
            int kept = 0;
            for (const auto& [n, times] : filed)
                kept += times > 0;
            EXPECT_GE(static_cast<std::size_t>(kept) + left, static_cast<std::size_t>(kMessages))
                << left << " left on the server, " << kept << " filed";

            const CtlRun again = ctl(home, {"check"});
            EXPECT_EQ(again.status, 0) << again.err;
            // A session the kill cut off may still be expunging what its QUIT deleted.
            EXPECT_TRUE(QTest::qWaitFor([&] { return server.messagesOnServer() == 0; }, 10000))
                << server.messagesOnServer() << " messages left on the server";
            filed = filedPieces(home);
            for (int n = 1; n <= kMessages; ++n)
                EXPECT_EQ(filed[n], 1) << "piece " << n << " filed " << filed[n] << " times";
            EXPECT_FALSE(fileExists(home + "uidl.job"));
            if (HasFailure() || !killed)
                break;
            ++kills;
        }
        std::cout << "[ kills    ] " << kills << " kills at a " << kind << std::endl;
        EXPECT_GE(kills, fewestKills) << "the sweep no longer reaches the retrieval";
    }
};

} // namespace

TEST_F(CheckKill, AtEachWriteNoMessageIsLostOrFiledTwice) { sweep("write", 30); }

TEST_F(CheckKill, AtEachRenameNoMessageIsLostOrFiledTwice) { sweep("rename", 3); }
