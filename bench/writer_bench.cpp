// The message writer on a 20 MB attachment in each of its four forms, written to a sink that only
// counts, against Python's email package building and serialising the same message (base64 and
// quoted-printable) in the same run. Reports MB/s (10^6 bytes of attachment per second) and, for
// the two forms Python has, how many times faster the writer is.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "smtp/message_writer.h"

using namespace tavik;

namespace {

constexpr std::size_t kAttachmentBytes = 20 * 1000 * 1000;

std::string gDir;
std::string gBinary; // random bytes
std::string gText;   // ASCII lines, so the automatic choice takes plain text
std::map<std::string, double> gPythonSeconds; // per transfer encoding, best of its runs

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
// serialises it with CR LF line ends; timed inside Python, file read included, best of 3.
void runPython()
{
    const std::string script = gDir + "python_peer.py";
    writeFile(script, R"PY(
import io, sys, time
from email import policy
from email.generator import BytesGenerator
from email.message import EmailMessage
path = sys.argv[1]
for cte in ("base64", "quoted-printable"):
    best = None
    for _ in range(3):
        t0 = time.perf_counter()
        with open(path, "rb") as f:
            data = f.read()
        msg = EmailMessage()
        msg["From"] = "Ann Example <ann@example.org>"
        msg["To"] = "Bob <bob@example.net>"
        msg["Subject"] = "Benchmark"
        msg.set_content("Hello\n")
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename="binary.bin", cte=cte)
        out = io.BytesIO()
        BytesGenerator(out, policy=policy.SMTP).flatten(msg)
        size = len(out.getvalue())
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    print(cte, best, size, flush=True)
)PY");
    const std::string cmd = "/usr/bin/python3 '" + script + "' '" + gBinary + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return;
    char cte[64];
    double seconds = 0;
    unsigned long size = 0;
    while (std::fscanf(p, "%63s %lf %lu", cte, &seconds, &size) == 3) {
        gPythonSeconds[cte] = seconds;
        std::printf("python email %-16s %8.1f MB/s (%.3f s, %lu bytes of message)\n", cte,
                    kAttachmentBytes / 1e6 / seconds, seconds, size);
    }
    ::pclose(p);
}

void writeMessage(benchmark::State& state, const std::string& path, std::uint8_t encoding, const char* pythonCte)
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
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (r.outcome != WriteResult::Written)
            state.SkipWithError(r.failure.c_str());
        wire = sink.bytes;
        benchmark::DoNotOptimize(infos);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kAttachmentBytes));
    const double perMessage = seconds / static_cast<double>(state.iterations());
    state.counters["MB/s"] = kAttachmentBytes / 1e6 / perMessage;
    state.counters["wire_MB"] = static_cast<double>(wire) / 1e6;
    if (pythonCte && gPythonSeconds.count(pythonCte)) {
        const double py = gPythonSeconds[pythonCte];
        state.counters["python_MB/s"] = kAttachmentBytes / 1e6 / py;
        state.counters["x_python"] = py / perMessage;
    }
}

void BM_Base64(benchmark::State& state) { writeMessage(state, gBinary, kEncodingBase64, "base64"); }
void BM_QuotedPrintable(benchmark::State& state)
{
    writeMessage(state, gBinary, kEncodingQuotedPrintable, "quoted-printable");
}
void BM_Uuencode(benchmark::State& state) { writeMessage(state, gBinary, kEncodingUuencode, nullptr); }
// Automatic choice: the text is read once to choose, once to send.
void BM_PlainText(benchmark::State& state) { writeMessage(state, gText, kEncodingAutomatic, nullptr); }

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
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
