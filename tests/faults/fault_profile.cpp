#include "faults/fault_profile.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "addressbook/address_book.h"
#include "profile/settings.h"
#include "profile/user_registry.h"

namespace tavik::faults {

namespace {

namespace fs = std::filesystem;

const char* const kFrom = "Fault Child <child@tavik.test>";

std::uint64_t fnv(const std::string& s)
{
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return h;
}

// splitmix64, so that a text is the same on every platform.
struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int between(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
};

std::string oneWord(std::string s)
{
    for (char& c : s)
        if (c == ' ' || c == '\n' || c == '\r')
            c = '_';
    return s;
}

} // namespace

std::vector<std::string> mailboxList() { return standardMailboxEntries(); }

std::vector<std::string> messageText(const std::string& id)
{
    Random rnd{fnv(id)};
    std::vector<std::string> text = {std::string("From: ") + kFrom, "X-Id: " + id, "Subject: " + id, ""};
    int shape = rnd.between(1, 100);
    int lines = shape <= 8 ? rnd.between(150, 600) : rnd.between(0, 40);
    for (int i = 0; i < lines; ++i) {
        std::string line(static_cast<std::size_t>(rnd.between(0, 110)), ' ');
        bool binary = rnd.between(1, 100) <= 15;
        for (auto& c : line)
            c = binary ? static_cast<char>(rnd.between(1, 255)) : static_cast<char>(rnd.between(32, 126));
        // A CR LF inside a line would split it when read back.
        for (std::size_t k = 1; k < line.size(); ++k)
            if (line[k - 1] == '\r' && line[k] == '\n')
                line[k] = 'x';
        text.push_back(std::move(line));
    }
    text.push_back("-- end of " + id);
    return text;
}

void appendMessage(TNMailBox& box, int n, const std::string& id, bool sync)
{
    box.SetCurrentMailBoxNumber(n);
    box.Msg_Text = messageText(id);
    box.Msg_From = kFrom;
    box.Msg_To = "reader@tavik.test";
    box.Msg_Subject = id;
    box.Msg_Date = "Mon, 1 Jan 2024 12:00:00";
    box.Msg_Flag = 'U';
    box.Msg_Part = 0;
    box.Msg_AttachStart = 0;
    box.Msg_AttachEnd = 0;
    box.SyncAppends = sync;
    box.AppendMessage();
    box.SyncAppends = false;
}

void openStore(TNMailBox& box, const ProfileDirs& p)
{
    box.MailBoxes = mailboxList();
    box.SetMailBoxDirectory(p.mailboxes());
}

StoreView viewStore(TNMailBox& box)
{
    StoreView view;
    for (int n = 1; n <= kMailboxCount; ++n) {
        SeenMailbox& m = view[static_cast<std::size_t>(n - 1)];
        try {
            box.SetCurrentMailBoxNumber(n);
        } catch (const std::exception& e) {
            m.error = e.what();
            continue;
        }
        m.opened = true;
        m.trash = box.CurrentNMailBoxTrash();
        int count = box.CurrentMailBoxMessages();
        for (int k = 1; k <= count; ++k) {
            SeenMessage s;
            try {
                box.SetCurrentMailBoxNumber(n);
                box.SetMsg_Number(k);
                s.id = oneWord(box.Msg_Subject);
                s.flag = box.Msg_Flag;
                box.LoadMessageText();
                std::vector<std::string> want = messageText(box.Msg_Subject);
                std::size_t bytes = 1;
                for (const auto& line : want)
                    bytes += line.size() + 2;
                if (box.Msg_Text != want)
                    s.problem = "text differs";
                else if (box.Msg_From != kFrom)
                    s.problem = "From differs";
                else if (box.Msg_Lines() != static_cast<int>(want.size()) || box.Msg_Size() != static_cast<int>(bytes))
                    s.problem = "Lines or Size differ";
                else
                    s.intact = true;
            } catch (const std::exception& e) {
                s.problem = e.what();
            }
            if (s.id.empty())
                s.id = "?";
            m.messages.push_back(std::move(s));
        }
    }
    return view;
}

StoreView reopenAndView(const ProfileDirs& p)
{
    TNMailBox box;
    box.MailBoxes = mailboxList();
    try {
        box.SetMailBoxDirectory(p.mailboxes());
    } catch (const std::exception& e) {
        StoreView v;
        for (auto& m : v)
            m.error = std::string("the store does not open: ") + e.what();
        return v;
    }
    return viewStore(box);
}

std::string formatView(const StoreView& view)
{
    std::ostringstream out;
    for (int n = 1; n <= kMailboxCount; ++n) {
        const SeenMailbox& m = view[static_cast<std::size_t>(n - 1)];
        out << "mailbox " << n << (m.opened ? " opened " : " failed ") << m.trash << ' ' << oneWord(m.error) << '\n';
        for (const auto& s : m.messages)
            out << "message " << n << ' ' << s.id << ' ' << static_cast<int>(static_cast<unsigned char>(s.flag)) << ' '
                << (s.intact ? 1 : 0) << ' ' << oneWord(s.problem) << '\n';
    }
    return out.str();
}

StoreView parseView(const std::string& text)
{
    StoreView view;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string word;
        int n = 0;
        l >> word >> n;
        if (n < 1 || n > kMailboxCount)
            continue;
        SeenMailbox& m = view[static_cast<std::size_t>(n - 1)];
        if (word == "mailbox") {
            std::string state;
            l >> state >> m.trash;
            m.opened = state == "opened";
            l >> m.error;
        } else if (word == "message") {
            SeenMessage s;
            int flag = 0, intact = 0;
            l >> s.id >> flag >> intact >> s.problem;
            s.flag = static_cast<char>(flag);
            s.intact = intact == 1;
            m.messages.push_back(std::move(s));
        }
    }
    return view;
}

std::string compareView(const StoreView& view, const MailboxModel& model)
{
    std::ostringstream why;
    for (std::size_t n = 0; n < static_cast<std::size_t>(kMailboxCount); ++n) {
        const SeenMailbox& m = view[n];
        const auto& want = model[n];
        if (!m.opened) {
            why << "mailbox " << n + 1 << " does not open: " << m.error << "; ";
            continue;
        }
        bool same = m.messages.size() == want.size();
        for (std::size_t k = 0; same && k < want.size(); ++k)
            same = m.messages[k].id == want[k].first && m.messages[k].flag == want[k].second;
        if (!same) {
            why << "mailbox " << n + 1 << " holds [";
            for (const auto& s : m.messages)
                why << ' ' << s.id << '/' << s.flag;
            why << " ] instead of [";
            for (const auto& [id, flag] : want)
                why << ' ' << id << '/' << flag;
            why << " ]; ";
        }
        for (const auto& s : m.messages)
            if (!s.intact)
                why << "message " << s.id << " of mailbox " << n + 1 << " is damaged: " << s.problem << "; ";
    }
    return why.str();
}

TMIMEAttachment attachmentRecord(const std::string& tag)
{
    Random rnd{fnv(tag)};
    TMIMEAttachment a;
    a.FileName = "file-" + tag + ".bin";
    a.ContentType = rnd.between(0, 1) ? "application/octet-stream" : "image/png";
    a.Disposition = "attachment";
    a.Description = std::string(static_cast<std::size_t>(rnd.between(0, 200)), 'd') + tag;
    a.Size = rnd.between(0, 1000000);
    a.ContentID = "<" + tag + "@tavik.test>";
    return a;
}

bool sameRecord(const TMIMEAttachment& a, const TMIMEAttachment& b)
{
    return encodeAttachmentRecord(a) == encodeAttachmentRecord(b);
}

MailboxModel buildBaseProfile(const ProfileDirs& p)
{
    makePrivateDirectories(p.dir);
    ProfileSettings settings;
    MailboxList boxes;
    LoadSettings(p.dir, p.dir, settings, boxes);
    settings.Name = "Fault Tester";
    settings.SmtpServer = "smtp.tavik.test";
    settings.Pop3Server = "pop.tavik.test";
    settings.Password = "secret";
    SaveSettings(p.dir, settings, boxes);

    MailboxModel model;
    {
        TNMailBox box;
        openStore(box, p);
        for (const char* id : {"a1", "a2", "a3", "a4", "a5"})
            appendMessage(box, 1, id);
        box.SetCurrentMailBoxNumber(1);
        box.SetMsg_Number(3);
        box.DeleteMessage(); // leaves trash for a compression to remove
        for (const char* id : {"b1", "b2", "b3"})
            appendMessage(box, 2, id);
        appendMessage(box, 4, "d1");
        for (const char* id : {"e1", "e2"})
            appendMessage(box, 5, id);
    }
    model[0] = {{"a1", 'U'}, {"a2", 'U'}, {"a4", 'U'}, {"a5", 'U'}};
    model[1] = {{"b1", 'U'}, {"b2", 'U'}, {"b3", 'U'}};
    model[3] = {{"d1", 'U'}};
    model[4] = {{"e1", 'U'}, {"e2", 'U'}};

    {
        TAttachmentManager attachments;
        attachments.SetAttachmentDirectory(p.attachments());
        for (const char* tag : {"r1", "r2", "r3"}) {
            TMIMEAttachment r = attachmentRecord(tag);
            attachments.RegisterAttachment(r);
        }
    }

    UserRegistry users;
    users.userNames = {"default", "alice"};
    users.userDirectories = {"default", "alice"};
    users.userPasswords = {kNoPassword, "wonderland"};
    SaveUsers(p.dir, users);

    const std::string address = addressDirectory(p.dir);
    makePrivateDirectories(address);
    std::vector<AddressRow> rows = parseAddressRows(std::string(kMainBookHeader) + "\r\n");
    rows.push_back({"Ann", "ann@tavik.test", "", "", "", "", "", "", ""});
    rows.push_back({"Bob", "bob@tavik.test", "Works", "bob@work.test", "", "", "", "", ""});
    writeAddressRows(address + kMainBookFileName, rows);
    writeAddressRows(address + "friends.csv", parseAddressRows(std::string(kListHeader) + "\r\nCarl,carl@tavik.test\r\n"));
    writeAddressRows(address + "work.csv", parseAddressRows(std::string(kListHeader) + "\r\nDora,dora@tavik.test\r\n"));
    writeListCatalog(p.dir, ListCatalog{{kMainBookName, "Friends", "Work"}, {kMainBookFileName, "friends.csv", "work.csv"}});
    return model;
}

std::vector<TMIMEAttachment> baseAttachments(const ProfileDirs& p)
{
    std::vector<TMIMEAttachment> out;
    int n = 0;
    for (const char* tag : {"r1", "r2", "r3"}) {
        TMIMEAttachment r = attachmentRecord(tag);
        r.Location = p.attachments() + "a" + std::to_string(++n);
        r.ManagedFile = 1;
        out.push_back(r);
    }
    return out;
}

ScratchDir::ScratchDir()
{
    std::string base;
    const char* chosen = std::getenv("TAVIK_FAULT_SCRATCH");
    const char* tmp = std::getenv("TMPDIR");
    if (chosen && *chosen)
        base = chosen;
    else if (::access("/dev/shm", W_OK | X_OK) == 0 && fs::is_directory("/dev/shm"))
        base = "/dev/shm";
    else
        base = tmp && *tmp ? tmp : "/tmp";
    std::string tmpl = base + "/tavik-faults-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a scratch directory in " + base);
    path_ = tmpl + "/";
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<std::string> leftoverTemporaryFiles(const std::string& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        auto at = name.rfind(".tmp-");
        if (at != std::string::npos && name.size() == at + 11)
            out.push_back(it->path().string());
    }
    return out;
}

} // namespace tavik::faults
