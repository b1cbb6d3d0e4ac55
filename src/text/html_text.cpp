#include "text/html_text.h"

#include "text/unicode_text.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace tavik {

namespace {

constexpr std::size_t kMaxLevels = 16;

// gumbo frees its tree recursively, so a deeply nested document would overflow the stack on
// the way out. Every block it allocates is kept on a list instead, and the whole tree goes at
// once without walking it. The list also counts the bytes held: markup can make gumbo build
// far more than its own size (formatting elements re-opened in every paragraph), and a parse
// that passes its budget is left at once.
struct alignas(std::max_align_t) Allocation {
    Allocation* prev;
    Allocation* next;
    std::size_t size;
};

struct LiveAllocations {
    Allocation head{&head, &head, 0};
    std::size_t held = 0;
    std::size_t budget = 0;
    std::jmp_buf overBudget;

    explicit LiveAllocations(std::size_t budgetBytes) : budget(budgetBytes) {}
    LiveAllocations(const LiveAllocations&) = delete;
    LiveAllocations& operator=(const LiveAllocations&) = delete;
    ~LiveAllocations()
    {
        for (Allocation* a = head.next; a != &head;) {
            Allocation* next = a->next;
            std::free(a);
            a = next;
        }
    }

    static void* allocate(void* self, std::size_t size)
    {
        auto* list = static_cast<LiveAllocations*>(self);
        if (list->held + size > list->budget)
            std::longjmp(list->overBudget, 1); // only gumbo's own C frames lie between
        auto* a = static_cast<Allocation*>(std::malloc(sizeof(Allocation) + size));
        if (!a)
            std::abort(); // gumbo cannot take a refusal
        a->size = size;
        list->held += size;
        a->prev = &list->head;
        a->next = list->head.next;
        list->head.next->prev = a;
        list->head.next = a;
        return a + 1;
    }

    static void deallocate(void* self, void* p)
    {
        if (!p)
            return;
        Allocation* a = static_cast<Allocation*>(p) - 1;
        static_cast<LiveAllocations*>(self)->held -= a->size;
        a->prev->next = a->next;
        a->next->prev = a->prev;
        std::free(a);
    }
};

// gumbo's tree, or nullptr when building it passed the budget of `memory`.
const GumboNode* parseWithin(LiveAllocations& memory, std::string_view html)
{
    GumboOptions options = kGumboDefaultOptions;
    options.allocator = &LiveAllocations::allocate;
    options.deallocator = &LiveAllocations::deallocate;
    options.userdata = &memory;
    options.max_errors = 0; // the parse errors are of no use here
    if (setjmp(memory.overBudget) != 0)
        return nullptr;
    const GumboOutput* output = gumbo_parse_with_options(&options, html.data(), html.size());
    return output->document;
}

// gumbo looks through all open elements for many start tags, so its time grows with the
// square of the nesting depth. Markup nested deeper than any mail is is read in pieces that
// each start where the depth passes this bound. The depth is estimated from the tags alone:
// start tags of elements that need an end tag, less their end tags; comments and the
// contents of script-like elements do not count.
constexpr long kMaxNestingDepth = 512;

bool equalsLowered(std::string_view s, std::string_view lower)
{
    if (s.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names)
{
    return std::any_of(names.begin(), names.end(), [&](std::string_view n) { return equalsLowered(name, n); });
}

std::vector<std::string_view> nestingPieces(std::string_view html)
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    long depth = 0;
    std::size_t i = 0;
    while ((i = html.find('<', i)) != std::string_view::npos) {
        const std::size_t tagStart = i;
        if (html.substr(i, 4) == "<!--") {
            const std::size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const bool endTag = i + 1 < html.size() && html[i + 1] == '/';
        std::size_t k = i + 1 + (endTag ? 1 : 0);
        const std::size_t nameStart = k;
        while (k < html.size() && (std::isalnum(static_cast<unsigned char>(html[k])) || html[k] == '-'))
            ++k;
        const std::string_view name = html.substr(nameStart, k - nameStart);
        const std::size_t close = html.find('>', k);
        if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])) || close == std::string_view::npos) {
            ++i;
            continue;
        }
        i = close + 1;
        if (isOneOf(name, {"p", "li", "dt", "dd", "tr", "td", "th", "thead", "tbody", "tfoot", "option",
                           "optgroup", "rb", "rt", "rp", "rtc", "colgroup", "html", "head", "body", "area",
                           "base", "br", "col", "embed", "hr", "img", "image", "input", "link", "meta",
                           "param", "source", "track", "wbr", "keygen"}))
            continue;
        if (endTag) {
            depth = std::max(0L, depth - 1);
            continue;
        }
        if (isOneOf(name, {"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes",
                           "noscript"})) {
            // Up to its end tag, whatever is inside.
            std::string lowered(name);
            for (char& c : lowered)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (std::size_t e = html.find("</", i); e != std::string_view::npos; e = html.find("</", e + 2))
                if (equalsLowered(html.substr(e + 2, name.size()), lowered)) {
                    i = e;
                    break;
                }
            continue;
        }
        if (isOneOf(name, {"plaintext"}))
            break;
        if (html[close - 1] != '/' && ++depth > kMaxNestingDepth) {
            pieces.push_back(html.substr(start, tagStart - start));
            start = tagStart;
            depth = 1;
        }
    }
    pieces.push_back(html.substr(start));
    return pieces;
}

// gumbo turns invalid input bytes into U+FFFD, but not every character reference out of
// range: whatever is still not UTF-8 becomes U+FFFD here.
std::string replacingInvalidUtf8(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (i + length <= s.size() && isValidUtf8(s.substr(i, length))) {
            out += s.substr(i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

bool isAsciiBlank(char c) { return c == ' ' || c == '\t'; }

void trimBlanksAtEnd(std::string& s)
{
    while (!s.empty() && isAsciiBlank(s.back()))
        s.pop_back();
}

std::string quotePrefix(std::size_t depth)
{
    std::string s;
    for (std::size_t i = 0; i < depth; ++i)
        s += "> ";
    trimBlanksAtEnd(s);
    return s;
}

// The lines being built. Breaks wait until text follows them, so nothing leaves blank lines
// at the start, and a paragraph break and a line break that meet give just the paragraph break.
class ReadableLines {
public:
    // What every line inside an element starts with: "> " for a quote, a list item's marker on
    // its first line and blanks as wide under it.
    void pushPiece(std::string first, bool quote)
    {
        Piece p;
        p.rest = quote ? first : std::string(first.size(), ' ');
        p.first = std::move(first);
        p.quote = quote;
        if (quote && pieces_.size() < kMaxLevels)
            ++quoteDepth_;
        pieces_.push_back(std::move(p));
    }
    void popPiece()
    {
        if (pieces_.back().quote && pieces_.size() <= kMaxLevels)
            --quoteDepth_;
        pieces_.pop_back();
    }
    bool insideListItem() const { return listItems_ > 0; }
    void enterListItem() { ++listItems_; }
    void leaveListItem() { --listItems_; }

    // 1 ends the line, 2 also leaves a blank line.
    void requestBreak(int lines) { pendingBreak_ = std::max(pendingBreak_, lines); }
    void cellStarts() { pendingCell_ = true; }

    // <br>: ends the line, and when none is open, leaves an empty one.
    void lineBreak()
    {
        flushBreak();
        if (lineOpen_)
            endLine();
        else
            pushBlank(quoteDepth_);
    }

    // Text outside <pre>: white space collapses to one blank.
    void text(std::string_view s)
    {
        if (!isValidUtf8(s))
            return text(replacingInvalidUtf8(s));
        std::string word;
        for (std::size_t i = 0; i < s.size() && !full_; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            const bool nbsp = c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA0;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || nbsp) {
                if (!word.empty())
                    putWord(word);
                word.clear();
                pendingSpace_ = true;
                i += nbsp ? 1 : 0;
            } else if (c >= 0x20 && c != 0x7F)
                word += static_cast<char>(c);
        }
        if (!word.empty() && !full_)
            putWord(word);
    }

    // Text inside <pre>: its lines and blanks as they are.
    void preformatted(std::string_view s)
    {
        if (!isValidUtf8(s))
            return preformatted(replacingInvalidUtf8(s));
        std::string run;
        for (std::size_t i = 0; i < s.size() && !full_; ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c == '\n') {
                if (!run.empty())
                    putWord(run);
                run.clear();
                lineBreak();
            } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA0) {
                run += ' ';
                ++i;
            } else if (c == '\f' || c == '\v')
                run += ' ';
            else if (c >= 0x20 || c == '\t')
                run += static_cast<char>(c);
        }
        if (!run.empty() && !full_)
            putWord(run);
    }

    // What was written since beginCapture(), words joined by one blank; only its first
    // `limit` bytes are kept (enough to compare with a link's target).
    void beginCapture(std::size_t limit)
    {
        capturing_ = true;
        captureLimit_ = limit;
        captured_.clear();
    }
    std::string endCapture()
    {
        capturing_ = false;
        return std::move(captured_);
    }
    bool capturing() const { return capturing_; }
    bool full() const { return full_; }

    std::vector<std::string> finish()
    {
        if (lineOpen_)
            endLine();
        if (lastBlank_ && !lines_.empty())
            lines_.pop_back();
        return std::move(lines_);
    }

private:
    struct Piece {
        std::string first;
        std::string rest;
        bool quote = false;
        bool used = false;
    };

    void flushBreak()
    {
        if (pendingBreak_ == 0)
            return;
        if (lineOpen_)
            endLine();
        if (pendingBreak_ == 2)
            pushBlank(std::min(lastQuoteDepth_, quoteDepth_));
        pendingBreak_ = 0;
        pendingSpace_ = false;
        pendingCell_ = false;
    }

    void putWord(std::string_view word)
    {
        flushBreak();
        if (!lineOpen_)
            openLine();
        std::string_view gap;
        if (pendingCell_)
            gap = " | ";
        else if (pendingSpace_)
            gap = " ";
        if (line_.size() == contentStart_)
            gap = {};
        pendingCell_ = false;
        pendingSpace_ = false;
        append(gap, word);
    }

    void append(std::string_view gap, std::string_view word)
    {
        if (capturing_ && captured_.size() < captureLimit_) {
            if (!captured_.empty() && !gap.empty())
                captured_ += ' ';
            captured_ += word.substr(0, captureLimit_ - std::min(captureLimit_, captured_.size()));
        }
        // The line's end counts too.
        const std::size_t held = bytes_ + line_.size() + 1;
        const std::size_t room = kMaxReadableHtmlBytes - std::min(kMaxReadableHtmlBytes, held);
        if (gap.size() + word.size() <= room) {
            line_ += gap;
            line_ += word;
            return;
        }
        full_ = true;
        if (gap.size() <= room)
            line_ += gap, line_ += cutUtf8(word, room - gap.size());
    }

    void openLine()
    {
        line_.clear();
        std::size_t used = 0;
        for (Piece& p : pieces_) {
            if (used++ == kMaxLevels)
                break;
            line_ += p.used ? p.rest : p.first;
            p.used = true;
        }
        contentStart_ = line_.size();
        lineQuoteDepth_ = quoteDepth_;
        lineOpen_ = true;
    }

    void endLine()
    {
        lineOpen_ = false;
        trimBlanksAtEnd(line_);
        if (line_.size() <= contentStart_) {
            pushBlank(lineQuoteDepth_);
            return;
        }
        bytes_ += line_.size() + 1;
        lines_.push_back(std::move(line_));
        line_.clear();
        lastQuoteDepth_ = lineQuoteDepth_;
        lastBlank_ = false;
        pendingSpace_ = false;
        full_ = full_ || bytes_ >= kMaxReadableHtmlBytes;
    }

    void pushBlank(std::size_t depth)
    {
        if (lines_.empty() || lastBlank_)
            return;
        std::string blank = quotePrefix(depth);
        if (bytes_ + blank.size() + 1 > kMaxReadableHtmlBytes) {
            full_ = true;
            return;
        }
        bytes_ += blank.size() + 1;
        lines_.push_back(std::move(blank));
        lastBlank_ = true;
        full_ = full_ || bytes_ >= kMaxReadableHtmlBytes;
    }

    std::vector<std::string> lines_;
    std::string line_;
    std::size_t contentStart_ = 0;
    bool lineOpen_ = false;
    bool lastBlank_ = false;
    std::size_t lineQuoteDepth_ = 0;
    std::size_t lastQuoteDepth_ = 0;
    std::vector<Piece> pieces_;
    std::size_t quoteDepth_ = 0;
    int listItems_ = 0;
    int pendingBreak_ = 0;
    bool pendingSpace_ = false;
    bool pendingCell_ = false;
    bool capturing_ = false;
    std::size_t captureLimit_ = 0;
    std::string captured_;
    std::size_t bytes_ = 0;
    bool full_ = false;
};

const char* attribute(const GumboElement& e, const char* name)
{
    const GumboAttribute* a = gumbo_get_attribute(&e.attributes, name);
    return a ? a->value : nullptr;
}

std::string asciiLower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool isHidden(const GumboElement& e)
{
    if (attribute(e, "hidden"))
        return true;
    const char* style = attribute(e, "style");
    if (!style)
        return false;
    std::string packed;
    for (const char* p = style; *p; ++p)
        if (!std::strchr(" \t\n\r\f", *p))
            packed += *p;
    return asciiLower(packed).find("display:none") != std::string::npos;
}

// The target of a link as the viewer should find it, or "" when it leads nowhere a reader can
// follow: relative links (mail has no base to resolve them against) and scripts, inline data
// and local files. Tabs and line ends inside drop out and blanks are kept, as browsers do.
std::string linkTarget(const char* href)
{
    std::string url;
    for (const char* p = href; *p; ++p)
        if (*p != '\t' && *p != '\n' && *p != '\r')
            url += *p;
    std::size_t b = 0;
    while (b < url.size() && static_cast<unsigned char>(url[b]) <= ' ')
        ++b;
    std::size_t e = url.size();
    while (e > b && static_cast<unsigned char>(url[e - 1]) <= ' ')
        --e;
    url = url.substr(b, e - b);

    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alpha && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return {};
    }
    const std::string scheme = asciiLower(url.substr(0, colon));
    if (scheme == "javascript" || scheme == "vbscript" || scheme == "data" || scheme == "file")
        return {};
    // What would end the link in running text or in its "<...>" is written as a URL escape.
    std::string out;
    for (char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || c == '<' || c == '>' || c == '"' || u == 0x7F) {
            static const char* const hex = "0123456789ABCDEF";
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        } else
            out += c;
    }
    return out;
}

long long listStart(const char* value, long long otherwise)
{
    if (!value)
        return otherwise;
    char* end = nullptr;
    const long long n = std::strtoll(value, &end, 10);
    if (end == value)
        return otherwise;
    return std::clamp(n, -1000000000LL, 1000000000LL);
}

enum class Role { Inline, Skip, Line, Paragraph, List, Item, Quote, Pre, Row, Cell, Break, Rule, Image, Link, Indent };

Role roleOf(GumboTag tag)
{
    switch (tag) {
    case GUMBO_TAG_HEAD: case GUMBO_TAG_TITLE: case GUMBO_TAG_STYLE: case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_TEMPLATE: case GUMBO_TAG_NOSCRIPT: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_NOEMBED:
    case GUMBO_TAG_IFRAME: case GUMBO_TAG_FRAMESET: case GUMBO_TAG_SELECT: case GUMBO_TAG_DATALIST:
        return Role::Skip;
    case GUMBO_TAG_P: case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4:
    case GUMBO_TAG_H5: case GUMBO_TAG_H6: case GUMBO_TAG_TABLE: case GUMBO_TAG_DL: case GUMBO_TAG_FIGURE:
        return Role::Paragraph;
    case GUMBO_TAG_DIV: case GUMBO_TAG_SECTION: case GUMBO_TAG_ARTICLE: case GUMBO_TAG_HEADER:
    case GUMBO_TAG_FOOTER: case GUMBO_TAG_NAV: case GUMBO_TAG_ASIDE: case GUMBO_TAG_MAIN:
    case GUMBO_TAG_ADDRESS: case GUMBO_TAG_FORM: case GUMBO_TAG_FIELDSET: case GUMBO_TAG_LEGEND:
    case GUMBO_TAG_FIGCAPTION: case GUMBO_TAG_CENTER: case GUMBO_TAG_DETAILS: case GUMBO_TAG_SUMMARY:
    case GUMBO_TAG_HGROUP: case GUMBO_TAG_CAPTION: case GUMBO_TAG_DT: case GUMBO_TAG_BODY:
    case GUMBO_TAG_TEXTAREA: case GUMBO_TAG_OPTION:
        return Role::Line;
    case GUMBO_TAG_UL: case GUMBO_TAG_OL: case GUMBO_TAG_MENU: case GUMBO_TAG_DIR:
        return Role::List;
    case GUMBO_TAG_LI:
        return Role::Item;
    case GUMBO_TAG_DD:
        return Role::Indent;
    case GUMBO_TAG_BLOCKQUOTE:
        return Role::Quote;
    case GUMBO_TAG_PRE: case GUMBO_TAG_LISTING: case GUMBO_TAG_XMP: case GUMBO_TAG_PLAINTEXT:
        return Role::Pre;
    case GUMBO_TAG_TR:
        return Role::Row;
    case GUMBO_TAG_TD: case GUMBO_TAG_TH:
        return Role::Cell;
    case GUMBO_TAG_BR:
        return Role::Break;
    case GUMBO_TAG_HR:
        return Role::Rule;
    case GUMBO_TAG_IMG: case GUMBO_TAG_IMAGE:
        return Role::Image;
    case GUMBO_TAG_A:
        return Role::Link;
    default:
        return Role::Inline;
    }
}

struct List {
    bool ordered;
    long long next;
};

class HtmlReader {
public:
    bool full() const { return out_.full(); }
    std::vector<std::string> finish() { return out_.finish(); }

    void read(const GumboNode* root)
    {
        // The tree may be as deep as the input is long: walked with a stack of our own.
        struct Frame {
            const GumboNode* node;
            unsigned next;
            bool entered;
            Undo undo;
        };
        std::vector<Frame> stack{{root, 0, false, {}}};
        while (!stack.empty() && !out_.full()) {
            Frame& f = stack.back();
            if (!f.entered) {
                f.entered = true;
                if (!open(*f.node, f.undo)) {
                    stack.pop_back();
                    continue;
                }
            }
            const GumboVector& children = f.node->type == GUMBO_NODE_DOCUMENT ? f.node->v.document.children
                                                                              : f.node->v.element.children;
            if (f.next < children.length) {
                const auto* child = static_cast<const GumboNode*>(children.data[f.next++]);
                stack.push_back({child, 0, false, {}});
                continue;
            }
            close(*f.node, f.undo);
            stack.pop_back();
        }
    }

private:
    // What open() did that close() takes back.
    struct Undo {
        Role role = Role::Inline;
        bool piece = false;
        bool list = false;
        bool link = false;
        bool pre = false;
    };

    // Writes what the node shows; true when its children follow.
    bool open(const GumboNode& node, Undo& undo)
    {
        switch (node.type) {
        case GUMBO_NODE_DOCUMENT:
            return true;
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_CDATA:
        case GUMBO_NODE_WHITESPACE:
            if (preDepth_ > 0)
                out_.preformatted(node.v.text.text);
            else
                out_.text(node.v.text.text);
            return false;
        case GUMBO_NODE_ELEMENT:
            break;
        default: // comments, templates
            return false;
        }
        const GumboElement& e = node.v.element;
        const Role role = roleOf(e.tag);
        if (role == Role::Skip || isHidden(e))
            return false;
        undo.role = role;
        switch (role) {
        case Role::Line:
        case Role::Row:
            out_.requestBreak(1);
            break;
        case Role::Paragraph:
            out_.requestBreak(2);
            break;
        case Role::Pre:
            out_.requestBreak(2);
            ++preDepth_;
            undo.pre = true;
            break;
        case Role::Quote:
            out_.requestBreak(2);
            out_.pushPiece("> ", true);
            undo.piece = true;
            break;
        case Role::Indent:
            out_.requestBreak(1);
            out_.pushPiece("  ", false);
            undo.piece = true;
            break;
        case Role::List:
            out_.requestBreak(out_.insideListItem() ? 1 : 2);
            lists_.push_back({e.tag == GUMBO_TAG_OL, listStart(attribute(e, "start"), 1)});
            undo.list = true;
            break;
        case Role::Item: {
            out_.requestBreak(1);
            std::string marker = "- ";
            if (!lists_.empty() && lists_.back().ordered) {
                List& list = lists_.back();
                list.next = listStart(attribute(e, "value"), list.next);
                marker = std::to_string(list.next) + ". ";
                list.next = std::min(list.next + 1, 1000000000LL);
            }
            out_.pushPiece(std::move(marker), false);
            out_.enterListItem();
            undo.piece = true;
            break;
        }
        case Role::Cell:
            out_.cellStarts();
            break;
        case Role::Break:
            out_.lineBreak();
            break;
        case Role::Rule:
            out_.requestBreak(2);
            break;
        case Role::Image:
            if (const char* alt = attribute(e, "alt"))
                preDepth_ > 0 ? out_.preformatted(alt) : out_.text(alt);
            break;
        case Role::Link:
            if (const char* href = attribute(e, "href"); href && !out_.capturing()) {
                link_ = linkTarget(href);
                if (!link_.empty()) {
                    out_.beginCapture(link_.size() + 1);
                    undo.link = true;
                }
            }
            break;
        default:
            break;
        }
        return true;
    }

    void close(const GumboNode& node, const Undo& undo)
    {
        if (node.type != GUMBO_NODE_ELEMENT)
            return;
        if (undo.link) {
            const std::string text = out_.endCapture();
            const bool mailto = asciiLower(link_.substr(0, 7)) == "mailto:";
            if (text.empty())
                out_.text(" " + link_ + " ");
            else if (text != link_ && !(mailto && asciiLower(text) == asciiLower(link_.substr(7))))
                out_.text(" <" + link_ + ">");
        }
        if (undo.pre)
            --preDepth_;
        if (undo.list)
            lists_.pop_back();
        if (undo.piece) {
            out_.popPiece();
            if (undo.role == Role::Item)
                out_.leaveListItem();
        }
        switch (undo.role) {
        case Role::Line:
        case Role::Row:
        case Role::Item:
        case Role::Indent:
            out_.requestBreak(1);
            break;
        case Role::Paragraph:
        case Role::Pre:
        case Role::Quote:
            out_.requestBreak(2);
            break;
        case Role::List:
            out_.requestBreak(out_.insideListItem() ? 1 : 2);
            break;
        default:
            break;
        }
    }

    ReadableLines out_;
    std::vector<List> lists_;
    int preDepth_ = 0;
    std::string link_;
};


// What gumbo may hold while reading `bytes` of markup: ordinary mail needs a few times its size.
std::size_t parseBudget(std::size_t bytes) { return 32 * 1024 * 1024 + 64 * bytes; }

// Markup that passed its budget is read again in pieces this small, each cut before a tag, so
// that what the pieces can build stays small; a piece that still passes its budget gives no text.
constexpr std::size_t kSmallPiece = 4096;

void readPiece(HtmlReader& reader, std::string_view html, bool mayCut)
{
    {
        LiveAllocations memory(parseBudget(html.size()));
        if (const GumboNode* root = parseWithin(memory, html)) {
            reader.read(root);
            return;
        }
    }
    if (!mayCut || html.size() <= kSmallPiece)
        return;
    while (!html.empty() && !reader.full()) {
        std::size_t cut = html.size();
        if (cut > kSmallPiece) {
            cut = html.rfind('<', kSmallPiece);
            if (cut == 0 || cut == std::string_view::npos)
                cut = utf8CutPoint(html, kSmallPiece);
            cut = std::max<std::size_t>(cut, 1);
        }
        readPiece(reader, html.substr(0, cut), false);
        html.remove_prefix(cut);
    }
}

} // namespace

std::vector<std::string> readableHtmlLines(std::string_view utf8Html)
{
    HtmlReader reader;
    for (std::string_view piece : nestingPieces(utf8Html)) {
        if (reader.full())
            break;
        readPiece(reader, piece, true);
    }
    return reader.finish();
}

namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isHtmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

} // namespace

std::string htmlDeclaredCharset(std::string_view html)
{
    std::string head(html.substr(0, kHtmlCharsetScanBytes));
    std::transform(head.begin(), head.end(), head.begin(), lowerAscii);
    for (std::size_t at = head.find("<meta"); at != std::string::npos; at = head.find("<meta", at + 5)) {
        const std::size_t after = at + 5;
        if (after < head.size() && !isHtmlSpace(head[after]) && head[after] != '/')
            continue; // <metadata> and the like
        const std::size_t end = std::min(head.find('>', after), head.size());
        // Both forms hold "charset", blanks, "=" and the name, quoted or not.
        for (std::size_t c = head.find("charset", after); c < end; c = head.find("charset", c + 7)) {
            std::size_t v = c + 7;
            while (v < end && isHtmlSpace(head[v]))
                ++v;
            if (v >= end || head[v] != '=')
                continue;
            ++v;
            while (v < end && isHtmlSpace(head[v]))
                ++v;
            if (v < end && (head[v] == '"' || head[v] == '\''))
                ++v;
            std::size_t stop = v;
            while (stop < end && !isHtmlSpace(head[stop]) && head[stop] != '"' && head[stop] != '\'' &&
                   head[stop] != ';' && head[stop] != '/')
                ++stop;
            if (stop > v)
                return std::string(html.substr(v, stop - v));
        }
    }
    return {};
}

std::string htmlBytesToUtf8(std::string_view bytes, std::string_view charset)
{
    std::string label(charset.empty() ? htmlDeclaredCharset(bytes) : std::string(charset));
    std::string lower = label;
    std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
    if (charset.empty() && lower.rfind("utf-16", 0) == 0)
        label = "utf-8";
    // No charset, or one not known, leaves the bytes to the stored-text rule.
    return charsetToUtf8(bytes, label);
}

} // namespace tavik
