// The folder tree of a profile: its nodes, its two files, the tie between a node and a mailbox,
// and the folder and maintenance commands as model operations. The tree window paints this model
// and shows what the commands' results say; every question reaches it through FolderQuestions.
#pragma once

#include <string>
#include <vector>

#include "profile/file_util.h"
#include "profile/settings.h"

namespace tavik {

class TNMailBox;

// Image indexes of the tree's picture list; standard mailbox n (1 to 5) shows image n + 1.
constexpr int kMailboxFolderImage = 0;     // mailbox folder, closed
constexpr int kMailboxFolderOpenImage = 1; // mailbox folder, selected
constexpr int kRootImage = 7;
constexpr int kGroupFolderImage = 8;
constexpr int kMaxImageIndex = 8;          // the last picture; a file naming another is ignored

// The fixed top: root 0, standard mailboxes 1 to 5 (node index = mailbox number), users' from 6.
constexpr int kStandardMailboxCount = 5;
constexpr int kFirstUserNode = 6;
constexpr int kTrashMailbox = 5;
// Trash above which "Compress Mailboxes" and profile shutdown compress a mailbox.
constexpr int kCompressTrashLimit = 100000;

// Limits of the tree, enforced both when a file is read and when a command adds a node, so that
// every tree the program saves reads back.
constexpr int kMaxTreeNodes = 10000;
constexpr int kMaxTreeDepth = 32;             // indentation of the deepest node
constexpr std::size_t kMaxTreeLineLength = 1024; // bytes of one line without its line end
constexpr std::size_t kMaxFolderNameLength = 99; // what a mailbox's display name can hold

// File names in the profile directory.
constexpr const char* kTreeTextsFile = "treedata1.dat";
constexpr const char* kTreeImagesFile = "treedata2.dat";

// Texts the tree shows, byte for byte.
extern const char* const kInvalidTreeNodeLevel;  // "Invalid TreeNode Level"
extern const char* const kItemNameTitle;         // caption of the name dialog
extern const char* const kItemNamePrompt;        // its prompt
extern const char* const kFolderMessageTitle;    // caption of the tree's message boxes
extern const char* const kSubitemsMessage;
extern const char* const kDeleteMailboxQuestion;
extern const char* const kDeleteMessagesQuestion;
// Asked before the Delete key removes messages from Trash.
extern const char* const kDeleteForGoodQuestion;

// A "treedata1.dat" that does not describe a tree. `reason` is the text alone ("Invalid TreeNode
// Level"); what() names the file as every FileError does.
class TreeFileError : public FileError {
public:
    TreeFileError(const std::string& path, const std::string& reason);
    std::string reason;
};

// One node. Its children are the nodes that follow it with a greater depth.
struct TreeNode {
    std::string text;                      // stored text, as shown
    int image = kGroupFolderImage;         // picture when not selected
    int selectedImage = kGroupFolderImage; // picture when selected
    int depth = 0;                         // 0 for a top-level node
};

// What the profile's mailbox side is made of, for the commands that change mailboxes. The
// references must outlive the call.
struct FolderProfile {
    const std::string& directory; // ProfileDirectory, ending in "/"
    ProfileSettings& settings;
    MailboxList& mailboxes;       // MailboxList; the store's MailBoxes are kept equal to it
    TNMailBox& store;
};

// The questions a folder command may put to the user. The tree window answers with its dialogs;
// tests answer as scripted.
class FolderQuestions {
public:
    virtual ~FolderQuestions() = default;
    // The dialog kItemNameTitle / kItemNamePrompt. False on Cancel; else `name` is what was typed.
    virtual bool askItemName(std::string& name) = 0;
    // A Yes/No question under `title`; true for Yes.
    virtual bool askYesNo(const std::string& question, const std::string& title) = 0;
};

// How a folder command ended.
enum class FolderOutcome {
    Done,      // the tree changed (see the result's fields)
    Ignored,   // a node the command does not act on: nothing changed, nothing to show
    Cancelled, // the user answered Cancel or No
    Refused    // nothing changed; show `message` under `title` as information
};

// The result of a folder command: what changed and what the window must show or do.
struct FolderCommandResult {
    FolderOutcome outcome = FolderOutcome::Ignored;
    std::string message;        // Refused: the information to show
    std::string title;          // its caption
    int node = -1;              // Done: the node added, or the node to select after a deletion
    int addedMailbox = 0;       // number of the mailbox a new mailbox folder created
    int removedMailbox = 0;     // number n of the mailbox deleted: close every mailbox window
                                // showing n or above, whose numbers are gone or shifted
    bool mailboxesChanged = false; // MailboxList changed and was saved: reopen the mailbox side
    std::string warning;        // Done, but a later step failed (file removal, tree save): show it
};

// What opening a profile's tree found.
struct TreeOpening {
    bool startedWithStandardTree = false; // no tree files: the standard tree was written
    bool restoredStandardTop = false;     // the files lacked the standard top; it was put first
    std::vector<int> adoptedMailboxes;    // mailboxes without a node that got one under the root
    bool restoredStandardMailboxes = false; // the list lacked standard mailboxes and got them
                                            // back: it changed and wants saving
};

// The tree, as its nodes in display order: the position of a node is its absolute index.
class FolderTree {
public:
    FolderTree() = default;

    const std::vector<TreeNode>& nodes() const { return nodes_; }
    int count() const { return static_cast<int>(nodes_.size()); }
    // The node at an absolute index; std::out_of_range beyond the tree.
    const TreeNode& node(int index) const;
    // Absolute index of the parent, -1 for a top-level node or an index outside the tree.
    int parent(int index) const;
    // Absolute indexes of the direct children, in order.
    std::vector<int> children(int index) const;
    bool hasChildren(int index) const;

    // Empties the tree.
    void clear() { nodes_.clear(); }
    // Replaces the tree by the root "Tavik mail" and the five standard mailboxes.
    void setStandardTree();
    // True when the tree begins with a root whose first five children come right after it: the
    // nodes the mailbox numbers 1 to 5 are tied to.
    bool hasStandardTop() const;
    // Adds a node as the last child of `parentIndex` (-1: at top level). Answers its absolute
    // index, or -1 when the tree is full or the node would lie deeper than kMaxTreeDepth.
    int addChild(int parentIndex, const std::string& text, int image, int selectedImage);
    // Adds a node as the last sibling of `index` (-1: at top level); as addChild.
    int addSibling(int index, const std::string& text, int image, int selectedImage);
    // Removes a node that has no children; false otherwise.
    bool removeNode(int index);

    // Writes "treedata1.dat" (depth in spaces, the text, CR LF) and "treedata2.dat" (image ","
    // selected image, CR LF) into `directory`, each replaced atomically. FileError.
    void SaveTreeToDisk(const std::string& directory) const;
    // When both files exist, replaces the tree by what they hold and answers true; when either
    // is missing changes nothing and answers false. A file that does not describe a tree raises
    // TreeFileError and leaves the nodes read before the faulty line; a file that cannot be read
    // raises FileError and changes nothing.
    bool LoadTreeFromDisk(const std::string& directory);
    // Opens the tree of a profile whose MailboxList is loaded: its files, or "treedata1.dat"
    // alone, or else the standard tree (written at once). A list lacking standard mailboxes gets
    // them back first (restoreStandardMailboxes; the caller saves it). The result always begins
    // with the standard top and has a node for every mailbox above 5 that a node can name. A
    // damaged file is raised (TreeFileError or FileError) after the tree has been made whole.
    TreeOpening openProfileTree(const std::string& profileDirectory, MailboxList& mailboxes);

    // The mailbox number a node stands for, 0 when none: nodes 1 to 5 stand for mailboxes 1 to 5,
    // any other node for the first mailbox from 6 on whose display name is its display name.
    int mailboxOfNode(int index, const MailboxList& mailboxes) const;
    // The node's text drawn bold: it ends in " (n)" with n at least 1.
    bool isBold(int index) const;
    // The mailbox a drop of messages on `index` moves them to, 0 when none or when it is the
    // mailbox `shownMailbox` they come from.
    int dropTarget(int index, const MailboxList& mailboxes, int shownMailbox) const;

    // "New Group folder": a group folder as the last sibling of `selected` (-1: nothing).
    FolderCommandResult newGroupFolder(int selected, const MailboxList& mailboxes, FolderQuestions& ask);
    // "New Subgroup folder": a group folder as the last child of `selected`.
    FolderCommandResult newSubgroupFolder(int selected, const MailboxList& mailboxes, FolderQuestions& ask);
    // "New Mailbox folder": a mailbox folder as the last child of `selected` (above 5), its
    // fresh file pair, its MailboxList entry and SaveSettings; the tree files are written too.
    // Refused while the list holds fewer than the five standard mailboxes, whose numbers the
    // new one would take.
    FolderCommandResult newMailboxFolder(int selected, FolderProfile& profile, FolderQuestions& ask);
    // "Delete Item": removes a group folder, or after a question a mailbox folder with its mail,
    // its files and its MailboxList entry.
    FolderCommandResult deleteItem(int selected, FolderProfile& profile, FolderQuestions& ask);

    // Why `name` cannot name a new folder (a message in the tree's wording), empty when it can.
    std::string folderNameProblem(const std::string& name, const MailboxList& mailboxes) const;

private:
    int subtreeEnd(int index) const;
    int insertAt(int position, int depth, const std::string& text, int image, int selectedImage);
    FolderCommandResult newGroup(int selected, bool asChild, const MailboxList& mailboxes, FolderQuestions& ask);
    void loadFiles(const std::string& directory, bool withImages);
    void putStandardTopFirst();
    std::vector<int> adoptMailboxes(const MailboxList& mailboxes);

    std::vector<TreeNode> nodes_;
};

// A node text without its count: the part before the first " (".
std::string folderDisplayName(const std::string& text);
// True when `text` ends in " (" + decimal number + ")" and the number is at least 1.
bool hasUnreadCount(const std::string& text);
// What the tree shows for the node of a mailbox holding `unread` unread messages: the node's
// text without a count it ends in, then " (" + unread + ")" when there are any. For display
// only: the node keeps its text, which its files, matching and drops go by.
std::string folderItemText(const std::string& text, int unread);
// The display name of a MailboxList entry: after the first "=", up to 99 characters.
std::string mailboxDisplayName(const std::string& entry);
// Makes a list of fewer than five entries begin with the five standard mailboxes again: for
// keys m0 to m4 in turn, the first entry with that key (letter case ignored) moves to its
// number, or the standard entry ("m0=New Mail" ... "m4=Trash") is inserted there when none has
// it. Other entries keep their order after them, so no user mailbox is reached through a
// standard node or has a number of 5 or below. A list of five or more is left alone. True when
// the list changed.
bool restoreStandardMailboxes(MailboxList& mailboxes);
// The key the next mailbox folder gets: "m" + one above the number of the last entry's key,
// or the next number no entry uses when that one is taken.
std::string nextMailboxKey(const MailboxList& mailboxes);

// One entry of the "Folders..." and "Move to..." menus.
struct MailboxMenuEntry {
    int number;
    std::string caption;
};
// The menu entries for every MailboxList entry, in list order.
std::vector<MailboxMenuEntry> mailboxMenu(const MailboxList& mailboxes);

// "Compress Mailboxes": compresses every mailbox whose trash exceeds kCompressTrashLimit.
void compressMailboxes(TNMailBox& store);
// "Empty Trash folder": empties mailbox 5.
void emptyTrash(TNMailBox& store);
// "Delete message": after kDeleteMessagesQuestion moves the messages `numbers` of `mailbox` to
// Trash. In Trash itself, or with no message, nothing is asked or done. True when moved.
bool deleteMessagesToTrash(TNMailBox& store, int mailbox, const std::vector<int>& numbers, FolderQuestions& ask);
// Removes the messages `numbers` of `mailbox` from the store (their text becomes trash of the
// mailbox file), highest number first so the others keep theirs until their turn.
void deleteMessagesForGood(TNMailBox& store, int mailbox, std::vector<int> numbers);

} // namespace tavik
