// Messages made by Python's email package (make_messages.py beside this file) with what an
// independent reading of them says each part holds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#include "support/test_support.h"

namespace tavik::test {

struct ExpectedFile {
    bool exact = true; // base64: byte for byte; otherwise after CR LF normalising
    std::string contentType, fileName, payloadFile;
};
struct ExpectedMessage {
    std::string file, subject, from;
    bool hasText = false;
    std::string textJoin; // the text after the main header, lines joined with CR LF
    std::vector<ExpectedFile> files;
};

inline std::string fromHexToken(const std::string& token)
{
    if (token.rfind("x:", 0) != 0)
        throw std::runtime_error("bad hex token " + token);
    std::string out;
    for (std::size_t i = 2; i + 1 < token.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(token.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::vector<ExpectedMessage> readManifest(const std::string& path)
{
    std::ifstream in(path);
    std::vector<ExpectedMessage> list;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, h;
        words >> key;
        if (key == "message") {
            list.emplace_back();
            words >> list.back().file;
        } else if (key == "subject") {
            words >> h;
            list.back().subject = fromHexToken(h);
        } else if (key == "from") {
            words >> h;
            list.back().from = fromHexToken(h);
        } else if (key == "textjoin") {
            words >> h;
            list.back().hasText = true;
            list.back().textJoin = fromHexToken(h);
        } else if (key == "file") {
            ExpectedFile f;
            std::string mode, type, name;
            words >> mode >> type >> name >> f.payloadFile;
            f.exact = mode == "exact";
            f.contentType = fromHexToken(type);
            f.fileName = fromHexToken(name);
            list.back().files.push_back(f);
        }
    }
    return list;
}

// Runs make_messages.py into `outDir` (created) and reads its manifest; empty on failure.
inline std::vector<ExpectedMessage> makePythonMessages(const std::string& outDir)
{
    const std::string script =
        tavik::test::testDataDir() + "../pop3/make_messages.py";
    std::filesystem::create_directories(outDir);
    const std::string command = "/usr/bin/python3 '" + script + "' '" + outDir + "'";
    if (std::system(command.c_str()) != 0)
        return {};
    return readManifest(outDir + "/manifest.txt");
}

// LF line ends made CR LF (CR LF stays).
inline std::string crlfLines(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            out += '\r';
        out += s[i];
    }
    return out;
}

} // namespace tavik::test
