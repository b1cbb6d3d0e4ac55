// The stored form of an outgoing message: the text composition files into "Sent", "To Send" or
// the drafts mailbox (a plain header block, an empty line, the body and the signature), its
// filing with the attachment records, and its reading back by the outbox, which rebuilds the
// SendMail properties (recipients, extra headers, subject, body, attachments) from it.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "profile/settings.h"
#include "smtp/message_writer.h"

namespace tavik {

class TNMailBox;
class TAttachmentManager;
struct TMIMEAttachment;

// Standard mailbox numbers of the outgoing side.
inline constexpr int kSentMailbox = 2;
inline constexpr int kToSendMailbox = 3;

// Composition's refusal of a message without any address line.
inline constexpr const char* kNoAddressText = "Sorry, but you have not specified any address to send it.";
// The marking of an enciphered message: on the wire as it stands, in the stored copy followed
// by a blank and the password.
inline constexpr const char* kEncoderMarking = "X-Encoder: RC4 internal";
// The attachment table of a composition window holds this many descriptors.
inline constexpr std::size_t kMaxComposedAttachments = 50;

// What a composition window holds when one of its commands files the message.
struct ComposedMessage {
    std::vector<std::string> ToLines, ccLines, BccLines; // as typed: one recipient a line
    std::string Subject;
    int Priority = 1;          // cbPriority: 0 High, 1 Normal, 2 Low; any other value: none
    bool Receipt = false;      // checkReceipt: ask for a return receipt
    bool Encrypt = false;      // checkEncrypt: body and signature enciphered under Password
    std::string Password;      // editEncryptPwd (at most 8 characters are used by the cipher)
    std::vector<std::string> Body; // the lines of Memo1
    std::vector<TOutgoingAttachment> Attachments; // Encoding stays 0 (automatic)
    // The message's origin, the same on the wire and in the stored copy; filing stamps what is
    // not set yet (stampOrigin).
    std::time_t Time = 0;      // its "Date:"
    std::string MessageId;     // its "Message-ID:" value, "<...@...>"
    // Threading of a reply: the original's Message-ID, and the References chain ending with it.
    std::string InReplyTo, References;
};

// "Tue, 3 Jun 2025 14:05:09 +0200": RFC 5322's date of `when` in local time, with the zone as
// a number (English day and month names, whatever the locale).
std::string rfc5322Date(std::time_t when);
// A new, unique Message-ID value "<...@domain>"; the domain is that of `returnAddress` (after
// its last "@") when it is a plain domain, else "localhost".
std::string newMessageId(const std::string& returnAddress);
// Gives `message` its Time (`now`) and MessageId when they are not set yet.
void stampOrigin(ComposedMessage& message, const ProfileSettings& settings, std::time_t now);
// The origin and threading header lines of a message: "Date: ", "Message-ID: " (when set),
// "In-Reply-To: " and "References: " (when set).
std::vector<std::string> originHeaders(const ComposedMessage& message);
// Gives a stored text written before every copy carried them a "Date:" with a zone (`now`,
// replacing one without) and a "Message-ID:", after its last header line; true when it changed.
bool completeOriginHeaders(std::vector<std::string>& text, std::time_t now, const std::string& returnAddress);

// The priority pair of a cbPriority index ("X-Priority: 1", "X-MSMail-Priority: High", ...);
// none for an index outside 0 to 2.
std::vector<std::string> priorityHeaders(int priority);

// The stored form, line by line: From, Reply-To (when set), the To, cc and Bcc lines as typed,
// "Date: " + `date`, Message-ID, In-Reply-To and References (when set), Subject (when not empty), the priority pair, Return-receipt-to (receipt),
// "X-Encoder: RC4 internal " + password (encrypt), X-Encoder-Verify with the cipher self-test,
// X-Mailer, the empty line, and the body (each line enciphered when encrypt). The signature is
// not part of it: the filing commands append it.
std::vector<std::string> BuildStoredCopy(const ProfileSettings& settings, const ComposedMessage& message,
                                         const std::string& date);

// The signature for a filing command when `UseSignature` is on: " " followed by the lines of
// profileDirectory + "signatur.def". A missing, unreadable or empty file gives nothing and
// switches `UseSignature` off in `settings` (for the rest of the process).
std::vector<std::string> LoadSignature(const std::string& profileDirectory, ProfileSettings& settings);

// The block a random signature takes from `lines` for the pick `r` (0 up to the index of the
// last empty line): the lines from the start of the block that holds line r up to, not
// including, the next empty line.
std::vector<std::string> signatureBlock(const std::vector<std::string>& lines, std::size_t r);
// The random signature when `PluggInSig` is on: one whole block of `PluggInSigFile`, picked by
// `pick(L)` (a number from 0 to L; uniformly random when not given). A missing or unreadable file, or one without any empty
// line, gives nothing and switches `PluggInSig` off in `settings`.
std::vector<std::string> RandomSignature(ProfileSettings& settings,
                                         const std::function<std::size_t(std::size_t)>& pick);

// Files a stored copy as composition's commands do: target mailbox selected, the origin stamped
// (stampOrigin with `now`), BuildStoredCopy with rfc5322Date, the signature lines appended
// (enciphered when the message is), the index fields (`msgFrom`, the subject, flag "U" or "V"
// (read) in "Sent", the date), one attachment record per descriptor (the file is not
// copied: Location is its path, Size its size now), and AppendMessage. Every attachment file is
// looked at before anything is written: a missing one, a path the record cannot hold, or more
// than kMaxComposedAttachments raise FileError with nothing filed. Returns the message's
// number in the target.
int FileStoredCopy(TNMailBox& store, TAttachmentManager& attachments, int target, const ProfileSettings& settings,
                   const ComposedMessage& message, const std::vector<std::string>& signature,
                   const std::string& msgFrom, std::time_t now);

// Composition's "Send later": the signature loaded, at least one address line required
// (std::invalid_argument with kNoAddressText otherwise, nothing filed), and the copy filed in
// "To Send" with the first To line as typed (else the first cc, else the first Bcc line) as its
// From field. Returns the message's number in "To Send".
int SendLater(TNMailBox& store, TAttachmentManager& attachments, ProfileSettings& settings,
              const std::string& profileDirectory, const ComposedMessage& message, std::time_t now,
              const std::function<std::size_t(std::size_t)>& pick = {});

// What the outbox does with one stored header line.
enum class StoredHeaderUse {
    To,      // "To: ": a To recipient
    cc,      // "cc: ": a cc recipient
    Bcc,     // "Bcc: ": a Bcc recipient (never written into the message)
    Header,  // passed on to `Headers`
    Dropped, // "From: ", "Subject: " and every other line
};
// The use of `line`; for Header, `wire` receives the line as it goes out: unchanged, except
// that an "X-Encoder:" line carrying "RC4 internal" goes out as "X-Encoder: RC4 internal",
// without the password stored after it.
StoredHeaderUse classifyStoredHeader(const std::string& line, std::string& wire);

// The recipient entry (address "|" name) of the rest of a "To: ", "cc: " or "Bcc: " line, split
// with SplitAddress; the address without surrounding blanks. Empty when it names no address.
std::string recipientEntry(const std::string& addressLine);

// Rebuilds the SendMail properties of a stored text into `message`: the lines before the first
// empty line are headers (recipients to ListTo, Listcc, ListBcc in order; passed lines to
// Headers), the lines after it the body, unchanged (an enciphered body stays enciphered). The
// subject is the whole value of the stored "Subject: " line. The sender and attachments are left
// alone.
void ReadStoredCopy(const std::vector<std::string>& text, OutgoingMessage& message);

// The descriptor of attachment record `record` for sending: its file name, content type,
// "attachment", description and location, Encoding 0 (automatic).
TOutgoingAttachment outgoingAttachment(const TMIMEAttachment& record);

// The SendMail properties of the store's current message (its text loaded): the sender from
// the settings (RetAddr, Name), ReadStoredCopy, and one descriptor per attachment record from
// Msg_AttachStart to Msg_AttachEnd. A range the index cannot hold (more than 256 records, or
// end before start) and a record the message cannot carry raise FileError: the message would
// otherwise go out without its files.
OutgoingMessage QueuedOutgoingMessage(const ProfileSettings& settings, const TNMailBox& store,
                                      TAttachmentManager& attachments);

} // namespace tavik
