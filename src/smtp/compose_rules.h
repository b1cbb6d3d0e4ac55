// The rules of the composition window that need no window: its fields' lines, the recipient
// entries, the headers a message goes out with, its send-now properties, the address-book
// exchange, the drafts target and the texts of its questions.
#pragma once

#include <string>
#include <vector>

#include "profile/settings.h"
#include "smtp/message_writer.h"
#include "smtp/stored_copy.h"

namespace tavik {

class TNMailBox;

// The standard mailbox a draft falls back to.
inline constexpr int kDraftsMailbox = 4;
// The most characters an entry returned by the address book puts into a recipient field.
inline constexpr std::size_t kMaxReturnedRecipient = 99;

// The lines of a text field: split at line breaks (LF, CR LF or CR); a final line break adds no
// line and an empty field has none.
std::vector<std::string> fieldLines(const std::string& text);
// The lines of a recipient field: as fieldLines, without the lines holding only blanks, each of
// which would otherwise become a recipient without an address.
std::vector<std::string> recipientLines(const std::string& text);

// The recipient entry of one recipient line: a line without "<" is an address and gives it +
// "|"; otherwise the address is the text after the first "<" without its last character (the
// closing ">") and the name the text before the first " <" (empty without one). Blanks around
// the line are ignored.
std::string composedRecipientEntry(const std::string& line);

// The extra header lines of a message sent now: Reply-To when set, the priority pair,
// Return-receipt-to (receipt), "X-Encoder: RC4 internal" without the password (encrypt) and
// X-Mailer.
std::vector<std::string> wireHeaders(const ProfileSettings& settings, const ComposedMessage& message);

// The SendMail properties of a message sent now: the sender from the settings, the three lists
// from the fields, the origin headers (when the message was stamped: stampOrigin) and the wire
// headers, subject, body, attachments, and `signature` (the signature and
// random signature lines) appended to the body; body and signature enciphered line by line when
// the message is. Throws FileError when an attachment cannot be carried (more than the session
// holds, or a path too long for its record).
OutgoingMessage composeOutgoing(const ProfileSettings& settings, const ComposedMessage& message,
                                const std::vector<std::string>& signature);

// The first recipient of the message: its first To entry, else its first cc, else its first Bcc
// entry (address "|" name); empty without recipients.
std::string firstRecipientEntry(const ComposedMessage& message);
// `Msg_From` of a message sent now: the first recipient's name + " <" + address + ">".
std::string sentCopyFrom(const ComposedMessage& message);
// The first recipient line as typed (To, else cc, else Bcc): `Msg_From` of queued and draft copies.
std::string firstRecipientLine(const ComposedMessage& message);

// "Message "subject" for address cannot be sent." CR LF "It will be stored in the "To Send"
// folder."
std::string cannotBeSentText(const std::string& subject, const std::string& address);
// The discard question of a window closed without sending or filing.
std::string discardQuestion(const std::string& subject);

// The send list the address book starts with: "To: " + line for every To line, then "cc: " and
// "Bcc: " lines.
std::vector<std::string> addressBookSendList(const ComposedMessage& message);
// Sorts the address book's send list back into the three fields (replacing them): an entry
// holding "To: " goes to To, else one beginning with "cc: " to cc, else one holding "Bcc: " to
// Bcc; the rest after the prefix is taken, at most 99 characters. Other entries are dropped.
void sortBackSendList(const std::vector<std::string>& entries, std::vector<std::string>& to,
                      std::vector<std::string>& cc, std::vector<std::string>& bcc);

// The mailbox a draft is filed in: the last entry of `mailboxes` whose display name equals
// `draftsName`, else the standard "Drafts" mailbox (never whatever mailbox happens to be
// selected, which after an outbox run is "To Send").
int draftsTarget(const MailboxList& mailboxes, const std::string& draftsName);

// A draft filed by composition read back into what its window held: the To, cc and Bcc lines as
// typed, the whole subject, the priority (Normal without one), the receipt request, the
// encryption and its password, and the body (the lines after the header block, deciphered when
// the draft is enciphered). `signature` lines ending the body are the ones filing appended and
// are left out, so saving again does not add them twice. Attachments are the caller's.
ComposedMessage reopenedDraft(const std::vector<std::string>& storedText, const std::vector<std::string>& signature);

// A reopened draft's place in the store, to replace it when the draft is saved again: its
// mailbox, its number then, and what tells it apart should its number change meanwhile.
struct DraftOrigin {
    int mailbox = 0;
    int message = 0;
    std::string from, subject, date;
    std::vector<std::string> text;
};
// Removes the draft `origin` names: the message of that number when it is still the same one,
// else the first message of the mailbox with the same index fields and text. False, removing
// nothing, when it is no longer there (deleted or moved meanwhile).
bool removeReopenedDraft(TNMailBox& store, const DraftOrigin& origin);

// The warning for lines that, enciphered under `password`, would not decipher again once stored
// and read back (the escape cannot carry them, or the cipher text holds a line break); empty when
// every line is safe. Lines are numbered from 1 in the order given.
std::string cipherWarning(const std::vector<std::string>& lines, const std::string& password);

} // namespace tavik
