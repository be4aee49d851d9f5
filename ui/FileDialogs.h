#pragma once

#include <QString>
#include <string>

#include "lists/ListCommands.h"

class QWidget;

// OpenDialog1 / SaveDialog1: a file dialog with the two list filters that keeps its last confirmed
// name and filter choice for its next use.
class TFileDialog : public ListDialog {
  public:
    enum class Mode { Open, Save };
    TFileDialog(QWidget* parent, Mode mode, QString title);

    bool execute() override;
    std::string fileName() const override;  // the file system's bytes for the name

  private:
    QWidget* parent_;
    Mode mode_;
    QString title_;
    QString fileName_;
    int filterIndex_ = 0;
};
