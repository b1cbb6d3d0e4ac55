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

// The three ways of beginning a message from a stored one.
enum class AnswerMode { Reply, Edit, Forward };

// The mode named by `mode` ("reply", "edit", "forward", any letter case); nullopt for another.
std::optional<AnswerMode> answerModeOf(const std::string& mode);

// The stored message an answer starts from, as the mailbox store gives it.
struct AnswerSource {
    std::vector<std::string> text; // Msg_Text: header lines, an empty line, the body
    std::string subject;           // Msg_Subject (the index keeps 40 characters of it)
    std::string from;              // Msg_From (the index keeps 80 characters of it)
    bool viewerWindow = false;     // the command comes from a viewer window, not a mailbox window
    bool fullHeaders = false;      // the FullHeaders setting
};

// What the composition window receives.
struct AnswerText {
    std::string SubjectEdt;
    // One entry of the To recipient list (address "|" name, or the bare address) and the
    // matching line of ToEdt (name " <" address ">", or the bare address). Both empty for a
    // forward, and when the sender names no address.
    std::string recipient;
    std::string ToEdt;
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

// The composition's subject, recipient and body for `mode`. The body carries the stored text
// (without the header lines and the empty line after them in a mailbox window unless
// fullHeaders), each line behind "> " for a reply, under kForwardedMessageLine for a forward.
// A carried "X-Encoder:" header line with "RC4 internal" loses the password stored after it.
AnswerText AnswerMessage(AnswerMode mode, const AnswerSource& source);

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
