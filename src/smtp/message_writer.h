// The message writer: the whole text of an outgoing message, written in one pass after the
// server accepted DATA, through a sink the SMTP session provides (a buffer in tests). Headers,
// the MIME structure, the body and every attachment in one of four forms; dot transparency on
// every line. Nothing is assembled in memory beyond the body text and bounded file blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavik {

// Progress codes of a send (the session reports all of them; the writer gives 5, 6, 7, 10, 11).
enum SendMailInfo : int {
    Info_Connected = 0,
    Info_Received = 1,
    Info_Sending = 2,
    Info_Disconnected = 3,
    Info_MailSent = 4,
    Info_Attachment = 5,         // an attachment part begins; addinfo: its file path
    Info_AttachmentSize = 6,     // a base64 part begins; addinfo: the file size, decimal
    Info_AttachmentProgress = 7, // after each base64 line; addinfo: bytes encoded so far
    Info_RecipientRejected = 8,
    Info_Recipient = 9,
    Info_BodySize = 10,          // the body begins; addinfo: its length in bytes
    Info_BodyProgress = 11,      // after each body chunk or fed string; addinfo: bytes so far
    Info_Busy = 13,
    Info_Resolved = 14,
    Info_Resolving = 15,
};

// Transfer forms of an attachment (`TOutgoingAttachment::Encoding`).
enum AttachmentEncoding : std::uint8_t {
    kEncodingAutomatic = 0,
    kEncodingBase64 = 1,
    kEncodingQuotedPrintable = 2,
    kEncodingPlainText = 3,
    kEncodingUuencode = 4,
};

// Room of the descriptor's fields, in bytes; AddAttachment cuts longer values (Path excepted).
inline constexpr std::size_t kAttachmentNameRoom = 255;
inline constexpr std::size_t kAttachmentMimeTypeRoom = 80;
inline constexpr std::size_t kAttachmentDispositionRoom = 30;
inline constexpr std::size_t kAttachmentDescriptionRoom = 255;
inline constexpr std::size_t kAttachmentPathRoom = 255;
// Slots of the descriptor table; slot i belongs to line i of `Attachments` (from 1).
inline constexpr std::size_t kAttachmentSlots = 256;
// Longest address the session may put into "MAIL FROM:<" + address + ">" within SendLine's limit.
inline constexpr std::size_t kMaxAddressLength = 241;

// Describes one file to send; copied by value.
struct TOutgoingAttachment {
    std::string Name;              // announced name; empty: the file name of Path
    std::uint8_t Encoding = kEncodingAutomatic; // the writer stores the form it chose
    std::string MimeType;          // empty: "application/octet-stream"
    std::string Disposition;       // empty: "attachment"
    std::string Description;       // empty: no Content-Description line
    std::string Path;              // full path of the file
};

// The message data a `SendMail` holds as its properties; the session owns one and hands it to
// the writer. List entries of ListTo, Listcc and ListBcc are address "|" display name.
struct OutgoingMessage {
    std::string FROM_Name, FROM_Address;
    // The first recipient, for the session: BeginSend puts it into ListTo, which the writer reads.
    std::string TO_Name, TO_Address;
    // Text is UTF-8; the writer reads bytes that are not (an old 8-bit copy) as Windows-1252.
    std::string Subject;
    std::vector<std::string> MailText;  // body lines; cipher text when Headers carry the marking
    std::vector<std::string> ListTo, Listcc, ListBcc;
    std::vector<std::string> Headers;   // extra header lines, "Name: value"
    std::vector<std::string> Attachments; // one file path per attachment
    // Slot i + 1 of the descriptor table; an empty slot sends its `Attachments` line as base64.
    std::array<std::optional<TOutgoingAttachment>, kAttachmentSlots> AttachmentSlots;

    // Copies the descriptor into the next slot and appends its Path to Attachments; fields are
    // cut to their room at a character boundary. Returns false, adding nothing, when 256 attachments are held already or
    // the path is longer than kAttachmentPathRoom (a cut path would name another file).
    bool AddAttachment(const TOutgoingAttachment& descriptor);
    // Empties every slot and Attachments.
    void ClearAttachments();
};

// Why the attachment file `path` cannot be sent ("Attachment \"path\": cannot be opened: ..."),
// empty when it opens for reading as a regular file.
std::string attachmentProblem(const std::string& path);
// attachmentProblem of the first attachment of `message` that has one; empty when none has.
std::string unreadableAttachment(const OutgoingMessage& message);

// Longest display name a recipient entry carries, in bytes.
inline constexpr std::size_t kMaxDisplayName = 999;

// Splits a recipient entry at its first "|" into address and display name (at most
// kMaxDisplayName bytes, cut at a character boundary); an entry without "|" is an address with
// an empty name.
std::pair<std::string, std::string> SplitRecipient(std::string_view entry);

// True when one of `headers` is the encoder marking ("X-Encoder:" holding "RC4 internal"): the
// body is cipher text, which goes out as its bytes.
bool carriesCipherMarking(const std::vector<std::string>& headers);

// True when the address can go into a command and a header as it is: at most kMaxAddressLength
// bytes, no control byte (CR, LF, NUL, ...), no "<" or ">". The session refuses other senders and
// recipients instead of letting them inject commands or header lines.
bool isSafeAddress(std::string_view address);
// isSafeAddress of the address part of a recipient entry.
bool isSafeRecipient(std::string_view entry);

// Where the writer's text goes. The writer never passes SendLine a CR, an LF or more than
// kMaxCommandLine characters, applies dot transparency itself, and never sends the terminating
// "." (the session does, after a completed write).
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Sends the line followed by CR LF.
    virtual void SendLine(std::string_view line) = 0;
    // Sends the text unchanged.
    virtual void SendText(std::string_view text) = 0;
    // Sends the bytes unchanged.
    virtual void SendData(const char* bytes, std::size_t count) = 0;
    // True once the send has ended (stop, cancel, socket error); the writer then stops at once.
    virtual bool Finished() const = 0;
};

// How WriteMessage ended.
struct WriteResult {
    enum Outcome {
        Written, // the whole text went out: the session sends "." now
        Stopped, // the sink reported Finished: nothing more is sent
        Failed,  // an attachment could not be read: the session reports error 4 and finishes
    };
    Outcome outcome = Written;
    std::string failure; // for Failed: what went wrong, naming the file
};

// Writes one message from an OutgoingMessage to a sink: a body with characters beyond ASCII as
// UTF-8, quoted-printable; header texts as UTF-8 encoded words. Holds references only; the
// message and the sink outlive it. WriteMessage may be called again for the next message.
class MessageWriter {
public:
    MessageWriter(OutgoingMessage& message, MessageSink& sink);

    // Progress (codes 5, 6, 7, 10, 11), called only when set.
    std::function<void(SendMailInfo info, const std::string& addinfo)> OnMailInfo;
    // Extra body text: called with an empty string until it leaves it empty.
    std::function<void(std::string& data)> OnFeedData;

    // Writes the message up to, not including, the terminating ".". Descriptors with automatic
    // form get the chosen form stored. Never throws for an unreadable attachment: that is Failed.
    WriteResult WriteMessage();

    // Whether the text of the last message went quoted-printable.
    bool BodyNeedsQP() const { return bodyNeedsQP_; }

private:
    class Stream;
    void info(SendMailInfo code, std::size_t value);
    void info(SendMailInfo code, const std::string& text);
    void writeHeader(Stream& out, const std::string& folded);
    void writeAttachment(Stream& out, TOutgoingAttachment& descriptor);

    OutgoingMessage& message_;
    MessageSink& sink_;
    bool bodyNeedsQP_ = false;
    std::string charset_;
};

} // namespace tavik
