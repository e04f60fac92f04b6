// The Add Recipients dialog: the address book (Contacts.dat) on the left, the chosen
// recipients on the right. The rules (commas removed, duplicates ignoring case, the result in
// lower case, what counts as an address) are dtl::AddressBook's and dtl::RecipientList's; the
// dialog shows them and keeps the buttons' enabling.
//
// A typed address goes into both lists with Enter in the address field or "&Add"; the dialog
// stays open and the field is emptied for the next one. Text that is not an address, or an
// address that is already a recipient, is not added: a note under the field says why (no
// message box). Enter elsewhere, and OK, close the dialog with the recipients chosen.
//
// Call order: construct (optionally with "a;b;" initial recipients and a book file), exec();
// after Accepted read Result() ("a;b;" in lower case, "" when no recipient was chosen). The
// book is written on OK only when it changed; a failed write is not reported.
#pragma once

#include <QDialog>
#include <filesystem>

#include "base/AddressBook.h"
#include "base/ProgramFolder.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace dtlui {

class AddRecipientsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AddRecipientsDialog(QWidget* parent = nullptr, const QString& initialRecipients = {},
                               std::filesystem::path bookFile = dtl::AddressBook::PathIn(
                                   dtl::GetProgramFolder(), dtl::DataFolder()));
  QString Result() const { return result_; }

  // The controls, for the send dialogs' tests and the screenshot mode.
  QLineEdit* AddressEdit() const { return edit_; }
  QListWidget* BookList() const { return bookList_; }
  QListWidget* RecipientsList() const { return recipientList_; }
  QPushButton* AddButton() const { return add_; }
  QPushButton* CopyButton() const { return copy_; }
  QPushButton* RemoveButton() const { return remove_; }
  QPushButton* DeleteButton() const { return delete_; }
  // The line under the address field that says why a typed address was not added; empty
  // while there is nothing to say.
  QLabel* Note() const { return note_; }

  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  // "&Add" and Enter in the field: the typed address into the book and the recipients.
  void addTyped();
  void deleteFromBook();
  // "Add →": the book's selected entries to the recipients.
  void copyToRecipients();
  // "← Remove": the selected recipients out of the list.
  void removeRecipient();

 private:
  void ShowBook(int select);
  void ShowRecipients(int select);

  std::filesystem::path bookFile_;
  dtl::AddressBook book_;
  dtl::RecipientList recipients_;
  QString result_;
  QLineEdit* edit_;
  QLabel* note_;
  QListWidget* bookList_;
  QListWidget* recipientList_;
  QPushButton *add_, *copy_, *remove_, *delete_;
};

}  // namespace dtlui
