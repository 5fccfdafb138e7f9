#include "transfer/acknowledgement.h"

#include "line/exchange.h"
#include "run/state.h"

bool loader_line_accepted() {
    if (read_char() != 1) {
        return false;
    }
    switch (reply[0]) {
    case '\r':
    case '.':
        return true;
    case '0':
        read_char();
        return true;
    case '8':
        read_reply(reply, 2);
        return true;
    default:
        return false;
    }
}

bool firmware_line_accepted() {
    if (read_char() != 1) {
        return false;
    }
    switch (reply[0]) {
    case '.':
        return true;
    case '\r':
        read_char();
        return true;
    default:
        return false;
    }
}
