// The real servers start, answer as the protocol tests expect and store what they receive.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include "peers/peer_fixtures.h"

using namespace tavik::test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ensureCoreApplication(); }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A blocking line dialogue over a raw socket, as a test client.
class RawClient {
public:
    explicit RawClient(quint16 port) { socket_.connectToHost(QHostAddress::LocalHost, port); }
    bool connected() { return socket_.waitForConnected(5000); }
    // The next line without its CR LF; empty after 5 s of silence.
    std::string line()
    {
        while (!buffer_.contains("\r\n")) {
            if (!socket_.waitForReadyRead(5000))
                return {};
            buffer_ += socket_.readAll();
        }
        const qsizetype end = buffer_.indexOf("\r\n");
        const std::string l = buffer_.left(end).toStdString();
        buffer_.remove(0, end + 2);
        return l;
    }
    void write(const std::string& bytes)
    {
        socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket_.waitForBytesWritten(5000);
    }
    // Sends a command and returns the first line of the answer.
    std::string command(const std::string& text)
    {
        write(text + "\r\n");
        return line();
    }
    bool waitClosed()
    {
        return socket_.state() == QAbstractSocket::UnconnectedState || socket_.waitForDisconnected(5000);
    }

private:
    QTcpSocket socket_;
    QByteArray buffer_;
};

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST(DovecotServer, GreetsLogsInAndCountsTheMessagesGiven)
{
    DovecotServer server("alice", "s3cret");
    server.addMessage("From: a@example.org\nSubject: one\n\nfirst\n");
    server.addMessage("From: b@example.org\r\nSubject: two\r\n\r\nsecond body\r\n");
    ASSERT_TRUE(server.start()) << server.error() << "\n" << server.log();

    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.line(), "+OK Dovecot (Debian) ready.");
    EXPECT_TRUE(startsWith(c.command("USER alice"), "+OK"));
    EXPECT_TRUE(startsWith(c.command("PASS s3cret"), "+OK"));
    // Sizes count CR LF line ends, also for the message stored with LF alone.
    EXPECT_EQ(c.command("STAT"), "+OK 2 " + std::to_string(44 + 50));
    EXPECT_EQ(c.command("UIDL"), "+OK");
    EXPECT_EQ(c.line(), "1 " + server.uidl(1));
    EXPECT_EQ(c.line(), "2 " + server.uidl(2));
    EXPECT_EQ(c.line(), ".");
    EXPECT_EQ(c.command("RETR 2"), "+OK 50 octets");
    EXPECT_EQ(c.line(), "From: b@example.org");
    EXPECT_EQ(c.line(), "Subject: two");
    EXPECT_EQ(c.line(), "");
    EXPECT_EQ(c.line(), "second body");
    EXPECT_EQ(c.line(), ".");
    EXPECT_TRUE(startsWith(c.command("QUIT"), "+OK"));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(server.messagesOnServer(), 2u);
}

TEST(DovecotServer, AWrongPasswordDelaysNoLaterLogin)
{
    DovecotServer server;
    ASSERT_TRUE(server.start()) << server.error() << "\n" << server.log();
    {
        RawClient c(server.port());
        ASSERT_TRUE(c.connected());
        EXPECT_TRUE(startsWith(c.line(), "+OK"));
        EXPECT_TRUE(startsWith(c.command("USER " + server.user()), "+OK"));
        EXPECT_TRUE(startsWith(c.command("PASS wrong"), "-ERR"));
    }
    RawClient c(server.port());
    ASSERT_TRUE(c.connected());
    EXPECT_TRUE(startsWith(c.line(), "+OK"));
    EXPECT_TRUE(startsWith(c.command("USER " + server.user()), "+OK"));
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(startsWith(c.command("PASS " + server.password()), "+OK"));
    // Dovecot's penalty for the address would hold this answer back 2 s or more.
    EXPECT_LT(t.elapsed(), 1500);
    EXPECT_EQ(c.command("STAT"), "+OK 0 0");
}

TEST(DovecotServer, DeletesAndStopsByProcessId)
{
    DovecotServer server;
    server.addMessage("Subject: x\n\ny\n");
    ASSERT_TRUE(server.start()) << server.error() << "\n" << server.log();
    {
        RawClient c(server.port());
        ASSERT_TRUE(c.connected());
        c.line();
        c.command("USER " + server.user());
        c.command("PASS " + server.password());
        EXPECT_TRUE(startsWith(c.command("DELE 1"), "+OK"));
        EXPECT_EQ(c.command("QUIT"), "+OK Logging out, messages deleted.");
        EXPECT_TRUE(c.waitClosed());
    }
    EXPECT_EQ(server.messagesOnServer(), 0u);
    const quint16 port = server.port();
    server.stop();
    EXPECT_FALSE(server.running());
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_FALSE(probe.waitForConnected(2000));
}

TEST(SmtpSink, StoresAMessageWithItsEnvelope)
{
    SmtpSink sink;
    sink.rejectRecipient("nobody@example.org");
    ASSERT_TRUE(sink.start()) << sink.error() << "\n" << sink.log();

    RawClient c(sink.port());
    ASSERT_TRUE(c.connected());
    EXPECT_TRUE(startsWith(c.line(), "220 "));
    EXPECT_TRUE(startsWith(c.command("HELO client.example"), "250"));
    EXPECT_TRUE(startsWith(c.command("MAIL FROM:<me@example.org>"), "250"));
    EXPECT_TRUE(startsWith(c.command("RCPT TO:<you@example.org>"), "250"));
    EXPECT_TRUE(startsWith(c.command("RCPT TO:<nobody@example.org>"), "550"));
    EXPECT_TRUE(startsWith(c.command("RCPT TO:<other@example.org>"), "250"));
    EXPECT_TRUE(startsWith(c.command("DATA"), "354"));
    c.write("Subject: hi\r\n\r\n..dot line\r\n\xe9t\xe9\r\n.\r\n");
    EXPECT_TRUE(startsWith(c.line(), "250"));
    EXPECT_TRUE(startsWith(c.command("QUIT"), "221"));

    ASSERT_TRUE(sink.waitForMessages(1));
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].mail_from, "me@example.org");
    EXPECT_EQ(messages[0].rcpt_tos, (std::vector<std::string>{"you@example.org", "other@example.org"}));
    EXPECT_EQ(messages[0].helo, "client.example");
    EXPECT_EQ(messages[0].content, "Subject: hi\r\n\r\n.dot line\r\n\xe9t\xe9\r\n");
}

TEST(SmtpSink, RefusesDataWhenAsked)
{
    SmtpSink sink;
    sink.rejectData();
    ASSERT_TRUE(sink.start()) << sink.error() << "\n" << sink.log();
    RawClient c(sink.port());
    ASSERT_TRUE(c.connected());
    c.line();
    c.command("HELO x");
    c.command("MAIL FROM:<a@b>");
    c.command("RCPT TO:<c@d>");
    EXPECT_TRUE(startsWith(c.command("DATA"), "354"));
    c.write("x\r\n.\r\n");
    EXPECT_EQ(c.line(), "554 5.3.0 Transaction failed");
    EXPECT_TRUE(sink.messages().empty());
}
