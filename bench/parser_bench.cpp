// The message parser against its peer: four messages (a 20 MB base64 attachment, a 5 MB
// quoted-printable ISO-8859-1 text, 5 MB of 8-bit UTF-8 text and 5 MB of 8-bit ISO-8859-2
// text, each text turned into Unicode) parsed into a real attachment store, Python's email
// package reading the same bytes (message_from_bytes, get_payload(decode=True), and text parts
// decoded from their charset, timed inside Python), and
// cat of the same bytes to /dev/null as the limit. Prints MB/s of each (medians) and the ratios,
// and a RESULT line per figure for scripts/bench.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "pop3/attachment_store.h"
#include "pop3/message_parser.h"
#include "profile/file_util.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

extern char** environ;

namespace {

using namespace tavik;

constexpr std::size_t kAttachmentBytes = 20 * 1000 * 1000;
constexpr std::size_t kTextBytes = 5 * 1000 * 1000;

std::string workDir;
std::string base64Message, qpMessage, utf8Message, latin2Message;
std::map<std::string, std::vector<double>> samples; // seconds of every run per measurement

std::string pseudoRandom(std::size_t n)
{
    std::string s(n, '\0');
    std::uint64_t x = 88172645463325252ull;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}

std::string base64Lines(const std::string& data)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(data.size() / 57 * 78 + 80);
    std::size_t col = 0;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        std::uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size())
            v |= static_cast<unsigned char>(data[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? abc[v & 63] : '=';
        if ((col += 4) == 76) {
            out += "\r\n";
            col = 0;
        }
    }
    return out + "\r\n";
}

// Prose in ISO-8859-1 with about one 8-bit letter in 35 characters (as French or German text
// has), quoted-printable with soft breaks at 76 columns.
std::string quotedPrintableText(std::size_t n)
{
    static const char* words[] = {"the", "meeting", "will", "be", "held", "in", "Stra\xdf\x65", "room", "and",
                                  "we", "expect", "caf\xe9", "for", "everyone", "at", "noon", "please", "bring",
                                  "your", "notes", "M\xfcller", "said", "that", "r\xe9sum\xe9", "is", "due",
                                  "tomorrow", "a+b=c", "regards"};
    constexpr std::uint32_t kWords = sizeof words / sizeof words[0];
    std::string out;
    std::size_t col = 0, produced = 0;
    std::uint32_t x = 7;
    auto put = [&](const std::string& s) {
        if (col + s.size() > 75) {
            out += "=\r\n";
            col = 0;
        }
        out += s;
        col += s.size();
    };
    while (produced < n) {
        x = x * 1103515245u + 12345u;
        const char* w = words[(x >> 16) % kWords];
        for (const char* p = w; *p; ++p, ++produced) {
            auto c = static_cast<unsigned char>(*p);
            if (c >= 128 || c == '=') {
                char esc[4];
                std::snprintf(esc, sizeof esc, "=%02X", c);
                put(esc);
            } else {
                put(std::string(1, static_cast<char>(c)));
            }
        }
        if ((x >> 8) % 9 == 0) {
            out += "\r\n";
            col = 0;
        } else {
            put(" ");
        }
        ++produced;
    }
    return out + "\r\n";
}

// Unquoted 8-bit prose from `words` (each already in the message's charset), lines of at most
// 76 bytes.
std::string eightBitText(const std::vector<std::string>& words, std::size_t n)
{
    std::string out;
    out.reserve(n + n / 30);
    std::size_t col = 0;
    std::uint32_t x = 11;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        const std::string& w = words[(x >> 16) % words.size()];
        if (col + w.size() + 1 > 76) {
            out += "\r\n";
            col = 0;
        } else if (col > 0) {
            out += ' ';
            ++col;
        }
        out += w;
        col += w.size();
    }
    return out + "\r\n";
}

void makeMessages()
{
    base64Message = "From: bench@example.org\r\nSubject: 20 MB attachment\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"bench-boundary\"\r\n\r\n"
                    "--bench-boundary\r\nContent-Type: text/plain\r\n\r\nThe data is attached.\r\n"
                    "--bench-boundary\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Transfer-Encoding: base64\r\n"
                    "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
                    + base64Lines(pseudoRandom(kAttachmentBytes)) + "--bench-boundary--\r\n";
    qpMessage = "From: bench@example.org\r\nSubject: 5 MB text\r\nMIME-Version: 1.0\r\n"
                "Content-Type: text/plain; charset=iso-8859-1\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                + quotedPrintableText(kTextBytes);
    // Mail of today: Latin, Greek, Cyrillic and CJK words with ASCII between them.
    utf8Message = "From: bench@example.org\r\nSubject: 5 MB UTF-8 text\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                  + eightBitText({"the", "meeting", "Gr\xc3\xbc\xc3\x9f" "e", "K\xc3\xb6ln", "and", "we",
                                  "\xce\xba\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1",
                                  "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", "\xe4\xbd\xa0\xe5\xa5\xbd",
                                  "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "noon", "please", "\xf0\x9f\x98\x80",
                                  "notes", "tomorrow", "regards"},
                                 kTextBytes);
    // Polish in ISO-8859-2, through the charset converter.
    latin2Message = "From: bench@example.org\r\nSubject: 5 MB ISO-8859-2 text\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: text/plain; charset=iso-8859-2\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                    + eightBitText({"za\xbf\xf3\xb3\xe6", "g\xea\xb6l\xb1", "ja\xbc\xf1", "spotkanie", "w",
                                    "sali", "i", "prosz\xea", "o", "notatki", "jutro", "pozdrawiam", "\xa3\xf3\x64\xbc"},
                                   kTextBytes);
    writeFileAtomically(workDir + "base64.eml", base64Message);
    writeFileAtomically(workDir + "qp.eml", qpMessage);
    writeFileAtomically(workDir + "utf8.eml", utf8Message);
    writeFileAtomically(workDir + "latin2.eml", latin2Message);
}

void record(const std::string& name, double seconds) { samples[name].push_back(seconds); }

double medianOf(const std::string& name)
{
    auto it = samples.find(name);
    return it == samples.end() ? 0 : median(it->second);
}

// The line scripts/bench collects: "RESULT <key> <median> <unit> <runs>".
void printResult(const std::string& key, const std::string& name)
{
    auto it = samples.find(name);
    if (it != samples.end() && !it->second.empty())
        std::printf("RESULT %s %.6g s %zu\n", key.c_str(), median(it->second), it->second.size());
}

// One retrieval as the session drives it: the line layer's split, the terminator test and
// the unstuffing, the parser, and the workflow's store calls.
void parseOnce(const std::string& message, TAttachmentManager& store, MessageParser& parser)
{
    std::int32_t current = 0;
    parser.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) { current = store.RegisterAttachment(*a); };
    parser.OnAttachmentStored = [&](TMIMEAttachmentPtr a) { store.UpdateAttachment(current, *a); };
    std::size_t lines = 0;
    parser.OnMessageData = [&](const std::string&) { ++lines; };
    std::int64_t progress = 0;
    parser.OnMailInfo = [&](int info, const std::string& add) { progress += info + static_cast<int>(add.size()); };
    parser.OnMessageLoaded = [&] { benchmark::DoNotOptimize(parser.MessageText.size()); };
    parser.beginMessage("+OK " + std::to_string(message.size()) + " octets");
    const char* p = message.data();
    const char* end = p + message.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* stop = nl ? nl : end;
        std::size_t len = static_cast<std::size_t>(stop - p);
        if (len && p[len - 1] == '\r')
            --len;
        std::string_view line(p, len);
        if (isEndOfAnswer(line))
            parser.endMessage();
        else
            parser.feedLine(unstuffAnswerLine(line));
        p = nl ? nl + 1 : end;
    }
    parser.endMessage();
    benchmark::DoNotOptimize(progress);
    benchmark::DoNotOptimize(lines);
}

void BM_Parser(benchmark::State& state, const std::string* message, const char* name)
{
    TAttachmentManager store;
    std::string dir = workDir + "attach-" + name + "/";
    store.SetAttachmentDirectory(dir);
    MessageParser parser;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        parseOnce(*message, store, parser);
        record(std::string("tavik ") + name, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.PauseTiming();
        for (auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename() != kAttachmentIndexName)
                std::filesystem::remove(e.path());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message->size()));
}

const char* kPythonScript =
    "import sys, time, email\n"
    "data = open(sys.argv[1], 'rb').read()\n"
    "t = time.perf_counter()\n"
    "m = email.message_from_bytes(data)\n"
    "n = 0\n"
    "for part in m.walk():\n"
    "    if part.is_multipart():\n"
    "        continue\n"
    "    payload = part.get_payload(decode=True)\n"
    "    if part.get_content_maintype() == 'text':\n"
    "        payload = payload.decode(part.get_content_charset() or 'ascii', 'replace')\n"
    "    n += len(payload)\n"
    "print(time.perf_counter() - t, n)\n";

double runPython(const std::string& file)
{
    std::string script = workDir + "peer.py";
    if (!fileExists(script))
        writeFileAtomically(script, kPythonScript);
    std::string cmd = "/usr/bin/python3 '" + script + "' '" + file + "'";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f)
        return -1;
    double seconds = -1;
    long decoded = 0;
    if (std::fscanf(f, "%lf %ld", &seconds, &decoded) != 2)
        seconds = -1;
    ::pclose(f);
    return seconds;
}

std::string fileOf(const std::string* message)
{
    return workDir + (message == &base64Message ? "base64.eml"
                      : message == &qpMessage   ? "qp.eml"
                      : message == &utf8Message ? "utf8.eml"
                                                : "latin2.eml");
}

void BM_Python(benchmark::State& state, const std::string* message, const char* name)
{
    std::string file = fileOf(message);
    for (auto _ : state) {
        double s = runPython(file);
        if (s < 0) {
            state.SkipWithError("python3 failed");
            return;
        }
        state.SetIterationTime(s);
        record(std::string("python ") + name, s);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message->size()));
}

// cat started directly (no shell in between), its output on /dev/null.
bool runCat(const std::string& file)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"cat", file.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, "cat", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Cat(benchmark::State& state, const std::string* message, const char* name)
{
    std::string file = fileOf(message);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (!runCat(file)) {
            state.SkipWithError("cat failed");
            return;
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        record(std::string("cat ") + name, s);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message->size()));
}

void printSummary()
{
    auto mbps = [](const std::string& key, std::size_t bytes) {
        const double s = medianOf(key);
        return s <= 0 ? 0.0 : static_cast<double>(bytes) / 1e6 / s;
    };
    std::printf("\nMedian run of each (MB/s = 10^6 bytes of message per second)\n");
    std::printf("%-28s %10s %10s %10s %14s %14s\n", "message", "tavik", "python", "cat", "tavik/python",
                "tavik/cat");
    double tTotal = 0, pTotal = 0, cTotal = 0;
    for (auto [name, msg] : {std::pair<const char*, const std::string*>{"base64 20MB", &base64Message},
                             {"qp 5MB", &qpMessage}, {"utf8 5MB", &utf8Message}, {"latin2 5MB", &latin2Message}}) {
        double t = mbps(std::string("tavik ") + name, msg->size());
        double p = mbps(std::string("python ") + name, msg->size());
        double c = mbps(std::string("cat ") + name, msg->size());
        tTotal += medianOf(std::string("tavik ") + name);
        pTotal += medianOf(std::string("python ") + name);
        cTotal += medianOf(std::string("cat ") + name);
        std::printf("%-28s %10.1f %10.1f %10.1f %13.1fx %13.2fx\n", name, t, p, c, p > 0 ? t / p : 0.0,
                    c > 0 ? t / c : 0.0);
    }
    double bytes = static_cast<double>(base64Message.size() + qpMessage.size() + utf8Message.size() +
                                       latin2Message.size()) / 1e6;
    std::printf("%-28s %10.1f %10.1f %10.1f %13.1fx %13.2fx\n", "all four (35 MB)", bytes / tTotal, bytes / pTotal,
                bytes / cTotal, pTotal / tTotal, cTotal / tTotal);
    for (auto [key, name] : {std::pair<const char*, const char*>{"base64_20MB", "base64 20MB"}, {"qp_5MB", "qp 5MB"},
                             {"utf8_5MB", "utf8 5MB"}, {"latin2_5MB", "latin2 5MB"}}) {
        for (const char* who : {"tavik", "python", "cat"})
            printResult(std::string("parse.") + key + "." + who, std::string(who) + " " + name);
    }
    std::printf("RESULT parse.base64_20MB.bytes %zu bytes 1\n", base64Message.size());
    std::printf("RESULT parse.qp_5MB.bytes %zu bytes 1\n", qpMessage.size());
    std::printf("RESULT parse.utf8_5MB.bytes %zu bytes 1\n", utf8Message.size());
    std::printf("RESULT parse.latin2_5MB.bytes %zu bytes 1\n", latin2Message.size());
}

} // namespace

int main(int argc, char** argv)
{
    char tmpl[] = "/tmp/tavik-parser-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    workDir = std::string(tmpl) + "/";
    makeMessages();

    benchmark::RegisterBenchmark("tavik/base64_20MB", BM_Parser, &base64Message, "base64 20MB")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tavik/qp_5MB", BM_Parser, &qpMessage, "qp 5MB")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("python/base64_20MB", BM_Python, &base64Message, "base64 20MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("python/qp_5MB", BM_Python, &qpMessage, "qp 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tavik/utf8_5MB", BM_Parser, &utf8Message, "utf8 5MB")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tavik/latin2_5MB", BM_Parser, &latin2Message, "latin2 5MB")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("python/utf8_5MB", BM_Python, &utf8Message, "utf8 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("python/latin2_5MB", BM_Python, &latin2Message, "latin2 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("cat/utf8_5MB", BM_Cat, &utf8Message, "utf8 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("cat/latin2_5MB", BM_Cat, &latin2Message, "latin2 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("cat/base64_20MB", BM_Cat, &base64Message, "base64 20MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("cat/qp_5MB", BM_Cat, &qpMessage, "qp 5MB")
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    std::filesystem::remove_all(workDir);
    return 0;
}
