#pragma once

#include <string>

// A file dialog as the list commands use it. It keeps its last confirmed name between uses.
class ListDialog {
  public:
    virtual ~ListDialog() = default;
    virtual bool execute() = 0;                // true when the user confirmed a name
    virtual std::string fileName() const = 0;  // the last confirmed name, empty before the first
};

// What Load and Save need of the window.
class ListHost {
  public:
    virtual ~ListHost() = default;
    virtual std::string listText() const = 0;  // Shift_JIS, CR LF lines
    virtual void setListText(const std::string& text) = 0;
    virtual std::string rememberedPath() const = 0;
    virtual void setRememberedPath(const std::string& path) = 0;
    virtual bool overwriteSave() const = 0;
};

// The remembered path before any Load: the label's design text.
inline constexpr const char* kNoListLoaded = "LoadFile_NamePath";

// Load: the dialog, then the file; the remembered path follows the dialog whether confirmed or not,
// but a failed load changes nothing.
void loadList(ListHost& host, ListDialog& open);

// Save: to the remembered path when overwrite-save is ticked (through the dialog while no Load was
// ever made), otherwise to the name confirmed in the dialog, which is not remembered.
void saveList(ListHost& host, ListDialog& save);
