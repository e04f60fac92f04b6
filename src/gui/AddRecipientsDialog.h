// The Add Recipients dialog: the address book (Contacts.dat) on the left, the chosen
// recipients on the right. The rules (commas removed, duplicates ignoring case, the result in
// lower case) are dtl::AddressBook's and dtl::RecipientList's; the dialog shows them and keeps
// the buttons' enabling.
//
// Call order: construct (optionally with "a;b;" initial recipients and a book file), exec();
// after Accepted read Result() ("a;b;" in lower case, "" when no recipient was chosen). The
// book is written on OK only when it changed; a failed write is not reported.
#pragma once

#include <QDialog>
#include <filesystem>

#include "base/AddressBook.h"
#include "base/ProgramFolder.h"

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

  void accept() override;

 private slots:
  // "Add": the typed address into the book.
  void addToBook();
  void deleteFromBook();
  // ">>": the book's selected entry to the recipients.
  void copyToRecipients();
  // "<<": the selected recipient out of the list.
  void removeRecipient();

 private:
  void ShowBook(int select);
  void ShowRecipients(int select);

  std::filesystem::path bookFile_;
  dtl::AddressBook book_;
  dtl::RecipientList recipients_;
  QString result_;
  QLineEdit* edit_;
  QListWidget* bookList_;
  QListWidget* recipientList_;
  QPushButton *add_, *copy_, *remove_, *delete_;
};

}  // namespace dtlui
