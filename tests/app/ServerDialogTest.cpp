// The server selection dialog's rules: OK only with a server chosen, a
// double click chooses, no cancel.
#include <QCloseEvent>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "AppFixture.h"
#include "app/ServerSelection.h"

namespace trelvo::test {
namespace {

// A double click as the system delivers it: press and release, then the
// double-click event (Qt's test helper sends only the latter).
void DoubleClick(QWidget* widget, QPoint at) {
  QTest::mouseClick(widget, Qt::LeftButton, {}, at);
  QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
}

class ServerDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form.SetServerNames({"VELMORA", "OTHER", "THIRD"});
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
  }
  QPoint At(int row) { return Form.server_list->visualItemRect(Form.server_list->item(row)).center(); }
  QWidget* List() { return Form.server_list->viewport(); }
  Tserver_selection_form Form;
};

TEST_F(ServerDialogTest, LooksAsDesigned) {
  EXPECT_EQ(Form.windowTitle(), "Database Server Selection");
  EXPECT_EQ(Form.size(), QSize(329, 211));
  EXPECT_FALSE(Form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(Form.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_EQ(Form.server_list->height(), 167);
  EXPECT_EQ(Form.sel_but->text(), "Seleziona");
  EXPECT_EQ(Form.sel_but->geometry().size(), QSize(75, 25));
  EXPECT_EQ(Form.findChildren<QPushButton*>().size(), 1);  // no cancel
}

TEST_F(ServerDialogTest, OkIsEnabledExactlyWhileAServerIsSelected) {
  EXPECT_FALSE(Form.sel_but->isEnabled());
  QTest::mouseClick(List(), Qt::LeftButton, {}, At(1));
  EXPECT_TRUE(Form.sel_but->isEnabled());
  EXPECT_EQ(Form.SelectedName(), "OTHER");
  QTest::keyClick(Form.server_list, Qt::Key_Down);
  EXPECT_EQ(Form.SelectedName(), "THIRD");
  EXPECT_TRUE(Form.sel_but->isEnabled());
  Form.server_list->clearSelection();
  EXPECT_FALSE(Form.sel_but->isEnabled());
  EXPECT_TRUE(Form.isVisible());
}

TEST_F(ServerDialogTest, DoubleClickChoosesAtOnce) {
  DoubleClick(List(), At(2));
  EXPECT_EQ(Form.result(), QDialog::Accepted);
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.SelectedName(), "THIRD");
}

TEST_F(ServerDialogTest, EscapeDoesNotCancelAndAnOkWithoutServerCannotClose) {
  QTest::keyClick(&Form, Qt::Key_Escape);
  EXPECT_TRUE(Form.isVisible());
  Form.setResult(QDialog::Accepted);
  EXPECT_FALSE(Form.close());
  Form.setResult(QDialog::Rejected);
  EXPECT_TRUE(Form.close());
}

TEST(ServerSelection, ClosedDialogChoosesNone) {
  TServerSelectionDialog dialog;
  WhenModalAppears([](QWidget* modal) { modal->close(); });
  std::string name = "before";
  EXPECT_FALSE(dialog.SelectServer({"A", "B"}, name));
  EXPECT_EQ(name, "");
}

}  // namespace
}  // namespace trelvo::test
