#pragma once

#include <string>

#include "lists/LineList.h"
#include "lists/ShiftJis.h"

// The tidy command the slow and literal way: line by line over a line list, deleting and replacing in place.
inline std::string tidyLineByLine(const std::string& text) {
    LineList list(text);
    for (std::size_t i = 0; i < list.count(); ++i) {
        const std::string_view head = prefixes::headOf(list.fullLine(i));
        if (head == prefixes::kDead) {
            list.remove(i--);
        } else if (head == prefixes::kWorking) {
            list.replace(i, std::string(list.fullLine(i).substr(prefixes::kWidth)));
        }
    }
    return list.text();
}
