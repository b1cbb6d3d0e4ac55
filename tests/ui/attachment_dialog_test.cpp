// The attachment dialog of composition offscreen: the three ways of adding a file, the fields
// written back, removal, the limit, "New type" and "View Attachment" with a scripted launcher.
#include <QComboBox>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <map>
#include <sys/stat.h>

#include "ui/ui_test_support.h"
#include "view/attachment_dialog.h"
#include "view/mime_launch_dialog.h"
#include "view/mime_manager.h"
#include "view/mime_type_dialog.h"
#include "window_common/text_conversion.h"

namespace tavik::test {
namespace {

// Records every start and answers the desktop queries from a table (arguments joined by "|").
struct RecordingLauncher : ProgramLauncher {
    std::map<std::string, std::string> answers;
    std::vector<std::vector<std::string>> started;
    bool startSucceeds = true;

    bool startProgram(const std::string& program, const std::vector<std::string>& arguments) override
    {
        started.push_back({program});
        started.back().insert(started.back().end(), arguments.begin(), arguments.end());
        return startSucceeds;
    }
    std::optional<std::string> queryProgram(const std::string& program,
                                            const std::vector<std::string>& arguments) override
    {
        std::string key = program;
        for (const std::string& a : arguments)
            key += "|" + a;
        auto it = answers.find(key);
        return it == answers.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

class AttachmentDialog : public UiTest {
protected:
    AttachmentDialog() { ::mkdir(dir.c_str(), 0700); }

    std::string file(const std::string& name)
    {
        writeBytes(dir + name, "content of " + name);
        return dir + name;
    }
    std::string program(const std::string& name)
    {
        writeBytes(home() + name, "#!/bin/sh\n");
        ::chmod((home() + name).c_str(), 0755);
        return home() + name;
    }
    // The file list's entry of `path`, once the list has read its directory and laid it out.
    QModelIndex fileIndex(TAttachmentForm& form, const std::string& path)
    {
        QModelIndex index;
        EXPECT_TRUE(waitFor([&] {
            index = form.fileModel()->index(pathFromBytes(path));
            return index.isValid() && form.fileList()->visualRect(index).isValid();
        }));
        return index;
    }

    const std::string dir = home() + "files/";
    RecordingLauncher launcher;
    TMimeManager mime{home() + "mime.def", &launcher};
};

TEST_F(AttachmentDialog, AttachmentEachAddGestureListsAFileOnceWithTheTypeOfItsExtension)
{
    const std::string notes = file("notes.TXT"), picture = file("photo.gif"), blob = file("blob");
    TAttachmentForm form(mime, {}, dir);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Message Attachments"));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_FALSE(form.nameEdit()->isEnabled());

    // Double click in the file list.
    const QModelIndex notesIndex = fileIndex(form, notes);
    ASSERT_TRUE(notesIndex.isValid());
    const QPoint at = form.fileList()->visualRect(notesIndex).center();
    // As the window system delivers it: a click, then the second press.
    QTest::mouseClick(form.fileList()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(form.fileList()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(form.attachments().size(), 1u);
    const TOutgoingAttachment& a = form.attachments()[0];
    EXPECT_EQ(a.Path, notes);
    EXPECT_EQ(a.Name, "notes.TXT");
    EXPECT_EQ(a.MimeType, "text/plain");
    EXPECT_EQ(a.Description, "");
    EXPECT_EQ(a.Encoding, 0);
    EXPECT_TRUE(form.nameEdit()->isEnabled());
    EXPECT_EQ(form.locationEdit()->text(), pathFromBytes(notes));

    // "Add Attachment >>>" with the file list's selection, the listed file among it.
    form.fileList()->selectionModel()->select(notesIndex, QItemSelectionModel::Select);
    form.fileList()->selectionModel()->select(form.fileModel()->index(pathFromBytes(picture)), QItemSelectionModel::Select);
    form.button(QStringLiteral("Add Attachment >>>"))->click();
    ASSERT_EQ(form.attachments().size(), 2u);
    EXPECT_EQ(form.attachments()[1].MimeType, "image/gif");
    EXPECT_EQ(form.attachmentList()->currentRow(), 1);

    // A drop of local files onto the attachment list.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(pathFromBytes(blob)), QUrl::fromLocalFile(pathFromBytes(picture))});
    QWidget* target = form.attachmentList()->viewport();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction); // never a move: the file stays where it is
    ASSERT_EQ(form.attachments().size(), 3u);
    EXPECT_EQ(form.attachments()[2].Name, "blob");
    EXPECT_EQ(form.attachments()[2].MimeType, "application/octet-stream");
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(AttachmentDialog, AttachmentEditsAndRemovalComeBackOnOkOnly)
{
    std::vector<TOutgoingAttachment> attachments{{"a.txt", 0, "text/plain", "", "", dir + "a.txt"},
                                                 {"b.dat", 0, "application/octet-stream", "", "", dir + "b.dat"}};
    const std::vector<TOutgoingAttachment> before = attachments;
    auto cancel = ModalDriver::on<TAttachmentForm>([](TAttachmentForm* form) {
        form->RemoveBtnClick();
        form->reject();
    });
    EXPECT_FALSE(runAttachmentDialog(nullptr, mime, attachments, dir));
    ASSERT_TRUE(cancel->handled());
    ASSERT_EQ(attachments.size(), before.size());
    EXPECT_EQ(attachments[0].Path, before[0].Path);

    auto ok = ModalDriver::on<TAttachmentForm>([](TAttachmentForm* form) {
        // The drop-down holds every type in entry order.
        ASSERT_EQ(form->typeBox()->count(), 23);
        EXPECT_EQ(form->typeBox()->itemText(1), QStringLiteral("image/gif"));
        form->attachmentList()->setCurrentRow(1);
        form->nameEdit()->setText(QStringLiteral("photo.gif"));
        form->typeBox()->setCurrentIndex(1);
        form->descriptionEdit()->setText(QStringLiteral("Caf\xe9 at noon"));
        form->attachmentList()->setCurrentRow(0);
        form->button(QStringLiteral("Remove Attachment <<<"))->click();
        EXPECT_EQ(form->nameEdit()->text(), QStringLiteral("photo.gif"));
        form->button(QStringLiteral("OK"))->click();
    });
    EXPECT_TRUE(runAttachmentDialog(nullptr, mime, attachments, dir));
    ASSERT_TRUE(ok->handled());
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0].Path, dir + "b.dat");
    EXPECT_EQ(attachments[0].Name, "photo.gif");
    EXPECT_EQ(attachments[0].MimeType, "image/gif");
    EXPECT_EQ(attachments[0].Description, "Caf\xc3\xa9 at noon");
}

TEST_F(AttachmentDialog, ReturnInThePathFieldGoesToTheDirectoryInsteadOfClosing)
{
    ::mkdir((dir + "sub").c_str(), 0700);
    std::vector<TOutgoingAttachment> attachments;
    std::string last;
    bool openAfterReturn = false, openAfterEnter = false;
    std::string shown, typedBack;
    auto driver = ModalDriver::on<TAttachmentForm>([&](TAttachmentForm* form) {
        form->pathEdit()->setFocus();
        form->pathEdit()->setText(pathFromBytes(dir + "sub"));
        QTest::keyClick(form->pathEdit(), Qt::Key_Return);
        openAfterReturn = form->isVisible();
        shown = form->directory();
        // A directory that is not there: the field shows where the dialog still is.
        form->pathEdit()->setText(QStringLiteral("/no/such/directory"));
        QTest::keyClick(form->pathEdit(), Qt::Key_Enter);
        openAfterEnter = form->isVisible();
        typedBack = pathToBytes(form->pathEdit()->text());
        form->reject();
    });
    EXPECT_FALSE(runAttachmentDialog(nullptr, mime, attachments, dir, &last));
    ASSERT_TRUE(driver->handled());
    EXPECT_TRUE(openAfterReturn);
    EXPECT_TRUE(openAfterEnter);
    EXPECT_EQ(shown, dir + "sub");
    EXPECT_EQ(typedBack, dir + "sub");
    EXPECT_EQ(last, dir + "sub"); // for the next dialog to open in
}

TEST_F(AttachmentDialog, AttachmentFiftyFirstIsRefused)
{
    std::vector<std::string> paths;
    for (int i = 1; i <= 51; ++i)
        paths.push_back(file("f" + std::to_string(i) + ".txt"));
    TAttachmentForm form(mime, {}, dir);
    EXPECT_EQ(form.addFiles(paths), 50);
    EXPECT_EQ(form.attachments().size(), 50u);
    EXPECT_EQ(form.attachments().back().Path, paths[49]);
    EXPECT_EQ(ui.textsOf("inform"), std::vector<std::string>{"A message can carry at most 50 attachments."});
    // A listed file is still passed over without a word.
    EXPECT_EQ(form.addFiles({paths[0]}), 0);
    EXPECT_EQ(ui.shown.size(), 1u);
}

TEST_F(AttachmentDialog, AttachmentNewTypeIsPrefilledFromTheExtensionAndTakenOver)
{
    TAttachmentForm form(mime, {}, dir);
    form.addFiles({file("table.xyz")});
    auto define = ModalDriver::on<TNewMimeTypeForm>([](TNewMimeTypeForm* f) {
        EXPECT_EQ(f->majorType(), "application");
        EXPECT_EQ(f->minorType(), "x-xyz");
        EXPECT_EQ(f->extension(), "xyz");
        f->descriptionEdit()->setText(QStringLiteral("Tables"));
        f->okButton()->click();
    });
    form.button(QStringLiteral("New type"))->click();
    ASSERT_TRUE(define->handled());
    ASSERT_EQ(mime.Count(), 24);
    EXPECT_EQ(mime.GetEntry(24), (MimeTypeEntry{"application/x-xyz", false, "Tables", "", "xyz"}));
    EXPECT_EQ(form.typeBox()->count(), 24);
    EXPECT_EQ(form.typeBox()->currentText(), QStringLiteral("application/x-xyz"));
    EXPECT_EQ(form.attachments()[0].MimeType, "application/x-xyz");
}

TEST_F(AttachmentDialog, AttachmentViewOfTheCatchAllTypeAlwaysAsksForTheViewer)
{
    const std::string blob = file("blob");
    const std::string viewer = program("viewer");
    TAttachmentForm form(mime, {}, dir);
    form.addFiles({blob});

    struct Seen {
        std::string prompt, field;
    };
    std::vector<Seen> seen;
    auto choose = [&](const std::string& pick) {
        return ModalDriver::on<TMimeLaunchForm>([&seen, pick](TMimeLaunchForm* f) {
            seen.push_back({toStored(f->promptLabel()->text()), pathToBytes(f->applicationEdit()->text())});
            if (!pick.empty())
                f->applicationEdit()->setText(pathFromBytes(pick));
            f->okButton()->click();
        });
    };
    const std::string asked = "No application has been defined for MIME type application/octet-stream.\n";

    // No suggestion from the desktop: the user picks one.
    auto first = choose(viewer);
    form.button(QStringLiteral("View Attachment"))->click();
    ASSERT_TRUE(first->handled());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].prompt, asked + "Please press the Change button to select a viewer application for this MIME type");
    EXPECT_EQ(seen[0].field, "");
    EXPECT_EQ(launcher.started, (std::vector<std::vector<std::string>>{{viewer, blob}}));
    EXPECT_EQ(mime.GetEntry(1).Application, viewer);

    // The stored viewer does not count for the catch-all type: the dialog comes again, now with
    // the desktop's suggestion, which is stored and launched when taken.
    const QByteArray oldDataHome = qgetenv("XDG_DATA_HOME");
    const bool hadDataHome = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(home() + "xdg"));
    ::mkdir((home() + "xdg").c_str(), 0700);
    ::mkdir((home() + "xdg/applications").c_str(), 0700);
    writeBytes(home() + "xdg/applications/tavik-viewer.desktop", "[Desktop Entry]\nExec=sh %f\n");
    launcher.answers["xdg-mime|query|filetype|" + blob] = "application/x-blob\n";
    launcher.answers["xdg-mime|query|default|application/x-blob"] = "tavik-viewer.desktop\n";
    auto second = choose("");
    form.ViewBtnClick();
    if (hadDataHome)
        qputenv("XDG_DATA_HOME", oldDataHome);
    else
        qunsetenv("XDG_DATA_HOME");
    ASSERT_TRUE(second->handled());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].prompt, asked + "It is suggested that you use the application below to view \n"
                                      "this document. You may change this by pressing the Change button.");
    const std::string sh = seen[1].field;
    EXPECT_EQ(sh.substr(sh.size() - 3), "/sh");
    ASSERT_EQ(launcher.started.size(), 2u);
    EXPECT_EQ(launcher.started[1], (std::vector<std::string>{sh, blob}));
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(AttachmentDialog, AttachmentViewWithAViewerLaunchesAtOnceAndReportsAFailure)
{
    const std::string notes = file("notes.txt");
    mime.SetViewer("text/plain", "sh -c true");
    TAttachmentForm form(mime, {}, dir);
    form.addFiles({notes});
    form.ViewBtnClick();
    EXPECT_EQ(launcher.started, (std::vector<std::vector<std::string>>{{"sh", "-c", "true", notes}}));

    launcher.startSucceeds = false;
    form.ViewBtnClick();
    EXPECT_EQ(ui.textsOf("error"), std::vector<std::string>{"An error occured while launching the viewer application."});
}

} // namespace
} // namespace tavik::test
