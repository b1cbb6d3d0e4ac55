// The local users of an installation: the registry file "Login.ini" in the program directory,
// the rules for adding, deleting, logging in and switching users, and where each user's profile
// lies. Dialogs come on top: every operation returns the message to show and takes its
// questions through UserQuestions, so the rules run (and are tested) without a screen.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavik {

// The registry file's name in the program directory.
inline constexpr const char* kLoginFileName = "Login.ini";
// The entry of the password list for a user without password.
inline constexpr const char* kNoPassword = "none";
// Login name and directory of the user every installation starts with.
inline constexpr const char* kDefaultUserName = "default";
// Caption of the message boxes that show a UserResult's text.
inline constexpr const char* kUserMessageTitle = "Tavik mail";
// Caption of the password dialog UserQuestions::askPassword stands for.
inline constexpr const char* kPasswordDialogCaption = "User Password . . .";
// Longest password AddUser accepts (its file form must stay within an ini value's limit).
inline constexpr std::size_t kMaxUserPasswordLength = 255;
// Longest directory name: one path component.
inline constexpr std::size_t kMaxUserDirectoryLength = 255;

// The registry in memory: three lists kept in step by position. Position 0 is the default user.
// Passwords are plain here, kNoPassword for none. Owned by the main window for the process.
struct UserRegistry {
    std::vector<std::string> userNames;        // login names, as the combo boxes show them
    std::vector<std::string> userDirectories;  // directory names under "users/"
    std::vector<std::string> userPasswords;    // plain password or kNoPassword
    int currentUser = 0;                       // position of the logged-in user

    // Number of users (the length of each list).
    int size() const { return static_cast<int>(userNames.size()); }
};

// What an operation did; the dialogs choose their next step from it.
enum class UserOutcome {
    Done,                   // added, deleted, logged in or switched
    Unchanged,              // nothing to do: empty login, the user already current
    Cancelled,              // a question was answered No or closed
    NoSuchUser,             // the position names no user
    UnknownUser,            // a typed login matches no user
    PasswordIncorrect,      // the typed password differs from the stored one
    FieldsMissing,          // AddUser: login or directory empty
    CannotCreateDirectory,  // AddUser: the profile directory could not be made
    PasswordsDiffer,        // AddUser: password and confirmation differ
    LoginInvalid,           // AddUser: the login cannot be a line of "Login.ini"
    LoginTaken,             // AddUser: another user has this login (letter case ignored)
    DirectoryInvalid,       // AddUser: not one plain path component, or "default"
    DirectoryTaken,         // AddUser: another user has this directory
    PasswordReserved,       // AddUser: the password is the word that means "no password"
    PasswordTooLong,        // AddUser: longer than kMaxUserPasswordLength
    CurrentUserKept,        // DeleteUser: the current user cannot be deleted
    DefaultUserKept,        // DeleteUser: the default user cannot be deleted
};

// The result of an operation and the information box to show; text empty means show nothing.
struct UserResult {
    UserOutcome outcome = UserOutcome::Done;
    std::string text;   // exact message text, lines separated by CR LF
    std::string title;  // caption of its box (kUserMessageTitle), empty when text is

    bool succeeded() const { return outcome == UserOutcome::Done; }
};

// The questions the rules ask while they run. The program answers with its dialogs, tests
// with scripted answers.
class UserQuestions {
public:
    virtual ~UserQuestions() = default;
    // The password dialog for `userName`: the text typed, or nullopt when it was closed.
    virtual std::optional<std::string> askPassword(const std::string& userName) = 0;
    // A Yes/No question; true for Yes.
    virtual bool askYesNo(const std::string& question) = 0;
};

// The fields of the new-user form.
struct NewUser {
    std::string login;
    std::string directory;
    std::string password;      // empty for none
    std::string confirmation;  // must equal password when one is given
    bool createTempDirectory = false;  // the Add/Delete Users dialog also makes "Temp" in it
};

// Replaces `registry` with directory + "Login.ini" and writes the file back, so that it exists
// from the first start on. Without the file, or with no user in it, the registry is the default
// user alone. Passwords pair with users by line order; a user without one gets kNoPassword.
// currentUser becomes 0. Throws FileError naming the file.
void LoadUsers(const std::string& directory, UserRegistry& registry);

// Rewrites the "Login" and "Pwd" sections of directory + "Login.ini" whole, keeping the file's
// other lines, and replaces the file once, atomically. Throws FileError naming the file, also
// when a login name cannot be a line of it; std::invalid_argument when the lists differ in length.
void SaveUsers(const std::string& directory, const UserRegistry& registry);

// Registers a user: checks the fields, creates programDirectory + "users/" + the directory in
// lower case, appends the user and saves. A refusal leaves registry, file and disk unchanged.
// Throws FileError when "Login.ini" cannot be written (the registry is then left as it was).
UserResult AddUser(const std::string& programDirectory, UserRegistry& registry, const NewUser& user);

// Deletes the user at `index` after the checks and questions of the Add/Delete Users dialog,
// keeps currentUser on the same person, saves, and removes the user's own directory under
// "users/" (never anything outside it, never a directory another user still has). Throws
// FileError when the file cannot be written (nothing changed) or the directory cannot be removed
// (the user is then already deleted from the registry).
UserResult DeleteUser(const std::string& programDirectory, UserRegistry& registry, int index,
                      UserQuestions& questions);

// True when the user at `index` has a password (the login dialog then enables its field).
bool userHasPassword(const UserRegistry& registry, int index);

// True when `typed` opens the account at `index`: always for a user without password, else an
// exact, case-sensitive match.
bool passwordMatches(const UserRegistry& registry, int index, const std::string& typed);

// The login dialog's OK for the user at `index` with the password typed: Done makes him current;
// PasswordIncorrect ("Password incorrect.") means the program ends.
UserResult logIn(UserRegistry& registry, int index, const std::string& typedPassword);

// The same for the text of the login combo: empty is Unchanged (nothing happens), a name no user
// has is UnknownUser with a message (the dialog stays open).
UserResult logIn(UserRegistry& registry, const std::string& login, const std::string& typedPassword);

// The checks of a user switch to `index`: Unchanged for the current user, else asks the password
// of a protected user; Done makes him current, anything else leaves currentUser as it was.
UserResult switchUser(UserRegistry& registry, int index, UserQuestions& questions);

// Position of the user called `login`: an exact match first, else one that differs in letter
// case only; -1 when none.
int findUserByLogin(const UserRegistry& registry, const std::string& login);

// True for a directory name that names the program directory's own profile ("default", any case).
bool isDefaultUserDirectory(const std::string& directory);

// True for a name that is one plain path component: not empty, ".", "..", no "/", "\" or
// control character, at most kMaxUserDirectoryLength bytes.
bool isSafeUserDirectory(const std::string& directory);

// The profile directory of the user at `index`, ending in "/": programDirectory for the default
// directory, else programDirectory + "users/" + the directory in lower case + "/". The one place
// start-up, user switch, deletion and tavikctl take it from. Throws FileError naming "Login.ini"
// when the stored directory is not a safe name, std::out_of_range for a bad index.
std::string profileDirectoryOfUser(const std::string& programDirectory, const UserRegistry& registry, int index);

} // namespace tavik
