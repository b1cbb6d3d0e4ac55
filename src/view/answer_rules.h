// What a reply, an edit or a forward of a stored message hands to a new composition, and the
// small text rules of attachments shown inside the reading windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// The line that opens the body of a forwarded message.
inline constexpr const char* kForwardedMessageLine = "------- Forwarded Message Follows -------";

// The ways of beginning a message from a stored one.
enum class AnswerMode { Reply, Edit, Forward, ReplyAll };

// The mode named by `mode` ("reply", "edit", "forward", "replyall", any letter case); nullopt
// for another.
std::optional<AnswerMode> answerModeOf(const std::string& mode);

// The stored message an answer starts from, as the mailbox store gives it.
struct AnswerSource {
    std::vector<std::string> text; // Msg_Text: header lines, an empty line, the body
    std::string subject;           // Msg_Subject (the index keeps 40 characters of it)
    std::string from;              // Msg_From (the index keeps 80 characters of it)
    bool viewerWindow = false;     // the command comes from a viewer window, not a mailbox window
    bool fullHeaders = false;      // the FullHeaders setting
    std::string date;              // Msg_Date, for a message without a "Date:" line
    // The user's own addresses, which a reply to all leaves out.
    std::vector<std::string> ownAddresses;
};

// What the composition window receives.
struct AnswerText {
    std::string SubjectEdt;
    // One entry of the To recipient list (address "|" name, or the bare address) and the
    // matching line of ToEdt (name " <" address ">", or the bare address). Both empty for a
    // forward, and when the sender names no address.
    std::string recipient;
    std::string ToEdt;
    // Further lines of ToEdt and the lines of ccEdt (same form as ToEdt): a Reply-To naming
    // several addresses, and the other recipients of a reply to all.
    std::vector<std::string> moreTo, cc;
    std::vector<std::string> Memo1;
    // A reply's threading: the original's Message-ID, and the References chain ending with it;
    // both empty when the original has no Message-ID, and for edit and forward.
    std::string inReplyTo, references;
};

// The sender an answer goes back to: the value of the message's last "From:" header line
// (folded lines joined, encoded words decoded), which holds the whole address; `from` when the
// header has no such line or it is empty.
std::string answerSender(const std::vector<std::string>& text, const std::string& from);
// The subject an answer starts from: the whole value of the last "Subject:" header line, as
// answerSender takes the sender; `subject` (the index's copy, cut to 40) without one.
std::string answerSubject(const std::vector<std::string>& text, const std::string& subject);

// The composition's subject, recipients and body for `mode`. The body carries the stored text
// (without the header lines and the empty line after them in a mailbox window unless
// fullHeaders). A reply quotes each line behind "> " under the attribution line; a forward puts
// it under kForwardedMessageLine and, when the header lines were left out, a block of the
// original's From, Date, To and Subject. A reply goes to the Reply-To addresses when there are
// any, else to the sender; a reply to all adds the original's To and cc, less ownAddresses and
// repeats. A carried "X-Encoder:" header line with "RC4 internal" loses its password.
AnswerText AnswerMessage(AnswerMode mode, const AnswerSource& source);

// "On <date>, <name> wrote:" (without a date: "<name> wrote:"); the name is the sender's
// display name, else its address.
std::string attributionLine(const std::string& date, const std::string& sender);
// "Re: " + subject, unless the subject already starts with a reply marker ("Re:", "AW:",
// "Re[2]:", "Re^2:", any letter case).
std::string replySubject(const std::string& subject);
// "(Fwd) " + subject, unless it already starts with a forward marker ("(Fwd)", "Fwd:", "Fw:").
std::string forwardSubject(const std::string& subject);
// The addresses of an address field's value, as written (name and address), split at the
// commas between them; a comma inside quotes, angle brackets or a comment stays.
std::vector<std::string> addressListEntries(const std::string& value);

// The line without its tags: every run from a "<" to the next ">" (both included) goes; a "<"
// with no ">" after it takes the rest of the line with it.
std::string StripTags(std::string_view line);

// The file-name part of a name taken from a message, safe as one path component: what follows
// its last "/" or "\", control characters as "_", without blanks around it; `fallback` when
// nothing usable is left (empty, "." or "..").
std::string attachmentFileNamePart(std::string_view name, const std::string& fallback = "noname");

// A text file's bytes as lines: broken at CR LF, LF or CR alone; a last line without its end
// counts, an end at the very end adds no empty line.
std::vector<std::string> textFileLines(std::string_view bytes);

} // namespace tavik
