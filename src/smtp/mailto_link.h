// mailto: links (RFC 6068) read into what a composition window is filled with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// What a mailto: link asks for: one address an entry, as the composition window's fields hold
// one recipient a line; every text is UTF-8, and addresses and the subject are one line each.
struct MailtoLink {
    std::vector<std::string> to, cc, bcc;
    std::string subject, body; // body lines end in "\n"
};

// Reads a "mailto:" link (the scheme in any case). Percent-escapes are decoded to UTF-8 (bytes
// that are not UTF-8 are read as Windows-1252); "+" stays "+". Addresses are split at commas
// outside quotes and angle brackets. The path and every "to" field add
// to To, "cc" and "bcc" fields add to theirs, the first "subject" and "body" count. Every other
// field is ignored: a link must not attach files, name a sender or add headers. Nullopt for
// anything that is not a mailto: link.
std::optional<MailtoLink> parseMailtoLink(std::string_view link);

} // namespace tavik
