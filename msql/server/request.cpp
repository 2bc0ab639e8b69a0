// Parsing of request packets.
#include "msql/server/request.h"

namespace msqld {

bool parseRequest(std::string_view text, Request& request, std::string& error)
{
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 9) {
        error = "Malformed request";
        return false;
    }
    int command = 0;
    for (size_t i = 0; i < colon; i++) {
        if (text[i] < '0' || text[i] > '9') {
            error = "Malformed request";
            return false;
        }
        command = command * 10 + (text[i] - '0');
    }
    std::string_view argument = text.substr(colon + 1);
    if (!argument.empty() && argument.back() == '\n')
        argument.remove_suffix(1);
    request.command = command;
    request.argument = std::string(argument);
    return true;
}

}  // namespace msqld
