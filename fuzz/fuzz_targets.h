// The bodies of the fuzz targets: one function per reader of untrusted bytes. The libFuzzer
// executables call them, and so does the replay test of the normal build, which runs every saved
// regression input and seed through the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// A broken promise of a reader (what loads does not save back, an error that left files
// changed, ...). Entries throw it; expected refusals such as FileError never leave an entry.
class FuzzFinding : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Inputs that stand for several files hold them one after another, separated by this.
inline constexpr std::string_view kFuzzPartSeparator = "|PART|";
// The input cut at each separator, at most `maxParts` pieces (the last keeps any further ones).
std::vector<std::string> splitFuzzInput(const std::uint8_t* data, std::size_t size, std::size_t maxParts);

// Each entry takes any bytes, returns 0, and throws FuzzFinding (or lets an unexpected exception
// through) when a reader misbehaves.
int fuzzIni(const std::uint8_t* data, std::size_t size);        // IniFile, settings, Login.ini
int fuzzCsv(const std::uint8_t* data, std::size_t size);        // parseCsv, address book files
int fuzzTree(const std::uint8_t* data, std::size_t size);       // treedata1.dat / treedata2.dat
int fuzzMimeDef(const std::uint8_t* data, std::size_t size);    // mime.def, desktop Exec lines
int fuzzMailboxPair(const std::uint8_t* data, std::size_t size); // a .idx + .mbx pair
int fuzzParser(const std::uint8_t* data, std::size_t size);     // received messages, decoders
int fuzzAttachIdx(const std::uint8_t* data, std::size_t size);  // attach.idx and its files
int fuzzRc4(const std::uint8_t* data, std::size_t size);        // RC4 and the line cipher
int fuzzAnswer(const std::uint8_t* data, std::size_t size);     // reply, edit and forward of received text
int fuzzUnicodeText(const std::uint8_t* data, std::size_t size); // charset conversion, UTF-8 checks and cuts
int fuzzHtmlText(const std::uint8_t* data, std::size_t size);    // HTML mail made readable
int fuzzMailto(const std::uint8_t* data, std::size_t size);      // mailto: links

// Name (also the executable, corpus and regression directory name) and entry of each target.
struct FuzzTarget {
    const char* name;
    int (*entry)(const std::uint8_t*, std::size_t);
};
const std::vector<FuzzTarget>& fuzzTargets();

// What a libFuzzer main does with an entry: a finding becomes a crash libFuzzer records.
inline int runFuzzEntry(int (*entry)(const std::uint8_t*, std::size_t), const std::uint8_t* data, std::size_t size)
{
    try {
        return entry(data, size);
    } catch (const FuzzFinding& f) {
        std::fprintf(stderr, "FUZZ FINDING: %s\n", f.what());
        std::abort();
    }
}

} // namespace tavik
