// The address book window: paints an AddressBookModel (list of lists, grid, send list, picture)
// and forwards its buttons to it. Opened modally; every way of closing it writes the list files
// and the shown grid.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "addressbook/address_book.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSplitter;
class QTableWidget;
class QTabWidget;

namespace tavik {

class TMyAddressForm : public QDialog {
    Q_OBJECT
public:
    // Reads the profile's lists at once (a failure is shown in an error box); `sendList` is the
    // send list to start with.
    TMyAddressForm(const std::string& profileDirectory, std::vector<std::string> sendList,
                   QWidget* parent = nullptr);

    // The send list as it stands; the caller reads it back after OK.
    const std::vector<std::string>& sendList() const { return model_.sendList; }
    const AddressBookModel& model() const { return model_; }

    // Widgets, for the tests.
    QListWidget* listsView() const { return lists_; }
    QTableWidget* gridView() const { return grid_; }
    QListWidget* sendListView() const { return send_; }
    QLabel* pictureView() const { return picture_; }
    QLabel* noPictureLabel() const { return noPicture_; }
    QCheckBox* copyAllBox() const { return copyAll_; }
    QPushButton* button(const QString& caption) const;
    QLineEdit* newListNameEdit() const { return newName_; }
    QLineEdit* newListFileEdit() const { return newFile_; }
    QTabWidget* pages() const { return pages_; }
    bool pictureStretched() const;
    QSplitter* listsSplitter() const { return mainSplit_; }
    QSplitter* sendListSplitter() const { return bookSplit_; }
    // "Set Font" of the list of lists, the grid or the send list.
    void setFontOf(QWidget* target);

    // Closing however it happens writes the lists and the grid.
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWidgets();
    // Fonts, column widths, size and splitters, kept in the profile's "custom.ini".
    void readLayout();
    void writeLayout();
    void pullGrid();     // the table's cells into model_.grid
    void refreshGrid();  // model_.grid into the table
    void refreshLists();
    void refreshSendList(int select);
    std::size_t selectedRow() const; // model row (1-based below the header), 0 when none
    void showPicture(int tableRow);
    void choosePicture();
    void addToSend(const char* prefix);
    void copyToSelectedList();
    void switchList(int index);
    void addList();
    void deleteList();
    void insertRow();
    void deleteRow();
    // Runs a model command, showing a FileError in a box; the views are refreshed either way.
    template <typename F>
    bool guarded(F&& command);

    AddressBookModel model_;
    std::string profileDirectory_;
    QSplitter* mainSplit_ = nullptr;
    QSplitter* bookSplit_ = nullptr;
    bool closed_ = false;
    QTabWidget* pages_ = nullptr;
    QListWidget* lists_ = nullptr;
    QTableWidget* grid_ = nullptr;
    QListWidget* send_ = nullptr;
    QLabel* picture_ = nullptr;
    QLabel* noPicture_ = nullptr;
    QCheckBox* copyAll_ = nullptr;
    QLineEdit* newName_ = nullptr;
    QLineEdit* newFile_ = nullptr;
};

// Opens the address book of `profileDirectory` modally with `sendList` as its send list. On OK
// the send list is copied back into `sendList` and true is returned; on Cancel it is left as it
// was. The lists and grid are written either way.
bool runAddressBook(QWidget* parent, const std::string& profileDirectory, std::vector<std::string>& sendList);

} // namespace tavik
