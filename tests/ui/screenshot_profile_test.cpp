// Not a test: prepares the program directory that scripts/screenshots shows under Xvfb (three
// users, folders and some mail). Disabled; the script runs it with $TAVIK_SCREENSHOT_HOME set.
#include <cstdlib>

#include "pop3/attachment_store.h"
#include "store/folder_tree.h"
#include "ui/main_window_support.h"

namespace tavik::test {
namespace {

TEST(Screenshots, DISABLED_PrepareProfile)
{
    const char* target = std::getenv("TAVIK_SCREENSHOT_HOME");
    if (!target || !*target)
        GTEST_SKIP() << "TAVIK_SCREENSHOT_HOME is not set";
    std::string home = target;
    if (home.back() != '/')
        home += '/';
    makePrivateDirectories(home);
    registerUsers(home, {{"Anna Berg", "anna", ""}, {"Carl", "carl", "secret"}});

    ProfileSettings settings;
    MailboxList mailboxes;
    LoadSettings(home, home, settings, mailboxes);
    settings.Name = "Default User";
    for (const char* entry : {"m5=Tavik release", "m6=Customers", "m7=Family"})
        mailboxes.push_back(entry);
    SaveSettings(home, settings, mailboxes);

    FolderTree tree;
    tree.setStandardTree();
    const int projects = tree.addChild(0, "Projects", kGroupFolderImage, kGroupFolderImage);
    tree.addChild(projects, "Tavik release", kMailboxFolderImage, kMailboxFolderOpenImage);
    tree.addChild(projects, "Customers", kMailboxFolderImage, kMailboxFolderOpenImage);
    const int personal = tree.addChild(0, "Personal", kGroupFolderImage, kGroupFolderImage);
    tree.addChild(personal, "Family", kMailboxFolderImage, kMailboxFolderOpenImage);
    tree.SaveTreeToDisk(home);

    TNMailBox store;
    store.MailBoxes = mailboxes;
    store.SetMailBoxDirectory(home + "mailboxe/");
    struct Mail {
        int mailbox;
        const char* from;
        const char* subject;
        const char* date;
        char flag;
    };
    const Mail mail[] = {
        {1, "Maria Lopez <maria@example.org>", "Minutes of Tuesday's meeting", "Tue, 5 Mar 2024 09:12:44", 'V'},
        {1, "Jon Fischer <jon@example.com>", "Re: Printer on the second floor", "Tue, 5 Mar 2024 11:40:02", 'R'},
        {1, "Support <help@provider.example>", "Your mailbox quota", "Wed, 6 Mar 2024 08:03:19", 'V'},
        {1, "Anna Berg <anna@example.net>", "Photos from the weekend", "Thu, 7 Mar 2024 19:25:51", 'U'},
        {1, "Peter Wang <peter@example.org>", "Release notes, second draft", "Fri, 8 Mar 2024 10:02:33", 'U'},
        {1, "Library <news@library.example>", "Books due next week", "Fri, 8 Mar 2024 14:47:10", 'U'},
        {2, "me@example.org", "Invoice 2024-017", "Mon, 4 Mar 2024 16:20:00", 'V'},
        {5, "lottery@spam.example", "You have won", "Sun, 3 Mar 2024 03:33:33", 'V'},
        {6, "Peter Wang <peter@example.org>", "Build 1.1b is ready", "Mon, 4 Mar 2024 12:00:00", 'V'},
    };
    // The first message has quoted lines, links and two attachments: the windows show them all.
    TAttachmentManager attachments;
    attachments.SetAttachmentDirectory(home + "attach/");
    auto attach = [&](const char* name, const char* type, const char* description, int size) {
        TMIMEAttachment a;
        a.FileName = name;
        a.ContentType = type;
        a.Description = description;
        a.Size = size;
        const std::int32_t n = attachments.RegisterAttachment(a);
        writeFileAtomically(attachments.AttachmentDirectory() + "a" + std::to_string(n), std::string(64, 'x'));
        return n;
    };
    const std::int32_t first = attach("minutes.pdf", "application/pdf", "Minutes, 5 March", 48213);
    const std::int32_t last = attach("whiteboard.jpg", "image/jpeg", "Photo of the whiteboard", 1250000);
    bool rich = true;
    for (const Mail& m : mail) {
        store.SetCurrentMailBoxNumber(m.mailbox);
        store.Msg_From = m.from;
        store.Msg_To = "Default User <me@example.org>";
        store.Msg_Subject = m.subject;
        store.Msg_Date = m.date;
        store.Msg_Flag = m.flag;
        store.Msg_AttachStart = rich ? first : 0;
        store.Msg_AttachEnd = rich ? last : 0;
        if (rich)
            store.Msg_Text = {std::string("From: ") + m.from,
                              "To: Default User <me@example.org>",
                              std::string("Subject: ") + m.subject,
                              std::string("Date: ") + m.date + " +0100",
                              "X-Mailer: Tavik mail v1.1b",
                              "",
                              "Hello all,",
                              "",
                              "the minutes of Tuesday's meeting are attached; the photo of the",
                              "whiteboard too. The agenda lives at https://wiki.example.org/meetings",
                              "and questions go to maria@example.org as usual.",
                              "",
                              "> Could we move the next meeting to Thursday?",
                              ">> Thursday is fine for me.",
                              "",
                              "Regards,",
                              "Maria"};
        else
            store.Msg_Text = {std::string("From: ") + m.from, std::string("Subject: ") + m.subject, "", "Hello,", "",
                              "see you soon.", ""};
        store.AppendMessage();
        rich = false;
    }
    settings.QuotedColor = 4; // navy
    SaveSettings(home, settings, mailboxes);
}

} // namespace
} // namespace tavik::test
