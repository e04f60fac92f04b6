#include "gui/AddRecipientsDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "gui/UiSupport.h"
#include "send/SendRequest.h"

namespace dtlui {
namespace {

// Rows of the list's selected entries, last first, so removing them one by one keeps the
// remaining rows valid.
QList<int> SelectedRowsLastFirst(const QListWidget* list) {
  QList<int> rows;
  for (const auto* item : list->selectedItems()) rows << list->row(item);
  std::sort(rows.begin(), rows.end(), std::greater<int>());
  return rows;
}

}  // namespace

AddRecipientsDialog::AddRecipientsDialog(QWidget* parent, const QString& initialRecipients,
                                         std::filesystem::path bookFile)
    : QDialog(parent),
      bookFile_(std::move(bookFile)),
      book_(dtl::AddressBook::Load(bookFile_)),
      recipients_(S(initialRecipients)) {
  setWindowTitle(tr("Add Recipients"));
  edit_ = new QLineEdit(this);
  edit_->setMaxLength(static_cast<int>(dtl::AddressBook::kMaxTypedChars));
  edit_->setPlaceholderText(Q(dtl::kSampleAddress));
  add_ = new QPushButton(tr("&Add"), this);
  add_->setToolTip(tr("Add the typed address to the recipients and the address book"));
  note_ = new QLabel(this);
  note_->setObjectName("note");
  // The note's line is kept even while empty, so a note appearing does not move the lists.
  note_->setMinimumHeight(note_->fontMetrics().height());
  bookList_ = new QListWidget(this);
  recipientList_ = new QListWidget(this);
  copy_ = new QPushButton(tr("Add \u2192"), this);
  copy_->setToolTip(tr("Add the selected addresses to the recipients"));
  remove_ = new QPushButton(tr("\u2190 Remove"), this);
  remove_->setToolTip(tr("Remove the selected recipients"));
  delete_ = new QPushButton(tr("Delete"), this);
  delete_->setToolTip(tr("Delete the selected addresses from the address book"));
  for (auto* b : {add_, copy_, remove_, delete_}) {
    b->setEnabled(false);
    b->setAutoDefault(false);
  }
  for (auto* list : {bookList_, recipientList_})
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  bookList_->setObjectName("book");
  recipientList_->setObjectName("recipients");

  auto* typedLabel = new QLabel(tr("E-mail:"), this);
  typedLabel->setBuddy(edit_);
  auto* bookLabel = new QLabel(tr("Address &book"), this);
  bookLabel->setBuddy(bookList_);
  auto* recipientsLabel = new QLabel(tr("&Recipients"), this);
  recipientsLabel->setBuddy(recipientList_);
  auto* middle = new QVBoxLayout;
  middle->addStretch(1);
  middle->addWidget(copy_);
  middle->addWidget(remove_);
  middle->addSpacing(typedLabel->fontMetrics().height());
  middle->addWidget(delete_);
  middle->addStretch(1);
  auto* grid = new QGridLayout;
  grid->addWidget(typedLabel, 0, 0, 1, 3);
  grid->addWidget(edit_, 1, 0);
  grid->addWidget(add_, 1, 1);
  grid->addWidget(note_, 2, 0, 1, 3);
  grid->addWidget(bookLabel, 3, 0);
  grid->addWidget(recipientsLabel, 3, 2);
  grid->addWidget(bookList_, 4, 0);
  grid->addLayout(middle, 4, 1);
  grid->addWidget(recipientList_, 4, 2);
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(2, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(buttons);

  // Enter in the address field belongs to the field: it adds, where the dialog's default
  // button would close the dialog and lose what was typed.
  edit_->installEventFilter(this);
  connect(buttons, &QDialogButtonBox::accepted, this, &AddRecipientsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(edit_, &QLineEdit::textChanged, this, [this](const QString& t) {
    add_->setEnabled(dtl::LooksLikeAddress(S(t.trimmed())));
    note_->clear();
  });
  connect(add_, &QPushButton::clicked, this, &AddRecipientsDialog::addTyped);
  connect(delete_, &QPushButton::clicked, this, &AddRecipientsDialog::deleteFromBook);
  connect(copy_, &QPushButton::clicked, this, &AddRecipientsDialog::copyToRecipients);
  connect(remove_, &QPushButton::clicked, this, &AddRecipientsDialog::removeRecipient);
  connect(bookList_, &QListWidget::itemDoubleClicked, this, &AddRecipientsDialog::copyToRecipients);
  connect(recipientList_, &QListWidget::itemDoubleClicked, this,
          &AddRecipientsDialog::removeRecipient);
  // Working in one list makes the other list's button meaningless until it is clicked again.
  const auto bookFocus = [this] {
    const bool any = !bookList_->selectedItems().isEmpty();
    copy_->setEnabled(any);
    delete_->setEnabled(any);
    if (any) remove_->setEnabled(false);
  };
  const auto recipientFocus = [this] {
    const bool any = !recipientList_->selectedItems().isEmpty();
    remove_->setEnabled(any);
    if (any) copy_->setEnabled(false);
  };
  // A click on an already selected entry changes no selection but still moves the work there.
  connect(bookList_, &QListWidget::itemSelectionChanged, this, bookFocus);
  connect(bookList_, &QListWidget::itemClicked, this, bookFocus);
  connect(recipientList_, &QListWidget::itemSelectionChanged, this, recipientFocus);
  connect(recipientList_, &QListWidget::itemClicked, this, recipientFocus);
  ShowBook(-1);
  ShowRecipients(-1);
  edit_->setFocus();
}

bool AddRecipientsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      // An empty field adds nothing, but Enter still stays here: a second Enter pressed
      // right after an add must not close the dialog.
      if (!edit_->text().trimmed().isEmpty()) addTyped();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void AddRecipientsDialog::ShowBook(int select) {
  {
    QSignalBlocker block(bookList_);
    bookList_->clear();
    for (const auto& e : book_.Entries())
      bookList_->addItem(new QListWidgetItem(ResourceIcon("contact"), Q(e)));
  }
  if (select >= 0) bookList_->setCurrentRow(select);
}

void AddRecipientsDialog::ShowRecipients(int select) {
  {
    QSignalBlocker block(recipientList_);
    recipientList_->clear();
    for (const auto& e : recipients_.Entries())
      recipientList_->addItem(new QListWidgetItem(ResourceIcon("contact"), Q(e)));
  }
  if (select >= 0) {
    recipientList_->setCurrentRow(select);
    recipientList_->scrollToItem(recipientList_->item(select));
  }
}

void AddRecipientsDialog::addTyped() {
  const std::string typed = S(edit_->text().trimmed());
  const auto refuse = [this] {
    note_->setText(tr("Not added: an e-mail address looks like %1.").arg(Q(dtl::kSampleAddress)));
  };
  if (!dtl::LooksLikeAddress(typed)) return refuse();
  const size_t before = recipients_.Entries().size();
  const int bookRow = book_.Add(typed);
  const int row = recipients_.Add(typed);
  if (bookRow < 0 || row < 0) return refuse();  // nothing left once the commas were removed
  const bool added = recipients_.Entries().size() > before;
  ShowBook(-1);
  copy_->setEnabled(false);
  delete_->setEnabled(false);
  bookList_->scrollToItem(bookList_->item(bookRow));
  ShowRecipients(row);
  edit_->clear();  // clears the note too
  if (!added) note_->setText(tr("Already a recipient."));
  edit_->setFocus();
}

void AddRecipientsDialog::deleteFromBook() {
  for (int row : SelectedRowsLastFirst(bookList_)) book_.Remove(row);
  ShowBook(-1);
  copy_->setEnabled(false);
  delete_->setEnabled(false);
}

void AddRecipientsDialog::copyToRecipients() {
  const auto selected = bookList_->selectedItems();
  if (selected.isEmpty()) {
    copy_->setEnabled(false);
    return;
  }
  for (const auto* item : selected) recipients_.Add(S(item->text()));
  ShowRecipients(-1);
}

void AddRecipientsDialog::removeRecipient() {
  for (int row : SelectedRowsLastFirst(recipientList_)) recipients_.Remove(row);
  ShowRecipients(-1);
  remove_->setEnabled(false);
}

void AddRecipientsDialog::accept() {
  // The recipients are taken either way; an unsaved book only forgets the new addresses.
  if (book_.Changed()) (void)book_.Save(bookFile_);
  result_ = Q(recipients_.Result());
  QDialog::accept();
}

}  // namespace dtlui
