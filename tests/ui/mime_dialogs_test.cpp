// The registry editor, the new-type dialog and the viewer-choice dialog offscreen, on a registry
// of the built-in entries in a temporary profile.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <sys/stat.h>

#include "ui/ui_test_support.h"
#include "view/mime_editor_dialog.h"
#include "view/mime_launch_dialog.h"
#include "view/mime_manager.h"
#include "view/mime_type_dialog.h"
#include "window_common/text_conversion.h"

namespace tavik::test {
namespace {

class MimeDialogs : public UiTest {
protected:
    // An executable file of the profile, as a viewer to choose.
    std::string program(const std::string& name)
    {
        const std::string path = home() + name;
        writeBytes(path, "#!/bin/sh\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    TMimeManager mime{home() + "mime.def"};
};

TEST_F(MimeDialogs, MimeEditorListsLowerCaseSortedLinesWithTheirEntryNumbers)
{
    mime.StoreEntry({"Image/PNG", true, "Portable", "/Opt/View", "PNG"});
    TMimeEditor editor(mime);
    EXPECT_EQ(editor.windowTitle(), QStringLiteral("Mime Types"));
    const std::vector<std::string> expected{
        "application/msword|doc||15", "application/octet-stream|||1", "application/pdf|pdf||14",
        "application/postscript|ps||11", "application/rtf|rtf||12", "application/wordperfect5.1|wpd||13",
        "application/zip|zip||16", "audio/basic|au||10", "audio/x-wave|wav||23", "image/gif|gif||2",
        "image/jpeg|jpg||3", "image/png|png|/opt/view|24", "image/tiff|tif||4", "image/x-bitmap|bmp||21",
        "message/news|||7", "message/partial|||6", "message/rfc822|||5", "text/enriched|||18",
        "text/html|htm||20", "text/plain|txt||17", "text/richtext|||19", "video/mpeg|mpg||8",
        "video/quicktime|mov||9", "video/x-msvideo|avi||22"};
    EXPECT_EQ(editor.lines(), expected);

    // The first line is selected; the details show the entry, its application in lower case.
    EXPECT_EQ(editor.selectedEntry(), 15);
    ASSERT_TRUE(editor.selectEntry(24));
    EXPECT_EQ(editor.typeField()->text(), QStringLiteral("Image/PNG"));
    EXPECT_EQ(editor.descriptionField()->text(), QStringLiteral("Portable"));
    EXPECT_EQ(editor.extensionField()->text(), QStringLiteral("PNG"));
    EXPECT_EQ(editor.applicationField()->text(), QStringLiteral("/opt/view"));

    // Icons by the first letter of the line: "au" is audio, any other "a" application.
    EXPECT_EQ(mimeEditorIconName("audio/basic|au||10"), "MIME_AUDIO");
    EXPECT_EQ(mimeEditorIconName("application/zip|zip||16"), "MIME_APPLICATION");
    EXPECT_EQ(mimeEditorIconName("a"), "MIME_APPLICATION");
    EXPECT_EQ(mimeEditorIconName("video/mpeg|mpg||8"), "MIME_VIDEO");
    EXPECT_EQ(mimeEditorIconName("x-world/x-vrml|||30"), "");
}

TEST_F(MimeDialogs, MimeEditorDeleteKeepsTheBuiltInsAndRemovesOthers)
{
    TMimeEditor editor(mime);
    ASSERT_TRUE(editor.selectEntry(22));
    editor.button(QStringLiteral("Delete"))->click();
    EXPECT_EQ(mime.Count(), 23);
    EXPECT_EQ(editor.lines().size(), 23u);

    ASSERT_TRUE(editor.selectEntry(23));
    editor.button(QStringLiteral("Delete"))->click();
    EXPECT_EQ(mime.Count(), 22);
    EXPECT_EQ(mime.FindType("audio/x-wave"), 0);
    EXPECT_EQ(editor.lines().size(), 22u);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(MimeDialogs, MimeEditorNewAndEditBuildEntries)
{
    TMimeEditor editor(mime);
    auto create = ModalDriver::on<TNewMimeTypeForm>([](TNewMimeTypeForm* form) {
        EXPECT_EQ(form->majorType(), "application");
        EXPECT_EQ(form->minorType(), "");
        form->minorTypeEdit()->setText(QStringLiteral("x-foo"));
        form->descriptionEdit()->setText(QStringLiteral("Foo data"));
        form->extensionEdit()->setText(QStringLiteral("foo"));
        form->okButton()->click();
    });
    editor.button(QStringLiteral("New"))->click();
    ASSERT_TRUE(create->handled());
    ASSERT_EQ(mime.Count(), 24);
    EXPECT_EQ(mime.GetEntry(24), (MimeTypeEntry{"application/x-foo", false, "Foo data", "", "foo"}));
    EXPECT_EQ(editor.selectedEntry(), 24);

    // Edit keeps the viewer; the same type and extension overwrite the entry in place.
    mime.SetViewer("application/x-foo", "/usr/bin/foo");
    auto describe = ModalDriver::on<TNewMimeTypeForm>([](TNewMimeTypeForm* form) {
        EXPECT_EQ(form->majorType(), "application");
        EXPECT_EQ(form->minorType(), "x-foo");
        EXPECT_EQ(form->description(), "Foo data");
        EXPECT_EQ(form->extension(), "foo");
        form->descriptionEdit()->setText(QStringLiteral("Foo file"));
        form->okButton()->click();
    });
    editor.button(QStringLiteral("Edit"))->click();
    ASSERT_TRUE(describe->handled());
    ASSERT_EQ(mime.Count(), 24);
    EXPECT_EQ(mime.GetEntry(24), (MimeTypeEntry{"application/x-foo", true, "Foo file", "/usr/bin/foo", "foo"}));

    // A changed extension adds an entry beside the old one.
    auto extend = ModalDriver::on<TNewMimeTypeForm>([](TNewMimeTypeForm* form) {
        form->extensionEdit()->setText(QStringLiteral("fo2"));
        form->okButton()->click();
    });
    editor.button(QStringLiteral("Edit"))->click();
    ASSERT_TRUE(extend->handled());
    ASSERT_EQ(mime.Count(), 25);
    EXPECT_EQ(mime.GetEntry(24).Extension, "foo");
    EXPECT_EQ(mime.GetEntry(25), (MimeTypeEntry{"application/x-foo", true, "Foo file", "/usr/bin/foo", "fo2"}));
}

TEST_F(MimeDialogs, MimeEditorBrowseStoresAProgramAsTheViewer)
{
    const std::string viewer = program("Viewer");
    writeBytes(home() + "notes.txt", "text");
    TMimeEditor editor(mime);
    ASSERT_TRUE(editor.selectEntry(2));

    // A file that is no program is refused with a box and changes nothing.
    ui.files = {home() + "notes.txt", viewer};
    editor.button(QStringLiteral("Browse"))->click();
    EXPECT_EQ(mime.GetEntry(2).Application, "");
    ASSERT_EQ(ui.textsOf("inform").size(), 1u);

    editor.button(QStringLiteral("Browse"))->click();
    EXPECT_EQ(mime.GetEntry(2), (MimeTypeEntry{"image/gif", true, "CIS Graphic Interchange Format", viewer, "gif"}));
    EXPECT_EQ(mime.Count(), 23);
    EXPECT_EQ(editor.selectedEntry(), 2);
    EXPECT_EQ(ui.shown.front().title, "Select a viewer application");
    EXPECT_TRUE(mime.HasViewer("image/gif"));
}

TEST_F(MimeDialogs, NewTypeDialogRefusesAnEmptyMinorTypeAndMapsHtmlDocument)
{
    TNewMimeTypeForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Define new MIME type"));
    ASSERT_EQ(form.majorTypeBox()->count(), 7);
    form.show();
    form.okButton()->click();
    EXPECT_EQ(ui.textsOf("inform"), std::vector<std::string>{"You must specify a MIME minor type"});
    EXPECT_NE(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.focusWidget(), form.minorTypeEdit());

    form.majorTypeBox()->setCurrentIndex(6);
    EXPECT_EQ(form.majorTypeBox()->currentText(), QStringLiteral("html document"));
    EXPECT_EQ(form.minorType(), "html");
    QTest::keyClicks(form.extensionEdit(), QStringLiteral("html"));
    EXPECT_EQ(form.newEntry(), (MimeTypeEntry{"text/html", false, "", "", "htm"}));
    form.okButton()->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
}

TEST_F(MimeDialogs, LaunchDialogAcceptsOnlyAnExistingFileOrAProgramOnPath)
{
    const std::string viewer = program("My Viewer");
    auto verdict = [&](const std::string& application) {
        TMimeLaunchForm form(application, {"line one", "line two"});
        form.OKBtnClick();
        return form.result() == QDialog::Accepted;
    };
    EXPECT_FALSE(verdict(home() + "missing"));
    EXPECT_FALSE(verdict(""));
    EXPECT_FALSE(verdict("no-such-program-here --view"));
    EXPECT_EQ(ui.textsOf("inform"), std::vector<std::string>(3, "An invalid or no application was selected."));
    EXPECT_TRUE(verdict(viewer)); // blanks in the path and all
    EXPECT_TRUE(verdict("sh"));
    EXPECT_TRUE(verdict("sh -c true"));

    TMimeLaunchForm form("", {"line one", "line two"});
    EXPECT_EQ(form.windowTitle(), QStringLiteral("MIME Viewer Apllication"));
    EXPECT_EQ(form.promptLabel()->text(), QStringLiteral("line one\nline two"));
    EXPECT_TRUE(form.applicationEdit()->isReadOnly());
}

TEST_F(MimeDialogs, ChooseViewerStoresTheChoiceOnOkOnly)
{
    const std::string viewer = program("viewer");
    auto cancel = ModalDriver::on<TMimeLaunchForm>([](TMimeLaunchForm* form) { form->reject(); });
    EXPECT_EQ(chooseViewer(nullptr, mime, "image/gif", "", {"prompt"}), std::nullopt);
    EXPECT_FALSE(mime.HasViewer("image/gif"));

    ui.files = {viewer};
    auto ok = ModalDriver::on<TMimeLaunchForm>([](TMimeLaunchForm* form) {
        form->browseButton()->click();
        form->okButton()->click();
    });
    EXPECT_EQ(chooseViewer(nullptr, mime, "image/gif", "sh", {"prompt"}), viewer);
    ASSERT_TRUE(ok->handled());
    EXPECT_EQ(mime.GetEntry(2).Application, viewer);
    EXPECT_TRUE(mime.HasViewer("image/gif"));
}

} // namespace
} // namespace tavik::test
