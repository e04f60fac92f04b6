#include "gui/AddRecipientsDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/UiSupport.h"

namespace dtlui {

AddRecipientsDialog::AddRecipientsDialog(QWidget* parent, const QString& initialRecipients,
                                         std::filesystem::path bookFile)
    : QDialog(parent),
      bookFile_(std::move(bookFile)),
      book_(dtl::AddressBook::Load(bookFile_)),
      recipients_(S(initialRecipients)) {
  setWindowTitle(tr("Add Recipients"));
  edit_ = new QLineEdit(this);
  edit_->setMaxLength(static_cast<int>(dtl::AddressBook::kMaxTypedChars));
  add_ = new QPushButton(tr("&Add"), this);
  bookList_ = new QListWidget(this);
  recipientList_ = new QListWidget(this);
  copy_ = new QPushButton(tr(">>"), this);
  remove_ = new QPushButton(tr("<<"), this);
  delete_ = new QPushButton(tr("Delete"), this);
  for (auto* b : {add_, copy_, remove_, delete_}) {
    b->setEnabled(false);
    b->setAutoDefault(false);
  }
  for (auto* list : {bookList_, recipientList_})
    list->setSelectionMode(QAbstractItemView::SingleSelection);
  bookList_->setObjectName("book");
  recipientList_->setObjectName("recipients");

  auto* group = new QGroupBox(tr("Recipients"), this);
  auto* grid = new QGridLayout(group);
  grid->addWidget(new QLabel(tr("E-mail:"), group), 0, 0, 1, 3);
  grid->addWidget(edit_, 1, 0);
  grid->addWidget(add_, 1, 1);
  grid->addWidget(bookList_, 2, 0, 4, 1);
  grid->addWidget(copy_, 2, 1);
  grid->addWidget(remove_, 3, 1);
  grid->addWidget(delete_, 4, 1);
  grid->addWidget(recipientList_, 2, 2, 4, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(buttons);

  connect(buttons, &QDialogButtonBox::accepted, this, &AddRecipientsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(edit_, &QLineEdit::textChanged, this,
          [this](const QString& t) { add_->setEnabled(dtl::LooksLikeAddress(S(t))); });
  connect(add_, &QPushButton::clicked, this, &AddRecipientsDialog::addToBook);
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
  QSignalBlocker block(recipientList_);
  recipientList_->clear();
  for (const auto& e : recipients_.Entries())
    recipientList_->addItem(new QListWidgetItem(ResourceIcon("contact"), Q(e)));
  if (select >= 0) recipientList_->setCurrentRow(select);
}

void AddRecipientsDialog::addToBook() { ShowBook(book_.Add(S(edit_->text()))); }

void AddRecipientsDialog::deleteFromBook() {
  const int row = bookList_->currentRow();
  if (row >= 0 && bookList_->item(row)->isSelected()) book_.Remove(row);
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
  recipients_.Add(S(selected.first()->text()));
  ShowRecipients(-1);
}

void AddRecipientsDialog::removeRecipient() {
  const auto selected = recipientList_->selectedItems();
  if (!selected.isEmpty()) recipients_.Remove(recipientList_->row(selected.first()));
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
