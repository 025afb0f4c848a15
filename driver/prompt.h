// The `Files to send: ` prompt of the terminal: a one-line editor fed with
// the keys as they come, and the split of its answer into names.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int PROMPT_SIZE = 4096;

enum PromptState { PROMPT_EDITING, PROMPT_DONE };

struct Prompt {
    char text[PROMPT_SIZE];
    int length;
    int escape;  // 0; 1 after ESC; 2 inside a CSI or SS3 sequence (a key such as an arrow, not taken)
};

void promptReset(Prompt* prompt);
// Takes one key byte; what to draw for it (the echo, a rubout) goes to echo
// (room for 8 bytes) with its count in *echoed. Enter ends the line; Ctrl-C
// ends it empty.
PromptState promptKey(Prompt* prompt, uint8_t key, char* echo, size_t* echoed);
// Splits the line in place into names separated by spaces; double quotes keep
// spaces in a name and are dropped. Returns the count; at most max are stored,
// a larger count says there were more.
int promptSplit(char* line, char** names, int max);
