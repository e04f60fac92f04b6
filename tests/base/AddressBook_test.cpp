#include "base/AddressBook.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using dtl::AddressBook;
using dtl::RecipientList;
using Lines = std::vector<std::string>;

struct AddressBookTest : ::testing::Test {
  dtltest::TempDir dir;
  std::filesystem::path file = dir / "Contacts.dat";
};

TEST_F(AddressBookTest, ReadsCrLfAndLfLinesInTextOrder) {
  dtltest::WriteFileText(file, "zed@x.org\r\nAnn@x.org\nbob@x.org\r\n\r\nann@y.org");
  const auto book = AddressBook::Load(file);
  EXPECT_EQ(book.Entries(), (Lines{"", "Ann@x.org", "ann@y.org", "bob@x.org", "zed@x.org"}));
  EXPECT_FALSE(book.Changed());
}

TEST_F(AddressBookTest, MissingOrNonRegularFileGivesEmptyBook) {
  EXPECT_TRUE(AddressBook::Load(file).Entries().empty());
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);  // must not block on open or read
  EXPECT_TRUE(AddressBook::Load(file).Entries().empty());
}

TEST_F(AddressBookTest, HostileFileIsBoundedAndCleaned) {
  std::string text = "a,b@c.d\r\n" + std::string("x\0y@z\x01.q", 9) + "\r\n" +
                     std::string(AddressBook::kMaxEntryChars + 50, 'k') + "\n";
  for (size_t i = 0; i < AddressBook::kMaxEntries + 10; ++i) text += "m@n.o\n";
  dtltest::WriteFileText(file, text);
  const auto book = AddressBook::Load(file);
  ASSERT_EQ(book.Entries().size(), AddressBook::kMaxEntries);
  EXPECT_EQ(book.Entries()[0], "ab@c.d");
  EXPECT_EQ(std::count(book.Entries().begin(), book.Entries().end(), "xy@z.q"), 1);
  for (const auto& e : book.Entries()) EXPECT_LE(e.size(), AddressBook::kMaxEntryChars);
}

TEST_F(AddressBookTest, AddRemovesCommasAndIgnoresCaseDuplicatesButCountsAsChanged) {
  auto book = AddressBook::Load(file);
  EXPECT_EQ(book.Add("bo,b@ex,ample.com"), 0);
  EXPECT_EQ(book.Add("ann@example.com"), 0);
  EXPECT_EQ(book.Entries(), (Lines{"ann@example.com", "bob@example.com"}));
  ASSERT_TRUE(book.Save(file));

  auto again = AddressBook::Load(file);
  EXPECT_EQ(again.Add("BOB@Example.COM"), 1);
  EXPECT_EQ(again.Entries().size(), 2u);
  EXPECT_TRUE(again.Changed());  // the dialog rewrites the book on OK all the same
  EXPECT_EQ(again.Add(",,,"), -1);
}

TEST_F(AddressBookTest, SaveWritesCrLfLinesAndReplacesTheFileWhole) {
  dtltest::WriteFileText(file, "old@x.org\r\nstale@x.org\r\n");
  auto book = AddressBook::Load(file);
  book.Remove(1);
  book.Remove(7);  // out of range: nothing
  book.Add("new@x.org");
  ASSERT_TRUE(book.Save(file));
  EXPECT_EQ(dtltest::ReadFileText(file), "new@x.org\r\nold@x.org\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "whom the user mails is readable by others";
  const auto missing = dir / "no/such/folder/Contacts.dat";
  const dtl::Status failed = book.Save(missing);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, dtl::ErrorCode::Io);
  EXPECT_EQ(failed.error().system, ENOENT);
  EXPECT_EQ(failed.error().message.rfind(missing.string() + ": ", 0), 0u) << failed.error().message;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temp left
}

TEST(RecipientListTest, ResultIsLowerCaseInListOrderEachFollowedBySemicolon) {
  RecipientList list;
  EXPECT_EQ(list.Result(), "");
  list.Add("Zoe@Example.com");
  list.Add("al@example.com");
  list.Add("ZOE@example.com");  // duplicate ignoring case
  list.Add("");
  EXPECT_EQ(list.Result(), "al@example.com;zoe@example.com;");
  list.Remove(0);
  EXPECT_EQ(list.Result(), "zoe@example.com;");
  EXPECT_EQ(RecipientList(";b@x.org;;a@x.org").Entries(),
            (Lines{"a@x.org", "b@x.org"}));  // empty pieces skipped
}

}  // namespace
