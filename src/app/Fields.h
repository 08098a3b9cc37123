#pragma once
// The settings page's time and date fields with their keys: ":" enters the
// current time, "." today, "+" and "-" step the date by a day. "Now" comes
// from the core's clock, so the keys follow the same time as the scheduler.
#include <QDateEdit>
#include <QProxyStyle>
#include <QTimeEdit>
#include <functional>

namespace trelvo {

class TTimeField : public QTimeEdit {
  Q_OBJECT
 public:
  explicit TTimeField(std::function<QTime()> now, QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::function<QTime()> Now_;
};

class TDateField : public QDateEdit {
  Q_OBJECT
 public:
  explicit TDateField(std::function<QDate()> today, QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::function<QDate()> Today_;
};

// Password fields show "*" for each typed character.
class TStarPasswordStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                QStyleHintReturn* returnData = nullptr) const override;
};

}  // namespace trelvo
