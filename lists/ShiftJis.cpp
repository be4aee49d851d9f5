#include "lists/ShiftJis.h"

namespace sjis {

std::size_t charLength(std::string_view s) {
    const auto b = static_cast<unsigned char>(s[0]);
    if (isSingleByte(b)) return 1;
    if (isLeadByte(b) && s.size() > 1 && isTrailByte(static_cast<unsigned char>(s[1]))) return 2;
    return 0;
}

std::string withFullStop(std::string message) {
    if (message.empty()) return message;
    std::size_t last = 0;
    for (std::size_t i = 0; i < message.size();) {
        last = i;
        i += isLeadByte(static_cast<unsigned char>(message[i])) && i + 1 < message.size() ? 2 : 1;
    }
    if (std::string_view(message).substr(last) > ".") message += '.';
    return message;
}

}  // namespace sjis
