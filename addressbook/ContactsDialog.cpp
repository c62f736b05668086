// The contacts dialog: its controls, and Add, Remove, OK and Cancel over LoadContacts and SaveContacts.
#include "addressbook/ContactsDialog.h"

#include <QCursor>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QStringDecoder>
#include <QTimer>
#include <QTreeWidget>
#include <utility>

#include "toolkit/DialogLook.h"

namespace {

constexpr int kDialogWidthDlu = 258;
constexpr int kDialogHeightDlu = 196;
constexpr int kHoverSelectMs = 400;  // the usual desktop hover time

enum Column { kNameColumn, kHostColumn, kPortColumn, kColumnCount };

// Share of (list width - 20) that each column gets, in per cent; the 20 pixels leave room for the frame
// and a scroll bar.
constexpr int kColumnPercent[kColumnCount] = {40, 40, 20};
constexpr int kColumnSlack = 20;
const Qt::Alignment kColumnAlignment[kColumnCount] = {
    Qt::AlignHCenter | Qt::AlignVCenter, Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignRight | Qt::AlignVCenter};

std::string Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

// Each cell keeps the bytes it was made from under this role; its text is only how they are shown.
constexpr int kBytesRole = Qt::UserRole;
// The name cell keeps under this role which contact of the book the row shows, or -1 for a row added here.
constexpr int kOriginRole = Qt::UserRole + 1;
// The origin of a row that shows a copy seen on the LAN: not the book's, never saved.
constexpr int kLanOrigin = -2;

// The file holds 8-bit text of no stated encoding: bytes that are valid UTF-8 are shown as such, any
// others as Latin-1, where every byte is one character.
QString Shown(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string CellBytes(const QTreeWidgetItem* row, int column) {
    return row->data(column, kBytesRole).toByteArray().toStdString();
}

}  // namespace

ContactsDialog::ContactsDialog(std::string host, int port, QWidget* parent, std::string path)
    : QDialog(parent), path_(std::move(path)), host_(std::move(host)), port_(port) {
    setWindowTitle(kCaption);
    setObjectName("contactsDialog");
    BuildControls();
    LoadRows();
    nameEdit_->setText(QString::fromStdString(name_));
    hostEdit_->setText(QString::fromStdString(host_));
    portEdit_->setText(QString::number(port_));
    list_->setFocus();
}

QRect ContactsDialog::Dlu(int x, int y, int width, int height) const {
    return DialogUnits(*this, x, y, width, height);
}

void ContactsDialog::BuildControls() {
    ApplyDialogLook(*this);

    list_ = new QTreeWidget(this);
    list_->setObjectName("contacts");
    list_->setGeometry(Dlu(7, 7, 244, 118));
    list_->setColumnCount(kColumnCount);
    list_->setHeaderLabels({"Name", "IP", "Port"});
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->header()->setStretchLastSection(false);
    const int usable = list_->width() - kColumnSlack;
    for (int column = 0; column < kColumnCount; ++column) {
        list_->headerItem()->setTextAlignment(column, kColumnAlignment[column]);
        list_->setColumnWidth(column, usable * kColumnPercent[column] / 100);
    }
    // Resting the pointer on a row selects it. Only resting: the pointer crosses rows on its way to Remove
    // or OK, and those must not take the selection from the row the user meant.
    list_->setMouseTracking(true);
    hoverTimer_ = new QTimer(this);
    hoverTimer_->setSingleShot(true);
    hoverTimer_->setInterval(kHoverSelectMs);
    QObject::connect(list_, &QTreeWidget::itemEntered, hoverTimer_, qOverload<>(&QTimer::start));
    QObject::connect(hoverTimer_, &QTimer::timeout, this, [this] {
        if (QTreeWidgetItem* row = list_->itemAt(list_->viewport()->mapFromGlobal(QCursor::pos())))
            list_->setCurrentItem(row);
    });
    QObject::connect(list_, &QTreeWidget::itemDoubleClicked, this, &ContactsDialog::OnOk);
    // A double click picks a contact, so a cell is edited in place with F2 or a click on a selected row.
    list_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    QObject::connect(list_, &QTreeWidget::itemChanged, this, &ContactsDialog::OnCellEdited);
    // A copy seen on the LAN goes into the edits when selected: Add then saves it.
    QObject::connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* row) {
        if (row == nullptr || row->data(kNameColumn, kOriginRole).toInt() != kLanOrigin)
            return;
        nameEdit_->setText(Shown(CellBytes(row, kNameColumn)));
        hostEdit_->setText(Shown(CellBytes(row, kHostColumn)));
        portEdit_->setText(Shown(CellBytes(row, kPortColumn)));
    });
    // A double click anywhere in the list is OK, below the last row too, where the list itself sees no item.
    list_->viewport()->installEventFilter(this);

    // Two lines' room above each field: a label wraps rather than being cut off in a wide font.
    const std::pair<const char*, QRect> labels[] = {{"Name", Dlu(7, 128, 93, 18)},
                                                    {"IP address or hostname", Dlu(101, 128, 80, 18)},
                                                    {"Port", Dlu(182, 128, 32, 18)}};
    for (const auto& [text, place] : labels) {
        auto* label = new QLabel(text, this);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
        label->setGeometry(place);
    }
    nameEdit_ = new QLineEdit(this);
    nameEdit_->setObjectName("name");
    nameEdit_->setGeometry(Dlu(7, 147, 93, 14));
    hostEdit_ = new QLineEdit(this);
    hostEdit_->setObjectName("host");
    hostEdit_->setGeometry(Dlu(101, 147, 80, 14));
    portEdit_ = new QLineEdit(this);
    portEdit_->setObjectName("port");
    portEdit_->setGeometry(Dlu(182, 147, 32, 14));

    auto* add = new QPushButton("&Add", this);
    add->setObjectName("add");
    add->setGeometry(Dlu(216, 147, 35, 14));
    auto* remove = new QPushButton("&Remove", this);
    remove->setObjectName("remove");
    remove->setGeometry(Dlu(7, 175, 35, 14));
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("ok");
    ok->setGeometry(Dlu(149, 175, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("cancel");
    cancel->setGeometry(Dlu(201, 175, 50, 14));

    QObject::connect(add, &QPushButton::clicked, this, &ContactsDialog::OnAdd);
    QObject::connect(remove, &QPushButton::clicked, this, &ContactsDialog::OnRemove);
    QObject::connect(ok, &QPushButton::clicked, this, &ContactsDialog::OnOk);
    QObject::connect(cancel, &QPushButton::clicked, this, &ContactsDialog::reject);

    setFixedSize(Dlu(0, 0, kDialogWidthDlu, kDialogHeightDlu).size());
}

bool ContactsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        const auto* click = static_cast<QMouseEvent*>(event);
        if (click->button() == Qt::LeftButton && list_->itemAt(click->position().toPoint()) == nullptr) {
            OnOk();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ContactsDialog::LoadRows() {
    list_->clear();
    book_ = ContactsBook::Load(path_);
    // File order, so that saving what was loaded writes the same order back and the list does not turn
    // over at every save. Added in one step: a book of 100,000 contacts must open in a moment.
    const std::vector<Contact>& contacts = book_->Contacts();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(contacts.size()));
    for (size_t i = 0; i < contacts.size(); ++i)
        rows.append(MakeRow(contacts[i], static_cast<int>(i)));
    list_->addTopLevelItems(rows);
}

QTreeWidgetItem* ContactsDialog::MakeRow(const Contact& contact, int origin) const {
    auto* row = new QTreeWidgetItem;
    const std::string* cells[kColumnCount] = {&contact.name, &contact.host, &contact.port};
    for (int column = 0; column < kColumnCount; ++column) {
        const QString text = Shown(*cells[column]);
        row->setData(column, kBytesRole,
                     QByteArray(cells[column]->data(), static_cast<qsizetype>(cells[column]->size())));
        row->setText(column, text);
        row->setToolTip(column, text);  // a cell too narrow for its text still shows it whole
        row->setTextAlignment(column, kColumnAlignment[column]);
    }
    row->setData(kNameColumn, kOriginRole, origin);
    row->setFlags(row->flags() | Qt::ItemIsEditable);
    return row;
}

void ContactsDialog::ShowLanCopies(const std::vector<Contact>& copies) {
    const QTreeWidgetItem* selected = SelectedRow();
    const bool lanSelected =
        selected != nullptr && selected->data(kNameColumn, kOriginRole).toInt() == kLanOrigin;
    const std::string selectedName = lanSelected ? CellBytes(selected, kNameColumn) : std::string();
    while (list_->topLevelItemCount() > BookRowCount())
        delete list_->takeTopLevelItem(list_->topLevelItemCount() - 1);
    for (const Contact& copy : copies) {
        QTreeWidgetItem* row = MakeRow(copy, kLanOrigin);
        row->setFlags(row->flags() & ~Qt::ItemIsEditable);
        for (int column = 0; column < kColumnCount; ++column) {
            row->setForeground(column, palette().color(QPalette::Disabled, QPalette::Text));
            row->setToolTip(column, Shown(copy.name) + " - seen on the LAN, not in the address book");
        }
        list_->addTopLevelItem(row);
        if (lanSelected && copy.name == selectedName)
            list_->setCurrentItem(row);
    }
}

int ContactsDialog::BookRowCount() const {
    int count = list_->topLevelItemCount();
    while (count > 0 && list_->topLevelItem(count - 1)->data(kNameColumn, kOriginRole).toInt() == kLanOrigin)
        --count;
    return count;
}

QTreeWidgetItem* ContactsDialog::SelectedRow() const {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

std::vector<BookRow> ContactsDialog::BookRows() const {
    std::vector<BookRow> rows;
    const std::vector<Contact> contacts = Rows();
    rows.reserve(contacts.size());
    for (int i = 0; i < BookRowCount(); ++i)
        rows.push_back({contacts[static_cast<size_t>(i)],
                        list_->topLevelItem(i)->data(kNameColumn, kOriginRole).toInt()});
    return rows;
}

std::vector<Contact> ContactsDialog::Rows() const {
    std::vector<Contact> rows;
    for (int i = 0; i < BookRowCount(); ++i) {
        const QTreeWidgetItem* row = list_->topLevelItem(i);
        // The bytes as read or typed, never the shown text converted back: a row the user did not touch
        // is written back exactly.
        rows.push_back(
            {CellBytes(row, kNameColumn), CellBytes(row, kHostColumn), CellBytes(row, kPortColumn)});
    }
    return rows;
}

void ContactsDialog::OnAdd() {
    const int port = PortFromText(Text(portEdit_));
    list_->insertTopLevelItem(0, MakeRow({Text(nameEdit_), Text(hostEdit_), std::to_string(port)}, -1));
    list_->setCurrentItem(list_->topLevelItem(0));
    modified_ = true;
    // The next contact starts from empty fields: text left behind would be joined to the next name.
    nameEdit_->clear();
    hostEdit_->clear();
    portEdit_->clear();
    nameEdit_->setFocus();
}

void ContactsDialog::OnCellEdited(QTreeWidgetItem* row, int column) {
    if (editing_)
        return;
    std::string bytes = row->text(column).toStdString();
    if (column == kPortColumn)
        bytes = std::to_string(PortFromText(bytes));  // the same check Add makes
    if (bytes == CellBytes(row, column))
        return;  // only shown again; the bytes as read stay
    editing_ = true;
    row->setData(column, kBytesRole, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    row->setText(column, Shown(bytes));
    row->setToolTip(column, Shown(bytes));
    editing_ = false;
    modified_ = true;
}

void ContactsDialog::OnRemove() {
    QTreeWidgetItem* row = SelectedRow();
    if (row == nullptr || row->data(kNameColumn, kOriginRole).toInt() == kLanOrigin)
        return;
    delete row;
    // The list would move the selection to a neighbour; a second Remove must not delete it unseen.
    list_->clearSelection();
    modified_ = true;
}

void ContactsDialog::OnOk() {
    if (saveBox_)
        return;  // its message is still up; a second OK (a double click behind it) waits for it
    if (modified_) {
        const SaveOutcome outcome = book_->Save(BookRows());
        if (outcome.kind != SaveOutcome::Kind::Saved) {
            ShowSaveMessage(outcome);
            return;
        }
    }
    Finish();
}

void ContactsDialog::ShowSaveMessage(const SaveOutcome& outcome) {
    const bool failed = outcome.kind == SaveOutcome::Kind::Failed;
    auto* box = new QMessageBox(failed ? QMessageBox::Warning : QMessageBox::Information, kCaption,
                                QString::fromStdString(outcome.message), QMessageBox::Ok, this);
    box->setObjectName("saveMessage");
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (!failed) {
        // The changes are on disk: the dialog ends as OK would once the user has read where.
        modified_ = false;
        QObject::connect(box, &QMessageBox::finished, this, &ContactsDialog::Finish);
    }
    saveBox_ = box;
    box->open();
}

void ContactsDialog::Finish() {
    const QTreeWidgetItem* row = SelectedRow();
    if (row == nullptr) {
        reject();
        return;
    }
    name_ = CellBytes(row, kNameColumn);
    host_ = CellBytes(row, kHostColumn);
    port_ = PortFromText(CellBytes(row, kPortColumn));
    accept();
}
