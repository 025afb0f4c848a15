#include "driver/prompt.h"

namespace {

constexpr uint8_t CTRL_C = 3;
constexpr uint8_t ESC = 27;

void rubOut(Prompt* prompt, char* echo, size_t* echoed) {
    if (prompt->length == 0) return;
    // A whole UTF-8 character goes: its continuation bytes, then its lead.
    do prompt->length--;
    while (prompt->length > 0 && (static_cast<uint8_t>(prompt->text[prompt->length]) & 0xC0) == 0x80);
    echo[(*echoed)++] = '\b';
    echo[(*echoed)++] = ' ';
    echo[(*echoed)++] = '\b';
}

}  // namespace

void promptReset(Prompt* prompt) {
    prompt->length = 0;
    prompt->escape = 0;
    prompt->text[0] = '\0';
}

PromptState promptKey(Prompt* prompt, uint8_t key, char* echo, size_t* echoed) {
    *echoed = 0;
    if (prompt->escape == 1) {
        prompt->escape = key == '[' || key == 'O' ? 2 : 0;
        return PROMPT_EDITING;
    }
    if (prompt->escape == 2) {
        if (key >= 0x40 && key <= 0x7E) prompt->escape = 0;
        return PROMPT_EDITING;
    }
    if (key == '\r' || key == '\n' || key == CTRL_C) {
        if (key == CTRL_C) prompt->length = 0;
        prompt->text[prompt->length] = '\0';
        echo[(*echoed)++] = '\r';
        echo[(*echoed)++] = '\n';
        return PROMPT_DONE;
    }
    if (key == ESC) {
        prompt->escape = 1;
    } else if (key == 0x7F || key == '\b') {
        rubOut(prompt, echo, echoed);
    } else if (key >= 0x20 && prompt->length < PROMPT_SIZE - 1) {
        prompt->text[prompt->length++] = static_cast<char>(key);
        echo[(*echoed)++] = static_cast<char>(key);
    }
    return PROMPT_EDITING;
}

int promptSplit(char* line, char** names, int max) {
    int count = 0;
    char* in = line;
    char* out = line;
    while (*in != '\0') {
        while (*in == ' ') in++;
        if (*in == '\0') break;
        char* name = out;
        bool quoted = false;
        while (*in != '\0' && (quoted || *in != ' ')) {
            if (*in == '"')
                quoted = !quoted;
            else
                *out++ = *in;
            in++;
        }
        // The terminator may land on the separator just passed.
        bool more = *in != '\0';
        if (more) in++;
        if (out == name) continue;  // "" names nothing
        *out++ = '\0';
        if (count < max) names[count] = name;
        count++;
        if (!more) break;
    }
    return count;
}
