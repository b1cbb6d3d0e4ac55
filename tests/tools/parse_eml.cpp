// Runs the message parser over one message file, as the POP3 session would feed it, and writes
// what it kept: the text after the header in text.txt, each attachment as its own file, and
// attachments.json listing them in order ({"name", "type", "file"}). The corpus comparison with
// Python's email reads these.
//
// Usage: parse_eml MESSAGE.eml OUTDIR
// The file is split at LF, a CR before it dropped; no dot-unstuffing (a file is not an answer).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pop3/message_parser.h"

namespace {

std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct Stored {
    std::string name, type, file;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: parse_eml MESSAGE.eml OUTDIR\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "parse_eml: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::filesystem::path outDir(argv[2]);
    std::filesystem::create_directories(outDir);

    tavik::MessageParser parser;
    std::vector<std::string> text;
    std::vector<Stored> stored;
    int issued = 0;
    // Files are numbered: names from a message may collide or be hostile.
    parser.OnAttachmentGetLocation = [&](tavik::TMIMEAttachmentPtr a) {
        a->Location = (outDir / ("part" + std::to_string(++issued))).string();
    };
    parser.OnAttachmentStored = [&](tavik::TMIMEAttachmentPtr a) {
        stored.push_back({a->FileName, a->ContentType, std::filesystem::path(a->Location).filename().string()});
    };
    parser.OnMessageLoaded = [&] { text = parser.MessageText; };

    parser.beginMessage("+OK " + std::to_string(data.size()) + " octets");
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t nl = data.find('\n', pos);
        std::size_t end = nl == std::string::npos ? data.size() : nl;
        std::size_t len = end - pos;
        if (len && data[end - 1] == '\r')
            --len;
        parser.feedLine(std::string_view(data).substr(pos, len));
        pos = nl == std::string::npos ? data.size() : nl + 1;
    }
    parser.endMessage();

    std::size_t first = 0;
    while (first < text.size() && !text[first].empty())
        ++first;
    std::string body;
    for (std::size_t i = first + 1; i < text.size(); ++i) {
        if (i > first + 1)
            body += '\n';
        body += text[i];
    }
    std::ofstream((outDir / "text.txt").string(), std::ios::binary) << body;

    std::string json = "[";
    for (std::size_t i = 0; i < stored.size(); ++i) {
        json += i ? ",\n " : "";
        json += "{\"name\": " + jsonString(stored[i].name) + ", \"type\": " + jsonString(stored[i].type) +
                ", \"file\": " + jsonString(stored[i].file) + "}";
    }
    std::ofstream((outDir / "attachments.json").string(), std::ios::binary) << json << "]\n";
    return 0;
}
