#include "store/folder_tree.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <set>
#include <stdexcept>
#include <string_view>

#include "store/mailbox_store.h"

namespace tavik {

const char* const kInvalidTreeNodeLevel = "Invalid TreeNode Level";
const char* const kItemNameTitle = "Name of the Item";
const char* const kItemNamePrompt = "Item Name:";
const char* const kFolderMessageTitle = "Tavik mail";
const char* const kSubitemsMessage = "Sorry, but the selected item has subitems.\r\nDelete subitems before.";
const char* const kDeleteMailboxQuestion = "This item contains a mailbox.\r\nAre you sure you want to delete it?";
const char* const kDeleteMessagesQuestion = "Are you sure you want to delete the selected message(s)?";
const char* const kDeleteForGoodQuestion =
    "Are you sure you want to delete the selected message(s) from Trash for good? They cannot be brought back.";

namespace {

const char* const kStandardTexts[] = {"Tavik mail", "New Mail", "Sent", "To Send", "Drafts", "Trash"};
constexpr char kEndOfFileMark = 26;
// Every file a valid tree can produce fits; anything larger is not read at all.
constexpr std::uint64_t kMaxTreeFileBytes = static_cast<std::uint64_t>(kMaxTreeNodes) * (kMaxTreeLineLength + 2) + 3;
// Mailbox keys stay within the 8 characters the viewer table compares.
constexpr long kMaxKeyNumber = 9999999;

const char* const kTreeFullMessage = "Sorry, but the folder tree is full.\r\nDelete some items before.";
const char* const kStandardMailboxesMissingMessage =
    "Sorry, but the profile lacks some of its standard mailboxes.\r\nOpen the profile again before.";
const char* const kTooDeepMessage = "Sorry, but the selected item lies too deep.\r\nChoose an item nearer the top.";

std::string withSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerKey(const std::string& key)
{
    std::string out = key;
    for (char& c : out)
        c = lowerAscii(c);
    return out;
}

std::string entryKey(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The store refuses such keys; their "files" are never touched.
bool usableKey(const std::string& key)
{
    return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos &&
           key.find('\0') == std::string::npos;
}

// "m" + decimal number (letter case ignored), within the key range; -1 otherwise.
long keyNumber(const std::string& key)
{
    if (key.size() < 2 || key.size() > 8 || lowerAscii(key[0]) != 'm')
        return -1;
    long n = 0;
    for (std::size_t i = 1; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9')
            return -1;
        n = n * 10 + (key[i] - '0');
    }
    return n <= kMaxKeyNumber ? n : -1;
}

// One image index of "treedata2.dat", blanks around it allowed; -1 when it is none.
int parseImage(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    if (s.empty() || s.size() > 3)
        return -1;
    int n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n <= kMaxImageIndex ? n : -1;
}

// Walks the lines of a text file: LF ends a line, a CR before it is dropped. A last line without
// LF counts when it is not empty.
class LineReader {
public:
    explicit LineReader(const std::string& bytes) : bytes_(bytes) {}
    bool next(std::string_view& line)
    {
        if (at_ >= bytes_.size())
            return false;
        std::size_t lf = bytes_.find('\n', at_);
        std::size_t end = lf == std::string::npos ? bytes_.size() : lf;
        line = std::string_view(bytes_).substr(at_, end - at_);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        at_ = lf == std::string::npos ? bytes_.size() : lf + 1;
        return true;
    }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

void setDefaultImages(std::vector<TreeNode>& nodes)
{
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        int image = i == 0 ? kRootImage : i <= static_cast<std::size_t>(kStandardMailboxCount) ? static_cast<int>(i) + 1
                                                                                               : kGroupFolderImage;
        nodes[i].image = nodes[i].selectedImage = image;
    }
}

// The rules a name obeys so that it survives both the settings file and "treedata1.dat" and
// can be found by the tie: everything but uniqueness.
std::string nameShapeProblem(const std::string& name)
{
    if (name.empty())
        return "Sorry, but the item has no name.\r\nType a name for it.";
    if (name.size() > kMaxFolderNameLength)
        return "Sorry, but the item name is longer than 99 characters.\r\nChoose a shorter name.";
    if (name.front() == ' ' || name.back() == ' ')
        return "Sorry, but the item name begins or ends with a blank.\r\nRemove the blanks before.";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return "Sorry, but the item name holds a control character.\r\nType the name again.";
    if (name.find(" (") != std::string::npos)
        return "Sorry, but the item name holds \" (\".\r\nChoose another name.";
    return {};
}

FolderCommandResult refused(const std::string& message)
{
    FolderCommandResult r;
    r.outcome = FolderOutcome::Refused;
    r.message = message;
    r.title = kFolderMessageTitle;
    return r;
}

FolderCommandResult withOutcome(FolderOutcome outcome)
{
    FolderCommandResult r;
    r.outcome = outcome;
    return r;
}

void addWarning(FolderCommandResult& r, const std::string& text)
{
    if (!r.warning.empty())
        r.warning += "\r\n";
    r.warning += text;
}

} // namespace

TreeFileError::TreeFileError(const std::string& path, const std::string& why) : FileError(path, why), reason(why) {}

std::string folderDisplayName(const std::string& text) { return text.substr(0, text.find(" (")); }

std::string folderItemText(const std::string& text, int unread)
{
    std::string name = text;
    // A count the stored text carries from an older program gives way to the live one.
    if (name.size() >= 4 && name.back() == ')') {
        const std::size_t open = name.rfind(" (");
        if (open != std::string::npos && open + 3 < name.size() &&
            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(open + 2), name.end() - 1,
                        [](char c) { return c >= '0' && c <= '9'; }))
            name.erase(open);
    }
    if (unread > 0)
        name += " (" + std::to_string(unread) + ")";
    return name;
}

bool hasUnreadCount(const std::string& text)
{
    if (text.size() < 4 || text.back() != ')')
        return false;
    std::size_t open = text.rfind(" (");
    if (open == std::string::npos)
        return false;
    std::string_view digits = std::string_view(text).substr(open + 2, text.size() - open - 3);
    if (digits.empty())
        return false;
    bool nonZero = false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        nonZero = nonZero || c != '0';
    }
    return nonZero;
}

std::string mailboxDisplayName(const std::string& entry)
{
    auto eq = entry.find('=');
    return eq == std::string::npos ? std::string() : entry.substr(eq + 1, kMaxFolderNameLength);
}

std::string nextMailboxKey(const MailboxList& mailboxes)
{
    std::set<std::string> used;
    long highest = -1;
    for (const auto& e : mailboxes) {
        used.insert(lowerKey(entryKey(e)));
        highest = std::max(highest, keyNumber(entryKey(e)));
    }
    long last = mailboxes.empty() ? -1 : keyNumber(entryKey(mailboxes.back()));
    long n = (last >= 0 ? last : highest) + 1;
    while (n <= kMaxKeyNumber && used.count("m" + std::to_string(n)))
        ++n;
    if (n > kMaxKeyNumber)
        for (n = 0; used.count("m" + std::to_string(n)); ++n) {
        }
    return "m" + std::to_string(n);
}

bool restoreStandardMailboxes(MailboxList& mailboxes)
{
    if (mailboxes.size() >= static_cast<std::size_t>(kStandardMailboxCount))
        return false;
    const MailboxList& standard = standardMailboxEntries();
    bool changed = false;
    // Entries before position i already hold m0 to m(i-1), so the key of i is found at i or later.
    for (std::size_t i = 0; i < standard.size(); ++i) {
        const std::string key = lowerKey(entryKey(standard[i]));
        auto found = std::find_if(mailboxes.begin() + static_cast<std::ptrdiff_t>(i), mailboxes.end(),
                                  [&](const std::string& e) { return lowerKey(entryKey(e)) == key; });
        if (found == mailboxes.end()) {
            mailboxes.insert(mailboxes.begin() + static_cast<std::ptrdiff_t>(i), standard[i]);
            changed = true;
        } else if (found != mailboxes.begin() + static_cast<std::ptrdiff_t>(i)) {
            std::rotate(mailboxes.begin() + static_cast<std::ptrdiff_t>(i), found, found + 1);
            changed = true;
        }
    }
    return changed;
}

std::vector<MailboxMenuEntry> mailboxMenu(const MailboxList& mailboxes)
{
    std::vector<MailboxMenuEntry> out;
    for (std::size_t i = 0; i < mailboxes.size(); ++i)
        out.push_back({static_cast<int>(i + 1), mailboxDisplayName(mailboxes[i])});
    return out;
}

const TreeNode& FolderTree::node(int index) const
{
    if (index < 0 || index >= count())
        throw std::out_of_range("no tree node " + std::to_string(index));
    return nodes_[static_cast<std::size_t>(index)];
}

int FolderTree::parent(int index) const
{
    if (index < 0 || index >= count())
        return -1;
    int d = nodes_[static_cast<std::size_t>(index)].depth;
    for (int j = index - 1; j >= 0; --j)
        if (nodes_[static_cast<std::size_t>(j)].depth < d)
            return j;
    return -1;
}

int FolderTree::subtreeEnd(int index) const
{
    int d = nodes_[static_cast<std::size_t>(index)].depth;
    int j = index + 1;
    while (j < count() && nodes_[static_cast<std::size_t>(j)].depth > d)
        ++j;
    return j;
}

std::vector<int> FolderTree::children(int index) const
{
    std::vector<int> out;
    if (index < 0 || index >= count())
        return out;
    int d = nodes_[static_cast<std::size_t>(index)].depth;
    for (int j = index + 1; j < count() && nodes_[static_cast<std::size_t>(j)].depth > d; ++j)
        if (nodes_[static_cast<std::size_t>(j)].depth == d + 1)
            out.push_back(j);
    return out;
}

bool FolderTree::hasChildren(int index) const
{
    return index >= 0 && index + 1 < count() &&
           nodes_[static_cast<std::size_t>(index + 1)].depth > nodes_[static_cast<std::size_t>(index)].depth;
}

void FolderTree::setStandardTree()
{
    nodes_.clear();
    for (int i = 0; i <= kStandardMailboxCount; ++i)
        nodes_.push_back({kStandardTexts[i], i == 0 ? kRootImage : i + 1, i == 0 ? kRootImage : i + 1, i == 0 ? 0 : 1});
}

bool FolderTree::hasStandardTop() const
{
    if (count() < kFirstUserNode || nodes_[0].depth != 0)
        return false;
    for (int i = 1; i <= kStandardMailboxCount; ++i)
        if (nodes_[static_cast<std::size_t>(i)].depth != 1)
            return false;
    return true;
}

int FolderTree::insertAt(int position, int depth, const std::string& text, int image, int selectedImage)
{
    if (count() >= kMaxTreeNodes || depth > kMaxTreeDepth)
        return -1;
    nodes_.insert(nodes_.begin() + position, TreeNode{text, image, selectedImage, depth});
    return position;
}

int FolderTree::addChild(int parentIndex, const std::string& text, int image, int selectedImage)
{
    if (parentIndex < 0)
        return insertAt(count(), 0, text, image, selectedImage);
    if (parentIndex >= count())
        return -1;
    return insertAt(subtreeEnd(parentIndex), nodes_[static_cast<std::size_t>(parentIndex)].depth + 1, text, image,
                    selectedImage);
}

int FolderTree::addSibling(int index, const std::string& text, int image, int selectedImage)
{
    if (index >= count())
        return -1;
    return addChild(index < 0 ? -1 : parent(index), text, image, selectedImage);
}

bool FolderTree::removeNode(int index)
{
    if (index < 0 || index >= count() || hasChildren(index))
        return false;
    nodes_.erase(nodes_.begin() + index);
    return true;
}

void FolderTree::SaveTreeToDisk(const std::string& directory) const
{
    std::string dir = withSlash(directory);
    std::string texts, images;
    for (const auto& n : nodes_) {
        texts.append(static_cast<std::size_t>(std::max(n.depth, 0)), ' ');
        texts += n.text;
        texts += "\r\n";
        images += std::to_string(n.image) + "," + std::to_string(n.selectedImage) + "\r\n";
    }
    // The texts first: they alone still make a tree should the images never be written.
    writeFileAtomically(dir + kTreeTextsFile, texts);
    writeFileAtomically(dir + kTreeImagesFile, images);
}

void FolderTree::loadFiles(const std::string& directory, bool withImages)
{
    std::string dir = withSlash(directory);
    const std::string textsPath = dir + kTreeTextsFile, imagesPath = dir + kTreeImagesFile;
    const std::string texts = readWholeFile(textsPath, kMaxTreeFileBytes);
    const std::string images = withImages ? readWholeFile(imagesPath, kMaxTreeFileBytes) : std::string();

    std::vector<TreeNode> fresh;
    std::vector<std::size_t> lineOf; // line of "treedata1.dat" each node came from
    std::string problem;
    LineReader reader(texts);
    std::string_view line;
    for (std::size_t lineNo = 0; reader.next(line); ++lineNo) {
        if (line.size() == 1 && line[0] == kEndOfFileMark)
            break;
        if (line.size() > kMaxTreeLineLength) {
            problem = "line " + std::to_string(lineNo + 1) + " is longer than " + std::to_string(kMaxTreeLineLength) +
                      " bytes";
            break;
        }
        std::size_t level = 0;
        while (level < line.size() && (line[level] == ' ' || line[level] == '\t'))
            ++level;
        if (level == line.size())
            continue; // a blank line names no node
        std::size_t previous = fresh.empty() ? 0 : static_cast<std::size_t>(fresh.back().depth);
        if (level > previous + 1 || level > static_cast<std::size_t>(kMaxTreeDepth)) {
            problem = kInvalidTreeNodeLevel;
            break;
        }
        if (fresh.size() >= static_cast<std::size_t>(kMaxTreeNodes)) {
            problem = "holds more than " + std::to_string(kMaxTreeNodes) + " folders";
            break;
        }
        // The first node is the root whatever its indentation.
        int depth = fresh.empty() ? 0 : static_cast<int>(level);
        std::string_view text = line.substr(level);
        if (depth == 0 && text.size() == 1 && text[0] == kEndOfFileMark)
            continue; // saved unindented it would read as the end mark
        fresh.push_back(TreeNode{std::string(text), kGroupFolderImage, kGroupFolderImage, depth});
        lineOf.push_back(lineNo);
    }
    setDefaultImages(fresh);

    if (withImages && !fresh.empty()) {
        LineReader pairs(images);
        std::size_t node = 0;
        for (std::size_t lineNo = 0; node < fresh.size() && pairs.next(line); ++lineNo) {
            if (lineOf[node] != lineNo)
                continue;
            std::size_t comma = line.find(',');
            if (comma != std::string_view::npos && line.size() <= 16) {
                int image = parseImage(line.substr(0, comma)), selected = parseImage(line.substr(comma + 1));
                if (image >= 0 && selected >= 0) {
                    fresh[node].image = image;
                    fresh[node].selectedImage = selected;
                }
            }
            ++node;
        }
    }

    nodes_ = std::move(fresh);
    if (!problem.empty())
        throw TreeFileError(textsPath, problem);
}

bool FolderTree::LoadTreeFromDisk(const std::string& directory)
{
    std::string dir = withSlash(directory);
    if (!fileExists(dir + kTreeTextsFile) || !fileExists(dir + kTreeImagesFile))
        return false;
    loadFiles(dir, true);
    return true;
}

void FolderTree::putStandardTopFirst()
{
    if (hasStandardTop())
        return;
    std::vector<TreeNode> loaded = std::move(nodes_);
    setStandardTree();
    // A prefix of a tree is a tree: what does not fit is cut from the end.
    std::size_t room = static_cast<std::size_t>(kMaxTreeNodes) - nodes_.size();
    if (loaded.size() > room)
        loaded.resize(room);
    nodes_.insert(nodes_.end(), loaded.begin(), loaded.end());
}

std::vector<int> FolderTree::adoptMailboxes(const MailboxList& mailboxes)
{
    std::set<std::string> named; // display names of the nodes that can stand for a mailbox
    for (int i = kFirstUserNode; i < count(); ++i)
        named.insert(folderDisplayName(nodes_[static_cast<std::size_t>(i)].text));
    std::set<std::string> seen;
    std::vector<int> adopted;
    for (int n = kFirstUserNode; n <= static_cast<int>(mailboxes.size()); ++n) {
        std::string name = mailboxDisplayName(mailboxes[static_cast<std::size_t>(n - 1)]);
        // A later mailbox of the same name is never found by name; a node for it would tie to
        // the first one. A name the files cannot carry would come back as another text.
        bool first = seen.insert(name).second;
        if (!first || named.count(name) || !nameShapeProblem(name).empty())
            continue;
        if (addChild(0, name, kMailboxFolderImage, kMailboxFolderOpenImage) < 0)
            break;
        named.insert(name);
        adopted.push_back(n);
    }
    return adopted;
}

TreeOpening FolderTree::openProfileTree(const std::string& profileDirectory, MailboxList& mailboxes)
{
    std::string dir = withSlash(profileDirectory);
    TreeOpening opening;
    // Nodes 1 to 5 open mailboxes 1 to 5: a short list would give them other mailboxes, and a
    // new mailbox folder a standard number.
    opening.restoredStandardMailboxes = restoreStandardMailboxes(mailboxes);
    nodes_.clear();
    bool haveTexts = fileExists(dir + kTreeTextsFile), haveImages = fileExists(dir + kTreeImagesFile);
    std::exception_ptr failure;
    try {
        if (haveTexts) {
            loadFiles(dir, haveImages);
        } else {
            setStandardTree();
            opening.startedWithStandardTree = true;
        }
    } catch (const FileError&) {
        failure = std::current_exception();
    }
    if (!hasStandardTop()) {
        putStandardTopFirst();
        opening.restoredStandardTop = true;
    }
    if (haveTexts && !haveImages)
        for (int i = kFirstUserNode; i < count(); ++i) {
            bool mailbox = mailboxOfNode(i, mailboxes) != 0;
            nodes_[static_cast<std::size_t>(i)].image = mailbox ? kMailboxFolderImage : kGroupFolderImage;
            nodes_[static_cast<std::size_t>(i)].selectedImage = mailbox ? kMailboxFolderOpenImage : kGroupFolderImage;
        }
    opening.adoptedMailboxes = adoptMailboxes(mailboxes);
    if (opening.startedWithStandardTree)
        SaveTreeToDisk(dir);
    if (failure)
        std::rethrow_exception(failure);
    return opening;
}

int FolderTree::mailboxOfNode(int index, const MailboxList& mailboxes) const
{
    if (index < 1 || index >= count())
        return 0;
    if (index <= kStandardMailboxCount)
        return index <= static_cast<int>(mailboxes.size()) ? index : 0;
    std::string name = folderDisplayName(nodes_[static_cast<std::size_t>(index)].text);
    if (name.empty())
        return 0;
    for (int n = kFirstUserNode; n <= static_cast<int>(mailboxes.size()); ++n)
        if (mailboxDisplayName(mailboxes[static_cast<std::size_t>(n - 1)]) == name)
            return n;
    return 0;
}

bool FolderTree::isBold(int index) const
{
    return index >= 0 && index < count() && hasUnreadCount(nodes_[static_cast<std::size_t>(index)].text);
}

int FolderTree::dropTarget(int index, const MailboxList& mailboxes, int shownMailbox) const
{
    int target = mailboxOfNode(index, mailboxes);
    return target == shownMailbox ? 0 : target;
}

std::string FolderTree::folderNameProblem(const std::string& name, const MailboxList& mailboxes) const
{
    if (std::string problem = nameShapeProblem(name); !problem.empty())
        return problem;
    bool taken = std::any_of(mailboxes.begin(), mailboxes.end(),
                             [&](const std::string& e) { return mailboxDisplayName(e) == name; }) ||
                 std::any_of(nodes_.begin(), nodes_.end(),
                             [&](const TreeNode& n) { return folderDisplayName(n.text) == name; });
    if (taken)
        return "Sorry, but an item named \"" + name + "\" already exists.\r\nChoose another name.";
    return {};
}

FolderCommandResult FolderTree::newGroup(int selected, bool asChild, const MailboxList& mailboxes, FolderQuestions& ask)
{
    if (selected < -1 || selected >= count() || (selected >= 1 && selected <= kStandardMailboxCount) ||
        !hasStandardTop())
        return withOutcome(FolderOutcome::Ignored);
    int depth = 0;
    if (selected >= 0)
        depth = nodes_[static_cast<std::size_t>(selected)].depth + (asChild ? 1 : 0);
    if (count() >= kMaxTreeNodes)
        return refused(kTreeFullMessage);
    if (depth > kMaxTreeDepth)
        return refused(kTooDeepMessage);
    std::string name;
    if (!ask.askItemName(name))
        return withOutcome(FolderOutcome::Cancelled);
    if (std::string problem = folderNameProblem(name, mailboxes); !problem.empty())
        return refused(problem);
    FolderCommandResult r = withOutcome(FolderOutcome::Done);
    r.node = asChild ? addChild(selected, name, kGroupFolderImage, kGroupFolderImage)
                     : addSibling(selected, name, kGroupFolderImage, kGroupFolderImage);
    return r;
}

FolderCommandResult FolderTree::newGroupFolder(int selected, const MailboxList& mailboxes, FolderQuestions& ask)
{
    return newGroup(selected, false, mailboxes, ask);
}

FolderCommandResult FolderTree::newSubgroupFolder(int selected, const MailboxList& mailboxes, FolderQuestions& ask)
{
    return newGroup(selected, true, mailboxes, ask);
}

FolderCommandResult FolderTree::newMailboxFolder(int selected, FolderProfile& profile, FolderQuestions& ask)
{
    if (selected < kFirstUserNode || selected >= count() || !hasStandardTop())
        return withOutcome(FolderOutcome::Ignored);
    // Its number would be one of a standard mailbox, which nodes 1 to 5 open.
    if (profile.mailboxes.size() < static_cast<std::size_t>(kStandardMailboxCount))
        return refused(kStandardMailboxesMissingMessage);
    if (count() >= kMaxTreeNodes)
        return refused(kTreeFullMessage);
    if (nodes_[static_cast<std::size_t>(selected)].depth + 1 > kMaxTreeDepth)
        return refused(kTooDeepMessage);
    std::string name;
    if (!ask.askItemName(name))
        return withOutcome(FolderOutcome::Cancelled);
    if (std::string problem = folderNameProblem(name, profile.mailboxes); !problem.empty())
        return refused(problem);

    TNMailBox& store = profile.store;
    if (store.MailBoxDirectory().empty())
        throw FileError(withSlash(profile.directory) + "mailboxe/", "the mailbox directory is not open");
    MailboxList grown = profile.mailboxes;
    grown.push_back(nextMailboxKey(profile.mailboxes) + "=" + name);
    const int number = static_cast<int>(grown.size());
    const MailboxList before = store.MailBoxes;
    try {
        // A fresh pair before the settings name it: files a deleted mailbox of the same key left
        // behind are replaced, never adopted with their old mail.
        store.MailBoxes = grown;
        store.EmptyMailbox(number);
        SaveSettings(profile.directory, profile.settings, grown);
    } catch (...) {
        store.MailBoxes = before;
        throw;
    }
    profile.mailboxes = grown;

    FolderCommandResult r = withOutcome(FolderOutcome::Done);
    r.node = addChild(selected, name, kMailboxFolderImage, kMailboxFolderOpenImage);
    r.addedMailbox = number;
    r.mailboxesChanged = true;
    // The settings now list the mailbox; the tree files follow at once so the two agree.
    try {
        SaveTreeToDisk(profile.directory);
    } catch (const FileError& e) {
        addWarning(r, e.what());
    }
    return r;
}

FolderCommandResult FolderTree::deleteItem(int selected, FolderProfile& profile, FolderQuestions& ask)
{
    // The root and the standard mailboxes are not deleted, and nothing is said about it.
    if (selected < kFirstUserNode || selected >= count())
        return withOutcome(FolderOutcome::Ignored);
    if (hasChildren(selected))
        return refused(kSubitemsMessage);

    const int number = mailboxOfNode(selected, profile.mailboxes);
    bool alias = false;
    for (int i = kFirstUserNode; number != 0 && i < count(); ++i)
        alias = alias || (i != selected && mailboxOfNode(i, profile.mailboxes) == number);
    if (number == 0 || alias) {
        // A group folder, or a second node of a mailbox another node still shows: only the node goes.
        removeNode(selected);
        FolderCommandResult r = withOutcome(FolderOutcome::Done);
        r.node = 0;
        return r;
    }
    if (!ask.askYesNo(kDeleteMailboxQuestion, kFolderMessageTitle))
        return withOutcome(FolderOutcome::Cancelled);

    TNMailBox& store = profile.store;
    if (store.MailBoxDirectory().empty())
        throw FileError(withSlash(profile.directory) + "mailboxe/", "the mailbox directory is not open");
    store.MailBoxes = profile.mailboxes;
    const std::string key = entryKey(profile.mailboxes[static_cast<std::size_t>(number - 1)]);
    bool shared = false;
    for (int n = 1; n <= static_cast<int>(profile.mailboxes.size()); ++n)
        shared = shared || (n != number && lowerKey(entryKey(profile.mailboxes[static_cast<std::size_t>(n - 1)])) ==
                                               lowerKey(key));
    // Files another entry also names hold that mailbox's mail: they stay.
    const bool ownFiles = usableKey(key) && !shared;

    // Mail first, then the entry, then the files: the settings never name a pair that is gone,
    // and a pair left behind by a crash is empty.
    if (ownFiles)
        store.EmptyMailbox(number);
    MailboxList shrunk = profile.mailboxes;
    shrunk.erase(shrunk.begin() + (number - 1));
    SaveSettings(profile.directory, profile.settings, shrunk);
    profile.mailboxes = shrunk;
    store.MailBoxes = shrunk;

    FolderCommandResult r = withOutcome(FolderOutcome::Done);
    r.node = 0;
    r.removedMailbox = number;
    r.mailboxesChanged = true;
    removeNode(selected);
    try {
        SaveTreeToDisk(profile.directory);
    } catch (const FileError& e) {
        addWarning(r, e.what());
    }
    if (ownFiles)
        for (const char* ext : {".mbx", ".idx"}) {
            try {
                removeFileIfPresent(store.MailBoxDirectory() + key + ext);
            } catch (const FileError& e) {
                addWarning(r, e.what());
            }
        }
    return r;
}

void compressMailboxes(TNMailBox& store) { store.CompressMailboxes(kCompressTrashLimit); }

void emptyTrash(TNMailBox& store) { store.EmptyMailbox(kTrashMailbox); }

bool deleteMessagesToTrash(TNMailBox& store, int mailbox, const std::vector<int>& numbers, FolderQuestions& ask)
{
    // Messages leave Trash only when it is emptied; a question whose answer changes nothing is not asked.
    if (mailbox == kTrashMailbox || numbers.empty())
        return false;
    if (!ask.askYesNo(kDeleteMessagesQuestion, kFolderMessageTitle))
        return false;
    store.SetCurrentMailBoxNumber(mailbox);
    store.MoveMessages(numbers, store.MailboxKey(kTrashMailbox));
    return true;
}

void deleteMessagesForGood(TNMailBox& store, int mailbox, std::vector<int> numbers)
{
    std::sort(numbers.begin(), numbers.end(), std::greater<int>());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (int n : numbers) {
        store.SetCurrentMailBoxNumber(mailbox);
        store.SetMsg_Number(n);
        if (store.Msg_Number() == n)
            store.DeleteMessage();
    }
}

} // namespace tavik
