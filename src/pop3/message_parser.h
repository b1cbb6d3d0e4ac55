// The streaming parser of received messages: fed the lines of a RETR answer one at a time, it
// collects the summary header fields, keeps the readable text as lines and writes every other
// MIME part, decoded, into a file whose path its owner supplies. The readable text is chosen as
// current mail readers choose it, at any depth: the plain alternative, else the HTML made
// readable; the root of a related part; the signed part of a signature; and every inline text
// part of a mixed one, the first plain one first. It also serves the header
// preview (the answer to "TOP n 0"). It knows nothing of sockets: the POP3 session recognises
// the end of an answer, removes the stuffed dots and calls the parser.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pop3/attachment_store.h"
#include "pop3/mime_decoders.h"
#include "text/flowed_text.h"
#include "text/unicode_text.h"
#include "text/uuencode.h"

namespace tavik {

// Every bound the parser puts on a message, in one place. Reaching one never fails the
// message; what lies beyond it is dropped (or split, for long text lines) as each one says.
struct ParserLimits {
    // A kept body line longer than this becomes several lines of at most this length; a kept
    // header line is cut to it.
    std::size_t maxTextLineBytes = 64 * 1024;
    // MessageText in memory (each line counts its bytes plus sizeof(std::string)); lines
    // beyond are dropped and MessageTextTruncated is set.
    std::size_t maxTextBytes = 16 * 1024 * 1024;
    // One header block (each line counts its bytes plus 2); later lines of the block are
    // neither kept nor read, up to the empty line that ends it.
    std::size_t maxHeaderBytes = 1024 * 1024;
    // One header field with its continuation lines; the rest of the field is dropped.
    std::size_t maxHeaderFieldBytes = 64 * 1024;
    // Open multipart levels (the size of the boundary table); a multipart part deeper than
    // this is skipped with everything in it.
    int maxBoundaryDepth = 33;
    // Parts of one message over all levels; later parts are skipped.
    int maxParts = 1000;
    // Longest boundary used; a multipart with a longer one is treated as having none.
    std::size_t maxBoundaryBytes = 200;
};

// True when a raw line of a multi-line POP3 answer is its terminating "." (exactly that).
bool isEndOfAnswer(std::string_view rawLine);
// A raw answer line (not the terminator) without the dot the server stuffed in front of a
// line that begins with ".".
std::string_view unstuffAnswerLine(std::string_view rawLine);
// The size a RETR or TOP answer announces: the digits just in front of " octets" (at most
// 99), empty when there is no " octets".
std::string answerSizeText(std::string_view answer);

// Event types, as the session's owner sees them.
using TGMDataEvent = std::function<void(const std::string& data)>;
using TAttachmentEvent = std::function<void(TMIMEAttachmentPtr attachment)>;
using TGetHeadersEvent = std::function<void()>;
using TGetMessageEvent = std::function<void()>;
using TParserInfoEvent = std::function<void(int info, const std::string& addinfo)>;

// One parser per session, reused for every message. A message runs beginMessage, feedLine
// for each line after the status line, endMessage at the "." line; a preview runs
// beginPreview, feedPreviewLine, endPreview. The message values are valid inside
// OnMessageLoaded / OnHeadersLoaded and are cleared when the handler returns. A part file
// left open by a message that is abandoned (beginMessage again, or the parser destroyed)
// is removed without OnAttachmentStored.
class MessageParser {
public:
    // Line states, numbered as in the session's state field.
    enum LineState : int {
        Idle = 0,
        PreviewHeader = 6, // header lines of a TOP answer
        Body = 2,          // main header, single-part text body, lines after the last boundary
        PartBody = 8,      // a part written to a file
        PartHeader = 9,
        FirstTextPart = 10, // a text part kept as readable text
        SingleFile = 11,   // body of a single-part message that is not text, written to a file
        Skipping = 12      // lines up to the next boundary
    };

    explicit MessageParser(const ParserLimits& limits = ParserLimits());
    ~MessageParser();
    MessageParser(const MessageParser&) = delete;
    MessageParser& operator=(const MessageParser&) = delete;

    // The status line of a RETR answer (state 1). A "-" answer raises OnMailError(13,
    // "Unexpected response: " + answer) and returns false (the session ends). Otherwise the
    // message starts: values cleared, OnMailInfo(3, size text), state 2.
    bool beginMessage(std::string_view answer);
    // One line of the message, without its CR LF and with the stuffed dot removed. Raises
    // OnMailInfo(4, bytes so far). A line "." here is text like any other.
    void feedLine(std::string_view line);
    // The end of the message (the "." line): closes an open part file (OnAttachmentStored),
    // keeps text held back by a soft line break, raises OnMessageLoaded, clears the values.
    void endMessage();

    // The status line of a TOP answer; as beginMessage, then the preview's lines follow.
    bool beginPreview(std::string_view answer);
    // One line of the preview (unstuffed); kept as received, summary fields taken.
    void feedPreviewLine(std::string_view line);
    // The "." line of the preview: OnHeadersLoaded, then the values are cleared.
    void endPreview();

    // The current line state (a LineState).
    int State() const { return state_; }
    const ParserLimits& Limits() const { return limits_; }

    // Message values.
    std::vector<std::string> MessageText;  // readable lines, UTF-8: main header (a field a line, unfolded), empty line, text; NUL -> blank
    std::string From, To, Subject, Date;   // last field of that name, encoded words decoded, UTF-8
    std::string XUIDL;                     // last "X-UIDL" value; kept from message to message
    std::int64_t MessageSize = 0;          // bytes of the lines received (each with CR LF)
    bool MessageTextTruncated = false;     // lines were dropped at maxTextBytes
    std::string LastFileError;             // why the last part file failed; empty when none

    // Events, called only when set.
    TGMDataEvent OnMessageData;              // each line just before it joins MessageText
    TAttachmentEvent OnAttachmentGetLocation; // end of a part's header: set Location
    TAttachmentEvent OnAttachmentStored;     // part done, file closed, Size filled in
    TGetHeadersEvent OnHeadersLoaded;        // end of a preview
    TGetMessageEvent OnMessageLoaded;        // end of a message
    TParserInfoEvent OnMailInfo;             // info 3 (size announced) and 4 (bytes so far)
    TParserInfoEvent OnMailError;            // error 13 for a "-" answer

private:
    class PartFileWriter;

    // An open multipart level.
    struct Level {
        enum Kind { Mixed, Alternative, Related, Signed, Digest };
        std::string boundary;
        Kind kind = Mixed;
        std::string start;   // related: the Content-ID of its root; empty: the first part
        bool shown = true;   // lies in what a reader displays
        int child = 0;       // parts begun at this level
        int plainBranch = 0; // alternative: the part that holds the plain text
        int htmlBranch = 0;  // alternative: the part whose HTML stands for it until plain text comes
        std::uint64_t id = 0;
    };
    // A stretch of the readable text: a text part, HTML made readable, or text outside the parts.
    struct Segment {
        enum Kind { Plain, Html, Other };
        Kind kind = Plain;
        std::vector<std::string> lines;
        bool dropped = false; // HTML that turned out to be an alternative: an attachment instead
        bool direct = false;  // its lines went straight to MessageText
    };
    // HTML that may be the text, held until the message shows whether it is.
    struct HeldHtml {
        TMIMEAttachment record;
        std::string bytes;
        std::string charset;
        std::size_t segment = 0;
        std::vector<std::pair<std::uint64_t, int>> branches; // (alternative level, its part)
        bool dropped = false; // stored as an attachment instead
    };

    void startAnswer(LineState state, std::string_view answer);
    void clearPart();
    void clearMessageValues();
    void takeLine(std::string_view line);
    void mainHeaderLine(std::string_view line);
    void keepHeaderField();
    void headerLine(std::string_view line);
    void flushField();
    void mimeField(std::string_view name, std::string_view value);
    void finishHeader();
    void endMainHeader();
    void endPartHeader();
    void openLevel(bool shown);
    bool childShown(const Level& parent) const;
    bool isAttachmentDisposition() const;
    void startTextPart(Segment::Kind kind);
    void startHtmlPart(LineState state);
    void textFound();
    void nextPart();
    int matchBoundary(std::string_view line, bool& close) const;
    void onBoundary(int level, bool close);
    void dropLevels(std::size_t keep);
    void endPartBody(bool messageEnd);
    void startFile(LineState state);
    void writeLine(std::string_view line);
    void sinkWrite(const char* p, std::size_t n);
    char* sinkReserve(std::size_t n);
    void sinkCommit(std::size_t n);
    void closeFile(bool finalLineEnd);
    void spillHeldHtml();
    void storeHeld(TMIMEAttachment record, std::string_view bytes);
    void assembleText();
    void startText(std::string_view charset);
    void keepBodyLine(std::string_view line, int encoding);
    void keepText(std::string&& line);
    void keepBase64Text(std::string_view line);
    void takeBase64Lines(bool end);
    void finishText();
    void keepDecoded(std::string&& line);
    void keepTextLine(std::string&& line);
    void endUuBlock(bool complete);
    void keepFlowed(std::string&& line);
    void keepCut(std::string&& line);
    void keepLine(std::string line);
    void flushTextCarry();
    bool usableBoundary() const;

    ParserLimits limits_;
    LineState state_ = Idle;
    bool preview_ = false;
    bool inHeaders_ = false;
    int transferEncoding_ = 0; // 0 plain, 1 base64, 2 quoted-printable: the current header block
    int mainEncoding_ = 0;     // the main header's, for the main body and the lines after the parts
    int decodeMode_ = 0;       // the encoding of the file being written
    bool multipart_ = false;
    std::vector<Level> levels_; // open multipart levels, outermost first
    std::uint64_t levelIds_ = 0;
    int partCounter_ = 0;
    bool noFile_ = true;
    bool pendingLineEnd_ = false; // CR LF owed before the next line of a plain part file
    std::string mediaType_;       // Content-Type up to ";", not cut
    std::string boundary_;
    std::string charset_;     // the current header block's charset parameter
    std::string mainCharset_; // the main header's
    std::string start_;       // the related start parameter
    std::string contentId_;   // Content-ID, not cut
    bool flowed_ = false;     // format=flowed
    bool delSp_ = false;
    std::string dispositionFileName_;
    std::string typeName_;
    std::string pendingField_;
    bool havePendingField_ = false;
    std::string keptField_; // the main header's field being unfolded for MessageText
    bool haveKeptField_ = false;
    std::size_t headerBytes_ = 0;
    std::size_t textBytes_ = 0;
    std::int64_t byteCount_ = 0;
    TMIMEAttachment attachment_;
    QuotedPrintableDecoder textQp_;
    CharsetDecoder textCharset_{std::string_view()}; // the kept text's charset, into UTF-8
    std::string textConverted_; // converted text not yet ended by a line break
    Base64Decoder textBase64_;  // a base64 text's decoder
    std::string base64Text_;    // its decoded bytes not yet ended by a line break
    bool textIsBase64_ = false;
    Base64Decoder base64_;
    std::string scratch_;
    std::unique_ptr<PartFileWriter> file_;

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<Segment> segments_;
    std::size_t segment_ = kNone; // where kept text goes; kNone: the header, straight to MessageText
    std::vector<HeldHtml> held_;
    std::size_t holding_ = kNone; // the HTML part being read into memory
    std::size_t reservedAt_ = 0;
    std::size_t heldBytes_ = 0; // bytes of all HTML held
    std::size_t headerLines_ = 0; // MessageText's lines up to the header's empty line
    std::vector<std::string> preamble_; // a level's lines before its first delimiter
    std::size_t preambleBytes_ = 0;
    std::unique_ptr<FlowedText> flowedText_;
    std::vector<std::string> flowedOut_;
    bool inUu_ = false;
    std::string uuName_;
    std::string uuBytes_;
    std::vector<std::string> uuLines_; // the block as received, kept should it prove no block
    std::size_t uuLineBytes_ = 0;
    UuDecoder uu_;
};

} // namespace tavik
