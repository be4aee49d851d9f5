#pragma once

#include <string>
#include <string_view>

// The result list without the dead proxies' lines and with the working prefix stripped; lines with
// other heads (aborted, none, typed by the user) stay as they are. Whole lines are kept, however long.
// One pass over the text, with the same result as examining, deleting and replacing line by line.
std::string tidyResults(std::string_view text);
