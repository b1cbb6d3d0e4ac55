// Reading everyday mail: 1000 messages of about 30 KB, each as current mailers send them
// (multipart/mixed of an alternative of plain text and HTML, and a small PDF), parsed by our
// MessageParser with every attachment written to a file in a scratch directory, against
// Python's email in the same run (get_body(('plain', 'html')).get_content() and every
// iter_attachments() payload written to a file, timed inside Python after the files are read).
// Prints the medians and their ratio, and RESULT lines for scripts/bench.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pop3/message_parser.h"
#include "profile/file_util.h"

#include "bench_results.h"

namespace {

using namespace tavik;

constexpr int kMessages = 1000;

std::string workDir;
std::vector<std::string> messages;
std::size_t totalBytes = 0;
std::vector<double> oursRuns, pythonRuns;

std::uint32_t nextRandom(std::uint32_t& x)
{
    x = x * 1103515245u + 12345u;
    return x >> 8;
}

std::string base64Lines(const std::string& data)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
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
    return col ? out + "\r\n" : out;
}

// About `n` bytes of prose, as lines of at most 72 characters.
std::vector<std::string> paragraphs(std::uint32_t& x, std::size_t n)
{
    static const char* words[] = {"the", "quarterly", "figures", "are", "attached", "and", "we", "will",
                                  "discuss", "them", "on", "Thursday", "morning", "in", "room", "4",
                                  "please", "review", "budget", "before", "meeting", "thanks", "for",
                                  "your", "patience", "regards", "project", "deadline", "customer"};
    std::vector<std::string> lines;
    std::string line;
    std::size_t made = 0;
    while (made < n) {
        const char* w = words[nextRandom(x) % (sizeof words / sizeof words[0])];
        if (line.size() + std::strlen(w) + 1 > 72) {
            made += line.size() + 2;
            lines.push_back(line);
            line.clear();
            if (nextRandom(x) % 6 == 0)
                lines.emplace_back();
        }
        if (!line.empty())
            line += ' ';
        line += w;
    }
    lines.push_back(line);
    return lines;
}

// A small PDF-like file: a text header and compressed-looking bytes.
std::string pdfBytes(std::uint32_t& x, std::size_t n)
{
    std::string s = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj << /Type /Catalog >> endobj\nstream\n";
    while (s.size() < n)
        s += static_cast<char>(nextRandom(x) & 0xff);
    return s + "\nendstream\n%%EOF\n";
}

std::string makeMessage(int i)
{
    std::uint32_t x = 2024u + static_cast<std::uint32_t>(i) * 7919u;
    const std::vector<std::string> text = paragraphs(x, 8700);
    std::string plain, html = "<html><head><style>p { margin: 0 0 1em }</style></head><body>\r\n<div>";
    for (const std::string& l : text) {
        plain += l + "\r\n";
        html += l.empty() ? std::string("</div>\r\n<div>") : "<span>" + l + "</span><br>\r\n";
    }
    html += "</div>\r\n<table><tr><td><a href=\"https://example.org/report\">Open the report</a></td></tr></table>"
            "\r\n</body></html>\r\n";
    const std::string n = std::to_string(i);
    return "From: Anna Berg <anna@example.org>\r\nTo: Tom Lind <tom@example.net>\r\n"
           "Subject: Quarterly figures " + n + "\r\nDate: Tue, 04 Jun 2024 09:15:00 +0200\r\n"
           "Message-ID: <bench-" + n + "@example.org>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"mixed-" + n + "\"\r\n\r\n"
           "--mixed-" + n + "\r\nContent-Type: multipart/alternative; boundary=\"alt-" + n + "\"\r\n\r\n"
           "--alt-" + n + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
           + plain +
           "--alt-" + n + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
           + html +
           "--alt-" + n + "--\r\n\r\n"
           "--mixed-" + n + "\r\nContent-Type: application/pdf; name=\"figures.pdf\"\r\n"
           "Content-Disposition: attachment; filename=\"figures.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
           + base64Lines(pdfBytes(x, 6000)) + "--mixed-" + n + "--\r\n";
}

void makeMessages()
{
    std::filesystem::create_directories(workDir + "mail");
    for (int i = 0; i < kMessages; ++i) {
        messages.push_back(makeMessage(i));
        totalBytes += messages.back().size();
        writeFileAtomically(workDir + "mail/" + std::to_string(i) + ".eml", messages.back());
    }
}

// One message as the session feeds it: lines without CR LF, unstuffed.
void parseOne(MessageParser& parser, const std::string& message)
{
    parser.beginMessage("+OK " + std::to_string(message.size()) + " octets");
    const char* p = message.data();
    const char* end = p + message.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* stop = nl ? nl : end;
        std::size_t len = static_cast<std::size_t>(stop - p);
        if (len && p[len - 1] == '\r')
            --len;
        parser.feedLine(unstuffAnswerLine(std::string_view(p, len)));
        p = nl ? nl + 1 : end;
    }
    parser.endMessage();
}

void BM_Tavik(benchmark::State& state)
{
    // A fresh directory each run, nothing deleted until the end: ext4 is slow to hand out the
    // inodes of files just removed, and that would be measured instead of the parser.
    std::string dir;
    MessageParser parser;
    int issued = 0;
    std::size_t textLines = 0;
    parser.OnAttachmentGetLocation = [&](TMIMEAttachmentPtr a) { a->Location = dir + "a" + std::to_string(++issued); };
    parser.OnMessageLoaded = [&] { textLines += parser.MessageText.size(); };
    for (auto _ : state) {
        state.PauseTiming();
        dir = workDir + "ours-" + std::to_string(oursRuns.size()) + "/";
        std::filesystem::create_directories(dir);
        issued = 0;
        state.ResumeTiming();
        const auto t0 = bench::Clock::now();
        for (const std::string& m : messages)
            parseOne(parser, m);
        oursRuns.push_back(bench::secondsSince(t0));
    }
    benchmark::DoNotOptimize(textLines);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes));
}

const char* kPythonScript =
    "import os, sys, time, email\n"
    "from email import policy\n"
    "src, out = sys.argv[1], sys.argv[2]\n"
    "names = sorted(os.listdir(src), key=lambda n: int(n.split('.')[0]))\n"
    "datas = [open(os.path.join(src, n), 'rb').read() for n in names]\n"
    "os.makedirs(out, exist_ok=True)\n"
    "t = time.perf_counter()\n"
    "chars = files = 0\n"
    "for data in datas:\n"
    "    m = email.message_from_bytes(data, policy=policy.default)\n"
    "    chars += len(m.get_body(('plain', 'html')).get_content())\n"
    "    for part in m.iter_attachments():\n"
    "        files += 1\n"
    "        with open(os.path.join(out, 'a%d' % files), 'wb') as f:\n"
    "            f.write(part.get_payload(decode=True))\n"
    "print(time.perf_counter() - t, chars, files)\n";

void BM_Python(benchmark::State& state)
{
    const std::string script = workDir + "peer.py";
    writeFileAtomically(script, kPythonScript);
    for (auto _ : state) {
        const std::string out = workDir + "python-" + std::to_string(pythonRuns.size()) + "/";
        const std::string cmd = "/usr/bin/python3 '" + script + "' '" + workDir + "mail' '" + out + "'";
        FILE* f = ::popen(cmd.c_str(), "r");
        double seconds = -1;
        long chars = 0, files = 0;
        if (!f || std::fscanf(f, "%lf %ld %ld", &seconds, &chars, &files) != 3 || files != kMessages)
            seconds = -1;
        if (f)
            ::pclose(f);
        if (seconds < 0) {
            state.SkipWithError("python3 failed");
            return;
        }
        state.SetIterationTime(seconds);
        pythonRuns.push_back(seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes));
}

} // namespace

int main(int argc, char** argv)
{
    char tmpl[] = "/tmp/tavik-read-mail-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    workDir = std::string(tmpl) + "/";
    makeMessages();

    benchmark::RegisterBenchmark("tavik/read_1000_mixed", BM_Tavik)->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("python/read_1000_mixed", BM_Python)
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double ours = bench::median(oursRuns), python = bench::median(pythonRuns);
    std::printf("\n%d messages, %.1f MB: tavik %.3f s (%.0f messages/s), python %.3f s (%.0f messages/s), "
                "tavik %.1fx faster\n",
                kMessages, static_cast<double>(totalBytes) / 1e6, ours, ours > 0 ? kMessages / ours : 0.0, python,
                python > 0 ? kMessages / python : 0.0, ours > 0 ? python / ours : 0.0);
    for (auto [who, runs] : {std::pair<const char*, const std::vector<double>*>{"tavik", &oursRuns}, {"python", &pythonRuns}}) {
        std::printf("%s runs:", who);
        for (double r : *runs)
            std::printf(" %.3f", r);
        std::printf(" s\n");
    }
    if (!oursRuns.empty())
        std::printf("RESULT read.mixed_1000.tavik %.6g s %zu\n", ours, oursRuns.size());
    if (!pythonRuns.empty())
        std::printf("RESULT read.mixed_1000.python %.6g s %zu\n", python, pythonRuns.size());
    std::printf("RESULT read.mixed_1000.bytes %zu bytes 1\n", totalBytes);
    std::filesystem::remove_all(workDir);
    return 0;
}
