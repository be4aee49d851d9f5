#include "lists/ListCommands.h"

#include <cerrno>

#include "lists/LineRules.h"
#include "lists/ListFile.h"

void loadList(ListHost& host, ListDialog& open) {
    if (open.execute()) {
        std::string text = readRegularListFile(open.fileName());
        if (LineRules::countIn(text) > kMaxListLines)
            throw ListFileError(ListFileError::Kind::TooLarge, open.fileName(), EFBIG);
        if (text != host.listText()) host.setListText(text);
    }
    host.setRememberedPath(open.fileName());
}

void saveList(ListHost& host, ListDialog& save) {
    if (host.overwriteSave() && host.rememberedPath() != kNoListLoaded) {
        writeListFile(host.rememberedPath(), host.listText());
        return;
    }
    if (save.execute()) writeListFile(save.fileName(), host.listText());
}
