// mailto: links (RFC 6068) read into what a composition window is filled with.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavik {

// What a mailto: link asks for. Addresses are comma-separated as the composition window's
// fields hold them; every text is UTF-8, and the address fields and subject are one line.
struct MailtoLink {
    std::string to, cc, bcc, subject, body; // body lines end in "\n"
};

// Reads a "mailto:" link (the scheme in any case). Percent-escapes are decoded to UTF-8 (bytes
// that are not UTF-8 are read as Windows-1252); "+" stays "+". The path and every "to" field add
// to To, "cc" and "bcc" fields add to theirs, the first "subject" and "body" count. Every other
// field is ignored: a link must not attach files, name a sender or add headers. Nullopt for
// anything that is not a mailto: link.
std::optional<MailtoLink> parseMailtoLink(std::string_view link);

} // namespace tavik
