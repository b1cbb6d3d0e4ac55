#include "peers/test_certificates.h"

#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

#include "peers/scripted_server.h"

namespace tavik::test {

namespace {

// Extensions by section; `openssl ca` signs with the CA of [test_ca]. Elliptic-curve keys keep
// making six certificates quick.
const char* const kConfiguration = R"([ req ]
distinguished_name = dn
prompt = no
[ dn ]
[ ca_cert ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ loopback ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ another_host ]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:another.example
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = .
database = ./index.txt
serial = ./serial
new_certs_dir = ./issued
certificate = ./ca.pem
private_key = ./ca.key
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
commonName = supplied
)";

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Runs openssl in `dir` and returns its standard output; throws with its output on failure.
std::string openssl(const std::string& dir, const QStringList& args)
{
    QProcess p;
    p.setWorkingDirectory(QString::fromStdString(dir));
    p.start(QStringLiteral("openssl"), args);
    const bool finished = p.waitForStarted(10000) && p.waitForFinished(60000);
    const std::string out = p.readAllStandardOutput().toStdString();
    if (!finished || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error("openssl " + args.join(QLatin1Char(' ')).toStdString() + " failed (" +
                                 (finished ? "exit code " + std::to_string(p.exitCode()) : p.errorString().toStdString()) +
                                 "; scripts/setup installs openssl): " + out + p.readAllStandardError().toStdString());
    return out;
}

QStringList newKey(const std::string& name)
{
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", QString::fromStdString(name + ".key")};
}

TestCertificate filesOf(const std::string& dir, const std::string& name)
{
    TestCertificate c{dir + name + ".pem", dir + name + ".key", {}};
    ::chmod(c.key.c_str(), 0644); // read by the servers' own users; a test key guards nothing
    std::string line = openssl(dir, {"x509", "-noout", "-fingerprint", "-sha256", "-in", QString::fromStdString(c.certificate)});
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        throw std::runtime_error("openssl printed no fingerprint: " + line);
    line.erase(0, eq + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    c.fingerprint = line;
    return c;
}

TestCertificate selfSigned(const std::string& dir, const std::string& name)
{
    openssl(dir, QStringList{"req", "-config", "openssl.cnf", "-x509", "-extensions", "loopback", "-days", "3650",
                             "-subj", "/CN=127.0.0.1", "-out", QString::fromStdString(name + ".pem")} + newKey(name));
    return filesOf(dir, name);
}

// A certificate signed by the CA; `validity` holds -days or -startdate/-enddate.
TestCertificate signedByCa(const std::string& dir, const std::string& name, const char* commonName,
                           const char* extensions, const QStringList& validity)
{
    const QString csr = QString::fromStdString(name + ".csr");
    openssl(dir, QStringList{"req", "-config", "openssl.cnf", "-new", "-subj", QStringLiteral("/CN=") + QLatin1String(commonName),
                             "-out", csr} + newKey(name));
    openssl(dir, QStringList{"ca", "-config", "openssl.cnf", "-batch", "-notext", "-extensions", extensions, "-in", csr,
                             "-out", QString::fromStdString(name + ".pem")} + validity);
    return filesOf(dir, name);
}

struct Holder {
    TestCertificates certificates;
    Holder()
    {
        ensureCoreApplication();
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvk-certs-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a directory for the test certificates");
        ::chmod(pattern.c_str(), 0755);
        certificates.directory = pattern + "/";
        try {
            make(certificates);
        } catch (...) {
            std::error_code ec;
            std::filesystem::remove_all(certificates.directory, ec);
            throw;
        }
    }
    static void make(TestCertificates& c)
    {
        const std::string& dir = c.directory;
        writeText(dir + "openssl.cnf", kConfiguration);
        writeText(dir + "index.txt", "");
        writeText(dir + "serial", "1000\n");
        std::filesystem::create_directory(dir + "issued");

        openssl(dir, QStringList{"req", "-config", "openssl.cnf", "-x509", "-extensions", "ca_cert", "-days", "3650",
                                 "-subj", "/CN=Tavik Test CA", "-out", "ca.pem"} + newKey("ca"));
        c.ca = filesOf(dir, "ca");
        const QStringList now{"-days", "3650"};
        c.server = signedByCa(dir, "server", "127.0.0.1", "loopback", now);
        c.selfSigned = selfSigned(dir, "self-signed");
        c.otherSelfSigned = selfSigned(dir, "other-self-signed");
        c.expired = signedByCa(dir, "expired", "127.0.0.1", "loopback",
                               {"-startdate", "20200101000000Z", "-enddate", "20201231235959Z"});
        c.wrongHost = signedByCa(dir, "wrong-host", "another.example", "another_host", now);
    }
    ~Holder()
    {
        std::error_code ec;
        std::filesystem::remove_all(certificates.directory, ec);
    }
};

} // namespace

const TestCertificates& testCertificates()
{
    static const Holder holder;
    return holder.certificates;
}

} // namespace tavik::test
