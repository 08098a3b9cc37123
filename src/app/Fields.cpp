#include "app/Fields.h"

#include <QCalendarWidget>
#include <QKeyEvent>

namespace trelvo {

TTimeField::TTimeField(std::function<QTime()> now, QWidget* parent) : QTimeEdit(parent), Now_(std::move(now)) {
  setDisplayFormat("HH:mm");
}

void TTimeField::keyPressEvent(QKeyEvent* event) {
  if (event->text() == ":") {
    const QTime now = Now_();
    setTime(QTime(now.hour(), now.minute()));
    event->accept();
    return;
  }
  QTimeEdit::keyPressEvent(event);
}

TDateField::TDateField(std::function<QDate()> today, QWidget* parent) : QDateEdit(parent), Today_(std::move(today)) {
  setDisplayFormat("dd.MM.yyyy");
  setCalendarPopup(true);
  calendarWidget()->setFirstDayOfWeek(Qt::Monday);
}

void TDateField::keyPressEvent(QKeyEvent* event) {
  const QString text = event->text();
  if (text == "." || text == "+" || text == "-") {
    setDate(text == "." ? Today_() : date().addDays(text == "+" ? 1 : -1));
    event->accept();
    return;
  }
  QDateEdit::keyPressEvent(event);
}

int TStarPasswordStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                                  QStyleHintReturn* returnData) const {
  if (hint == SH_LineEdit_PasswordCharacter) return '*';
  return QProxyStyle::styleHint(hint, option, widget, returnData);
}

}  // namespace trelvo
