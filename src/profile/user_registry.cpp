#include "profile/user_registry.h"

#include "profile/file_util.h"
#include "profile/ini_file.h"
#include "profile/settings.h"

#include "text/unicode_text.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

// Rules for a registry read back, decided here:
// - Lines of "Login" without "=" are not users (the ini layer does not read them) and vanish
//   at the write-back; directory names are taken up to kMaxDirectoryRead bytes.
// - "Pwd" lines pair with users by line order. Missing entries mean no password: whoever can
//   edit the file can write "none" anyway. Surplus entries are dropped.
// - A file without any user starts over with the default user, or nobody could log in.
// - Stored directory names are kept as read, so the write-back loses nothing, but only safe
//   names ever become a path; deletion of a user with an unsafe name removes no directory.

namespace {

const char* const kLoginSection = "Login";
const char* const kPasswordSection = "Pwd";
const char* const kUsersDirectory = "users/";
const char* const kTempDirectory = "Temp";

constexpr std::size_t kMaxDirectoryRead = 999;
// Bounds the recursion (and the open descriptors) of a directory removal.
constexpr int kMaxRemoveDepth = 128;

const char* const kFieldsMissingText = "Error adding New User:\r\nYou must fill Login field and\r\nDirectory field.";
const char* const kCannotCreateText = "Error adding New User:\r\nCannot create user directory.";
const char* const kPasswordsDifferText = "Error: Password and Confirmation are different.";
const char* const kLoginInvalidText =
    "Error adding New User:\r\nThe Login field cannot contain \"=\"\r\nnor begin with \"[\".";
const char* const kLoginTakenText = "Error adding New User:\r\nThis Login is already used\r\nby another user.";
const char* const kDirectoryInvalidText = "Error adding New User:\r\nThe Directory field must be a plain name:\r\n"
                                          "no \"/\" or \"\\\", not \".\", \"..\" or \"default\".";
const char* const kDirectoryTakenText = "Error adding New User:\r\nThis Directory is already used\r\nby another user.";
const char* const kPasswordReservedText = "Error adding New User:\r\n\"none\" cannot be used as a password.";
const char* const kPasswordTooLongText = "Error adding New User:\r\nThe password is too long\r\n(255 characters at most).";
const char* const kPasswordIncorrectText = "Password incorrect.";
const char* const kNotDeletedText = "Password incorrect. User not deleted.";
const char* const kCurrentUserText = "You cannot delete the current user !!";
const char* const kDefaultUserText = "You cannot delete the default user !!";
const char* const kUnknownUserText = "Unknown user.";

UserResult result(UserOutcome outcome, const char* text = nullptr)
{
    UserResult r;
    r.outcome = outcome;
    if (text) {
        r.text = text;
        r.title = kUserMessageTitle;
    }
    return r;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string s)
{
    for (char& c : s)
        c = lowerAscii(c);
    return s;
}

// Letter case as the ini layer ignores it: ASCII letters only.
bool sameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool isControl(char c)
{
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// The ini reader drops blanks around names and values; trimming first keeps what is saved
// equal to what is read back.
std::string trimmed(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// A login that reads back as the same key of "Login": the reader takes a line starting with "["
// for a section and splits at the first "=".
bool isStorableLogin(const std::string& login)
{
    return !login.empty() && login.front() != '[' && login.find('=') == std::string::npos &&
           login.find('\n') == std::string::npos && !isBlank(login.front()) && !isBlank(login.back());
}

std::string withSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string loginFilePath(const std::string& directory) { return withSlash(directory) + kLoginFileName; }

// The password's "Pwd" value. The settings file's form, except that a scrambled text equal to
// "none" would read back as no password; it goes in hexadecimal, which the reader decodes.
std::string passwordValue(const std::string& plain)
{
    if (plain == kNoPassword)
        return kNoPassword;
    std::string value = passwordToIniValue(plain);
    if (value != kNoPassword)
        return value;
    static const char* const digits = "0123456789ABCDEF";
    value = kHexPasswordMarker;
    for (unsigned char c : ScramblePassword(plain)) {
        value.push_back(digits[c >> 4]);
        value.push_back(digits[c & 15]);
    }
    return value;
}

std::string passwordFromValue(const std::string& value)
{
    return value == kNoPassword ? std::string(kNoPassword) : passwordFromIniValue(value);
}

// The value part of a "key=value" line as IniFile::sectionLines gives it.
std::string valueOf(const std::string& line) { return line.substr(line.find('=') + 1); }

void resetToDefault(UserRegistry& registry)
{
    registry.userNames = {kDefaultUserName};
    registry.userDirectories = {kDefaultUserName};
    registry.userPasswords = {kNoPassword};
    registry.currentUser = 0;
}

bool validIndex(const UserRegistry& registry, int index)
{
    return index >= 0 && index < registry.size() && registry.userDirectories.size() == registry.userNames.size() &&
           registry.userPasswords.size() == registry.userNames.size();
}

// The name under "users/" that is the user's profile, or empty when he has none there.
std::string ownUsersEntry(const std::string& directory)
{
    if (!isSafeUserDirectory(directory) || isDefaultUserDirectory(directory))
        return {};
    return lowerAscii(directory);
}

std::string errnoText() { return std::strerror(errno); }

// Removes `name` in the directory `parentFd` with everything below it. Symbolic links are
// removed, never followed: each level is opened with O_NOFOLLOW relative to its parent, so a
// link swapped in while this runs cannot lead outside either.
void removeTreeAt(int parentFd, const std::string& name, const std::string& path, int depth)
{
    if (depth > kMaxRemoveDepth)
        throw FileError(path, "directory tree too deep to delete");
    int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return;
        if (errno == ENOTDIR || errno == ELOOP) {
            if (::unlinkat(parentFd, name.c_str(), 0) != 0 && errno != ENOENT)
                throw FileError(path, "cannot delete: " + errnoText());
            return;
        }
        throw FileError(path, "cannot open directory: " + errnoText());
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        std::string why = errnoText();
        ::close(fd);
        throw FileError(path, "cannot read directory: " + why);
    }
    // Names first, removal after: a directory stream need not survive changes under it.
    std::vector<std::string> entries;
    errno = 0;
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            entries.emplace_back(e->d_name);
        errno = 0;
    }
    if (errno != 0) {
        std::string why = errnoText();
        ::closedir(dir);
        throw FileError(path, "cannot read directory: " + why);
    }
    try {
        for (const auto& entry : entries)
            removeTreeAt(fd, entry, path + "/" + entry, depth + 1);
    } catch (...) {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        throw FileError(path, "cannot delete directory: " + errnoText());
}

// Removes programDirectory + "users/" + entry. "users" itself may be a link (a profile tree
// moved to another disk); everything below it is never followed.
void removeUsersEntry(const std::string& programDirectory, const std::string& entry)
{
    std::string users = withSlash(programDirectory) + kUsersDirectory;
    int usersFd = ::open(users.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (usersFd < 0) {
        if (errno == ENOENT)
            return;
        throw FileError(users, "cannot open directory: " + errnoText());
    }
    try {
        removeTreeAt(usersFd, entry, users + entry, 0);
    } catch (...) {
        ::close(usersFd);
        throw;
    }
    ::close(usersFd);
}

bool isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Keeps the registry as it was when a save fails, so memory never runs ahead of the file.
void saveOrRestore(const std::string& programDirectory, UserRegistry& registry, const UserRegistry& before)
{
    try {
        SaveUsers(programDirectory, registry);
    } catch (...) {
        registry = before;
        throw;
    }
}

} // namespace

void LoadUsers(const std::string& directory, UserRegistry& registry)
{
    IniFile ini(loginFilePath(directory));
    UserRegistry loaded;
    for (const auto& line : ini.sectionLines(kLoginSection)) {
        std::size_t eq = line.find('=');
        loaded.userNames.push_back(line.substr(0, eq));
        loaded.userDirectories.push_back(line.substr(eq + 1, kMaxDirectoryRead));
    }
    std::vector<std::string> passwords = ini.sectionLines(kPasswordSection);
    for (std::size_t i = 0; i < loaded.userNames.size(); ++i)
        loaded.userPasswords.push_back(i < passwords.size() ? passwordFromValue(valueOf(passwords[i]))
                                                            : std::string(kNoPassword));
    if (loaded.userNames.empty())
        resetToDefault(loaded);
    loaded.currentUser = 0;
    registry = std::move(loaded);
    SaveUsers(directory, registry);
}

// The sections go in as text: IniFile's key writers would merge logins equal but for letter
// case, and every user must stay a line of his own, in order.
void SaveUsers(const std::string& directory, const UserRegistry& registry)
{
    const std::size_t n = registry.userNames.size();
    if (registry.userDirectories.size() != n || registry.userPasswords.size() != n)
        throw std::invalid_argument("user lists differ in length");
    std::string path = loginFilePath(directory);
    std::string login = "[" + std::string(kLoginSection) + "]\r\n";
    std::string pwd = "[" + std::string(kPasswordSection) + "]\r\n";
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& name = registry.userNames[i];
        const std::string& dir = registry.userDirectories[i];
        if (!isStorableLogin(name))
            throw FileError(path, "the login \"" + name + "\" cannot be stored");
        if (dir.find('\n') != std::string::npos)
            throw FileError(path, "the directory of \"" + name + "\" cannot be stored");
        login += name + "=" + dir + "\r\n";
        pwd += std::to_string(i) + "=" + passwordValue(registry.userPasswords[i]) + "\r\n";
    }
    IniFile ini(path);
    ini.eraseSection(kLoginSection);
    ini.eraseSection(kPasswordSection);
    writeFileAtomically(path, ini.serialize() + login + pwd, kPrivateFileMode);
}

// Every check runs before anything is created, so a refusal leaves no directory behind.
UserResult AddUser(const std::string& programDirectory, UserRegistry& registry, const NewUser& user)
{
    const std::string login = trimmed(user.login);
    const std::string directory = lowerAscii(trimmed(user.directory));
    if (login.empty() || directory.empty())
        return result(UserOutcome::FieldsMissing, kFieldsMissingText);
    bool controls = false;
    for (char c : login)
        controls = controls || isControl(c);
    if (!isStorableLogin(login) || controls)
        return result(UserOutcome::LoginInvalid, kLoginInvalidText);
    for (const auto& name : registry.userNames)
        if (sameIgnoringCase(name, login))
            return result(UserOutcome::LoginTaken, kLoginTakenText);
    if (!isSafeUserDirectory(directory) || isDefaultUserDirectory(directory))
        return result(UserOutcome::DirectoryInvalid, kDirectoryInvalidText);
    for (const auto& taken : registry.userDirectories)
        if (sameIgnoringCase(trimmed(taken), directory))
            return result(UserOutcome::DirectoryTaken, kDirectoryTakenText);
    if (!user.password.empty() && user.password != user.confirmation)
        return result(UserOutcome::PasswordsDiffer, kPasswordsDifferText);
    if (user.password == kNoPassword)
        return result(UserOutcome::PasswordReserved, kPasswordReservedText);
    if (user.password.size() > kMaxUserPasswordLength)
        return result(UserOutcome::PasswordTooLong, kPasswordTooLongText);

    const std::string profile = withSlash(programDirectory) + kUsersDirectory + directory;
    try {
        makePrivateDirectories(profile);
        if (user.createTempDirectory)
            makePrivateDirectories(profile + "/" + kTempDirectory);
    } catch (const FileError&) {
        return result(UserOutcome::CannotCreateDirectory, kCannotCreateText);
    }
    if (!isDirectory(profile))
        return result(UserOutcome::CannotCreateDirectory, kCannotCreateText);

    const UserRegistry before = registry;
    registry.userNames.push_back(login);
    registry.userDirectories.push_back(directory);
    registry.userPasswords.push_back(user.password.empty() ? std::string(kNoPassword) : user.password);
    saveOrRestore(programDirectory, registry, before);
    return result(UserOutcome::Done);
}

UserResult DeleteUser(const std::string& programDirectory, UserRegistry& registry, int index,
                      UserQuestions& questions)
{
    if (!validIndex(registry, index))
        return result(UserOutcome::NoSuchUser);
    if (index == registry.currentUser)
        return result(UserOutcome::CurrentUserKept, kCurrentUserText);
    if (index == 0)
        return result(UserOutcome::DefaultUserKept, kDefaultUserText);
    const std::string name = registry.userNames[index];
    if (userHasPassword(registry, index)) {
        std::optional<std::string> typed = questions.askPassword(name);
        if (!typed)
            return result(UserOutcome::Cancelled);
        if (!passwordMatches(registry, index, *typed))
            return result(UserOutcome::PasswordIncorrect, kNotDeletedText);
    }
    if (!questions.askYesNo("User " + name + " will be permanently deleted.\r\nAre you sure you want to do this?"))
        return result(UserOutcome::Cancelled);

    const std::string entry = ownUsersEntry(registry.userDirectories[index]);
    const UserRegistry before = registry;
    if (index < registry.currentUser)
        --registry.currentUser;
    registry.userNames.erase(registry.userNames.begin() + index);
    registry.userDirectories.erase(registry.userDirectories.begin() + index);
    registry.userPasswords.erase(registry.userPasswords.begin() + index);
    saveOrRestore(programDirectory, registry, before);

    // A directory another registered user still maps to is his profile too.
    bool shared = false;
    for (const auto& dir : registry.userDirectories)
        shared = shared || (!entry.empty() && ownUsersEntry(dir) == entry);
    if (!entry.empty() && !shared)
        removeUsersEntry(programDirectory, entry);
    return result(UserOutcome::Done);
}

bool userHasPassword(const UserRegistry& registry, int index)
{
    return validIndex(registry, index) && registry.userPasswords[index] != kNoPassword;
}

bool passwordMatches(const UserRegistry& registry, int index, const std::string& typed)
{
    if (!validIndex(registry, index))
        return false;
    // A password kept by the 8-bit program holds Latin-1 bytes; typed now it arrives as UTF-8.
    const std::string& kept = registry.userPasswords[index];
    return !userHasPassword(registry, index) || kept == typed || storedText(kept) == typed;
}

UserResult logIn(UserRegistry& registry, int index, const std::string& typedPassword)
{
    if (!validIndex(registry, index))
        return result(UserOutcome::NoSuchUser);
    if (!passwordMatches(registry, index, typedPassword))
        return result(UserOutcome::PasswordIncorrect, kPasswordIncorrectText);
    registry.currentUser = index;
    return result(UserOutcome::Done);
}

UserResult logIn(UserRegistry& registry, const std::string& login, const std::string& typedPassword)
{
    if (login.empty())
        return result(UserOutcome::Unchanged);
    int index = findUserByLogin(registry, login);
    if (index < 0)
        return result(UserOutcome::UnknownUser, kUnknownUserText);
    return logIn(registry, index, typedPassword);
}

UserResult switchUser(UserRegistry& registry, int index, UserQuestions& questions)
{
    if (!validIndex(registry, index))
        return result(UserOutcome::NoSuchUser);
    if (index == registry.currentUser)
        return result(UserOutcome::Unchanged);
    if (userHasPassword(registry, index)) {
        std::optional<std::string> typed = questions.askPassword(registry.userNames[index]);
        if (!typed)
            return result(UserOutcome::Cancelled);
        if (!passwordMatches(registry, index, *typed))
            return result(UserOutcome::PasswordIncorrect, kPasswordIncorrectText);
    }
    registry.currentUser = index;
    return result(UserOutcome::Done);
}

int findUserByLogin(const UserRegistry& registry, const std::string& login)
{
    for (int i = 0; i < registry.size(); ++i)
        if (registry.userNames[i] == login)
            return i;
    for (int i = 0; i < registry.size(); ++i)
        if (sameIgnoringCase(registry.userNames[i], login) || sameIgnoringCase(storedText(registry.userNames[i]), login))
            return i;
    return -1;
}

bool isDefaultUserDirectory(const std::string& directory) { return sameIgnoringCase(directory, kDefaultUserName); }

bool isSafeUserDirectory(const std::string& directory)
{
    if (directory.empty() || directory.size() > kMaxUserDirectoryLength || directory == "." || directory == "..")
        return false;
    for (char c : directory)
        if (c == '/' || c == '\\' || isControl(c))
            return false;
    return true;
}

std::string profileDirectoryOfUser(const std::string& programDirectory, const UserRegistry& registry, int index)
{
    if (!validIndex(registry, index))
        throw std::out_of_range("no user at position " + std::to_string(index));
    const std::string& directory = registry.userDirectories[index];
    if (isDefaultUserDirectory(directory))
        return withSlash(programDirectory);
    if (!isSafeUserDirectory(directory))
        throw FileError(loginFilePath(programDirectory),
                        "the directory of user \"" + registry.userNames[index] + "\" is not a plain name");
    return withSlash(programDirectory) + kUsersDirectory + lowerAscii(directory) + "/";
}

} // namespace tavik
