// Standard input and output as the line on Windows: not built yet. The line
// is refused when it is opened, with the message that says so.
#include <cstdio>

#include "adapter/line_kinds.h"
#include "adapter/messages.h"

void stdioClaim() {}

int stdioOpen(Line* line) {
    printf(MSG_LINE_UNAVAILABLE, line->name);
    return 1;
}

void stdioClose(Line*) {}
