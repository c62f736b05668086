// The address-book dialog: the contacts of "contacts.txt" in a list, three edits to add one, and the choice
// of the peer to call. It reads the file when it opens and writes it back on OK if rows were added or
// removed; Cancel forgets every change. A save that fails says why and leaves the dialog open with the
// rows as they were.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <optional>
#include <string>
#include <vector>

#include "addressbook/Contacts.h"
#include "addressbook/ContactsBook.h"

class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class ContactsDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Contacts";
    // Opens on the caller's peer: host and port go into the edits (the name edit stays empty), the address
    // book at `path` into the list, and no row is selected.
    ContactsDialog(std::string host, int port, QWidget* parent = nullptr,
                   std::string path = std::string(kContactsFile));

    // The chosen row, valid once the dialog has ended with OK.
    const std::string& Name() const { return name_; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

    // The rows as the list shows them, top first; this is the order a save writes. Each field holds the
    // bytes it was read or typed as, whatever text the list shows for them.
    std::vector<Contact> Rows() const;

    // The copies seen on the LAN, as rows below the saved contacts, in grey: picked as a contact is, and
    // copied into the edits when selected, so that Add saves one; never written to the file otherwise.
    // Each call replaces the earlier list.
    void ShowLanCopies(const std::vector<Contact>& copies);

    // The message of the last save that failed or went beside the file, while it is shown.
    QMessageBox* SaveBox() const { return saveBox_; }

public slots:
    // Adds the edits' contact as the top row and selects it; the port is stored as the number it reads as.
    void OnAdd();
    // Deletes the selected row, if any, and leaves nothing selected.
    void OnRemove();
    // Saves if rows were added or removed, then ends with the selected row, or as Cancel without one. A
    // failed save keeps the dialog open; a save beside the file ends it once its message is read.
    void OnOk();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    // A cell edited in place: its bytes become the typed text (a port is checked as Add checks it).
    void OnCellEdited(QTreeWidgetItem* row, int column);
    void LoadRows();
    QTreeWidgetItem* MakeRow(const Contact& contact, int origin) const;
    // The saved and added rows, above the LAN's.
    int BookRowCount() const;
    std::vector<BookRow> BookRows() const;
    QTreeWidgetItem* SelectedRow() const;
    void ShowSaveMessage(const SaveOutcome& outcome);
    void Finish();
    QRect Dlu(int x, int y, int width, int height) const;

    std::string path_;
    std::string name_;
    std::string host_;
    int port_ = 0;
    bool modified_ = false;
    bool editing_ = false;  // a cell's text is being set back, not typed
    std::optional<ContactsBook> book_;
    QPointer<QMessageBox> saveBox_;

    QTreeWidget* list_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLineEdit* hostEdit_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    QTimer* hoverTimer_ = nullptr;
};
