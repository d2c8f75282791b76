#pragma once

#include <QDialog>

class QLabel;
class QTimer;

// The start-up picture: shown modally for three seconds, or until a character key is pressed or
// the picture is clicked.
class FormSplash : public QDialog
{
    Q_OBJECT
  public:
    explicit FormSplash(QWidget *parent = nullptr);

    static constexpr int DisplayMilliseconds = 3000;
    static QPixmap picture();

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QTimer *Timer1 = nullptr;

  protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void Timer1_Timer();
};
