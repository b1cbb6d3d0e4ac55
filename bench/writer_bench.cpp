// The message writer on a 20 MB attachment in each of its four forms, written to a sink that only
// counts, against Python's email package building and serialising the same message in the same
// run (base64, quoted-printable and plain text through email itself; uuencode, which email does
// not write, as binascii's lines in an email part). Reports MB/s (10^6 bytes of attachment per
// second, medians), how many times faster the writer is, and a RESULT line per figure for
// scripts/bench.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "smtp/message_writer.h"

#include "bench_results.h"

using tavik::bench::Clock;
using tavik::bench::median;
using tavik::bench::secondsSince;

using namespace tavik;

namespace {

constexpr std::size_t kAttachmentBytes = 20 * 1000 * 1000;

std::string gDir;
std::string gBinary; // random bytes
std::string gText;   // ASCII lines, so the automatic choice takes plain text
constexpr int kPythonRuns = 5;
std::map<std::string, std::vector<double>> gPythonSeconds; // per form, every run
std::map<std::string, std::vector<double>> gOurSeconds;    // per form, every iteration
std::map<std::string, std::size_t> gWireBytes;             // per form, our message's size

// Takes everything and keeps only the count.
class NullSink : public MessageSink {
public:
    std::size_t bytes = 0;
    void SendLine(std::string_view line) override { bytes += line.size() + 2; }
    void SendText(std::string_view text) override { bytes += text.size(); }
    void SendData(const char*, std::size_t count) override { bytes += count; }
    bool Finished() const override { return false; }
};

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void makeFiles()
{
    char tmpl[] = "/tmp/tavik-writer-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    gDir = std::string(tmpl) + "/";
    std::mt19937_64 gen(2024);
    std::string binary(kAttachmentBytes, '\0');
    for (std::size_t i = 0; i + 8 <= binary.size(); i += 8) {
        const std::uint64_t v = gen();
        std::memcpy(binary.data() + i, &v, 8);
    }
    std::string text;
    text.reserve(kAttachmentBytes + 200);
    while (text.size() < kAttachmentBytes) {
        std::string line(20 + gen() % 100, ' ');
        for (char& c : line)
            c = static_cast<char>('!' + gen() % 94);
        text += line + "\r\n";
    }
    text.resize(kAttachmentBytes - 2);
    text += "\r\n";
    gBinary = gDir + "binary.bin";
    gText = gDir + "text.txt";
    writeFile(gBinary, binary);
    writeFile(gText, text);
}

// Python builds the same message (From, To, Subject, a text part and the attachment) and
// serialises it with CR LF line ends; timed inside Python, file read included.
void runPython()
{
    const std::string script = gDir + "python_peer.py";
    writeFile(script, R"PY(
import binascii, io, sys, time
from email import policy
from email.generator import BytesGenerator
from email.message import EmailMessage
binary, text, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def uuencoded(data, name):
    lines = ["begin 666 " + name]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45], backtick=True).decode("ascii").rstrip("\n"))
    lines += ["`", "end"]
    return "\n".join(lines) + "\n"

def build(form):
    msg = EmailMessage()
    msg["From"] = "Ann Example <ann@example.org>"
    msg["To"] = "Bob <bob@example.net>"
    msg["Subject"] = "Benchmark"
    msg.set_content("Hello\n")
    if form in ("base64", "quoted-printable"):
        with open(binary, "rb") as f:
            data = f.read()
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename="binary.bin", cte=form)
    elif form == "uuencode":
        with open(binary, "rb") as f:
            data = f.read()
        part = EmailMessage()
        part["Content-Type"] = 'application/octet-stream; name="binary.uue"'
        part["Content-Disposition"] = 'attachment; filename="binary.uue"'
        part.set_payload(uuencoded(data, "binary.bin"))
        msg.make_mixed()
        msg.attach(part)
    else:
        with open(text, "rb") as f:
            data = f.read().decode("ascii")
        msg.add_attachment(data, subtype="plain", cte="7bit", filename="text.txt")
    out = io.BytesIO()
    BytesGenerator(out, policy=policy.SMTP).flatten(msg)
    return len(out.getvalue())

for form in ("base64", "quoted-printable", "uuencode", "plain"):
    for _ in range(runs):
        t0 = time.perf_counter()
        size = build(form)
        print(form, time.perf_counter() - t0, size, flush=True)
)PY");
    const std::string cmd = "/usr/bin/python3 '" + script + "' '" + gBinary + "' '" + gText + "' " +
        std::to_string(kPythonRuns);
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return;
    char form[64];
    double seconds = 0;
    unsigned long size = 0;
    std::map<std::string, unsigned long> sizes;
    while (std::fscanf(p, "%63s %lf %lu", form, &seconds, &size) == 3) {
        gPythonSeconds[form].push_back(seconds);
        sizes[form] = size;
    }
    ::pclose(p);
    for (const auto& [name, runs] : gPythonSeconds) {
        const double m = median(runs);
        std::printf("python email %-16s %8.1f MB/s (%.3f s, %lu bytes of message, median of %zu)\n", name.c_str(),
                    kAttachmentBytes / 1e6 / m, m, sizes[name], runs.size());
    }
}

void writeMessage(benchmark::State& state, const std::string& path, std::uint8_t encoding, const char* form)
{
    OutgoingMessage m;
    m.FROM_Name = "Ann Example";
    m.FROM_Address = "ann@example.org";
    m.ListTo = {"bob@example.net|Bob"};
    m.Subject = "Benchmark";
    m.MailText = {"Hello"};
    m.Headers = {"X-Mailer: Tavik mail v1.1b"};
    TOutgoingAttachment a;
    a.Path = path;
    a.MimeType = "application/octet-stream";
    m.AddAttachment(a);
    std::size_t infos = 0;
    std::size_t wire = 0;
    double seconds = 0;
    for (auto _ : state) {
        m.AttachmentSlots[0]->Encoding = encoding;
        NullSink sink;
        MessageWriter writer(m, sink);
        // Progress goes to a callback as the session forwards it to the dialog.
        writer.OnMailInfo = [&infos](SendMailInfo, const std::string& add) { infos += add.size(); };
        const auto t0 = std::chrono::steady_clock::now();
        const WriteResult r = writer.WriteMessage();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        seconds += s;
        gOurSeconds[form].push_back(s);
        if (r.outcome != WriteResult::Written)
            state.SkipWithError(r.failure.c_str());
        wire = sink.bytes;
        benchmark::DoNotOptimize(infos);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kAttachmentBytes));
    const double perMessage = seconds / static_cast<double>(state.iterations());
    state.counters["MB/s"] = kAttachmentBytes / 1e6 / perMessage;
    state.counters["wire_MB"] = static_cast<double>(wire) / 1e6;
    gWireBytes[form] = wire;
    if (gPythonSeconds.count(form)) {
        const double py = median(gPythonSeconds[form]);
        state.counters["python_MB/s"] = kAttachmentBytes / 1e6 / py;
        state.counters["x_python"] = py / perMessage;
    }
}

void BM_Base64(benchmark::State& state) { writeMessage(state, gBinary, kEncodingBase64, "base64"); }
void BM_QuotedPrintable(benchmark::State& state)
{
    writeMessage(state, gBinary, kEncodingQuotedPrintable, "quoted-printable");
}
void BM_Uuencode(benchmark::State& state) { writeMessage(state, gBinary, kEncodingUuencode, "uuencode"); }
// Automatic choice: the text is read once to choose, once to send.
void BM_PlainText(benchmark::State& state) { writeMessage(state, gText, kEncodingAutomatic, "plain"); }

// The lines scripts/bench collects: "RESULT <key> <median> <unit> <runs>".
void printResults()
{
    for (const auto& [form, key] : std::map<std::string, std::string>{
             {"base64", "base64"}, {"quoted-printable", "qp"}, {"uuencode", "uuencode"}, {"plain", "plain"}}) {
        for (const auto* who : {&gOurSeconds, &gPythonSeconds}) {
            auto it = who->find(form);
            if (it != who->end() && !it->second.empty())
                std::printf("RESULT write.%s.%s %.6g s %zu\n", key.c_str(), who == &gOurSeconds ? "tavik" : "python",
                            median(it->second), it->second.size());
        }
        if (gWireBytes.count(form))
            std::printf("RESULT write.%s.bytes %zu bytes 1\n", key.c_str(), gWireBytes[form]);
    }
}

BENCHMARK(BM_Base64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QuotedPrintable)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Uuencode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainText)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    makeFiles();
    runPython();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printResults();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
