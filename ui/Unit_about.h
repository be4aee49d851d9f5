#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QFrame;

// The version dialog: created hidden at start-up, shown modally from the Help menu.
class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    explicit TAboutBox(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* Copyright;
    QPushButton* BitBtn1;
    QLineEdit* Edit1;
    QLabel* Label1;
    QLineEdit* Edit2;
    QPlainTextEdit* Memo1;
    QPlainTextEdit* Memo2;

  protected:
    void showEvent(QShowEvent* event) override;
};

extern TAboutBox* AboutBox;
