#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/autostart.h"
#include "driver/prompt.h"

namespace {

struct AutostartRow {
    std::vector<std::string> reads;  // the line's bytes as they come, read by read
    AutostartFound found;
    std::string shown;               // what reaches the screen up to the header (or in all)
};

// A hex ZRQINIT and ZRINIT as sz and rz send them, and lookalikes.
const std::string ZRQINIT_HEX = "**\x18" "B0000000000000000";
const std::string ZRINIT_HEX = "**\x18" "B0100000023be50";

TEST(Autostart, FindsOnlyWholeHeadersWithAGoodCrc) {
    const AutostartRow rows[] = {
        {{"rz\r" + ZRQINIT_HEX + "\r\x8a\x11"}, AUTOSTART_SENDER, "rz\r"},
        {{"waiting." + ZRINIT_HEX}, AUTOSTART_RECEIVER, "waiting."},
        {{"a*", "*\x18", "B00000", "0000000000"}, AUTOSTART_SENDER, "a"},
        {{"**\x18" "B01", "00000023be51"}, AUTOSTART_NONE, "**\x18" "B0100000023be51"},   // CRC off by one
        {{"**\x18" "B0400000000dead"}, AUTOSTART_NONE, "**\x18" "B0400000000dead"},      // ZFILE: no session start
        {{"**\x18" "B0100000023BE50"}, AUTOSTART_NONE, "**\x18" "B0100000023BE50"},      // uppercase hex
        {{"*\x18" "B0000000000000000"}, AUTOSTART_NONE, "*\x18" "B0000000000000000"},    // one ZPAD
        {{"***\x18" "B00", "00000000000000"}, AUTOSTART_SENDER, "*"},
        {{"2*3=6 ** done"}, AUTOSTART_NONE, "2*3=6 ** done"},
    };
    for (const AutostartRow& row : rows) {
        Autostart detector;
        autostartReset(&detector);
        std::string shown;
        AutostartFound found = AUTOSTART_NONE;
        for (const std::string& read : row.reads) {
            std::vector<uint8_t> out(read.size() + AUTOSTART_HEADER_LENGTH);
            size_t count = 0, used = 0;
            found = autostartScan(&detector, reinterpret_cast<const uint8_t*>(read.data()), read.size(), out.data(),
                                  &count, &used);
            shown.append(reinterpret_cast<const char*>(out.data()), count);
            if (found != AUTOSTART_NONE) break;
        }
        if (found == AUTOSTART_NONE) {
            uint8_t held[AUTOSTART_HEADER_LENGTH];
            shown.append(reinterpret_cast<const char*>(held), autostartRelease(&detector, held));
        }
        EXPECT_EQ(found, row.found) << row.shown;
        EXPECT_EQ(shown, row.shown);
    }
}

struct DebrisRow {
    std::string line;   // what a failed session leaves, then the remote's text
    std::string shown;
};

TEST(Debris, ShowsOnlyTheTextAfterTheSessionsLastByte) {
    const DebrisRow rows[] = {
        {"\x80\x80\x18i\x01\x80$ ok\r\n", "$ ok\r\n"},
        {"\x18\x18\x18\x08\x08\xce\x93\xce\xb5 \x1b[1mx", "\xce\x93\xce\xb5 \x1b[1mx"},  // Greek, a CSI
        {"ab\xce" "c$ ", "c$ "},           // a character cut short
        {"\x1bPq$ ", "Pq$ "},             // ESC P would swallow the prompt
        {"x\x11\x91y", "y"},
        {std::string(3000, 'a') + "\x18" "C$ ", "C$ "},  // a text file's data in flight
        {"QQ data\nQQ datsz-exit=128\r\n$ ", "QQ datsz-exit=128\r\n$ "},  // its bare LF
    };
    for (const DebrisRow& row : rows) {
        Debris debris;
        debrisStart(&debris);
        debrisScan(&debris, reinterpret_cast<const uint8_t*>(row.line.data()), row.line.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(debris.text), debris.count), row.shown) << row.line;
    }
}

struct SplitRow {
    std::string typed;
    std::vector<std::string> names;
};

TEST(Prompt, SplitsNamesWithQuotesAndBackspace) {
    const SplitRow rows[] = {
        {"a.txt b.bin\r", {"a.txt", "b.bin"}},
        {"  \"with space.txt\"   Γράφημα.txt\r", {"with space.txt", "Γράφημα.txt"}},
        {"ab\x7f" "c d\r", {"ac", "d"}},
        {"Γ\x7f" "x\r", {"x"}},                       // a whole character rubbed out
        {"a\x1b[Ab\r", {"ab"}},                       // an arrow key is not taken
        {"x\"y z\"w \"\"\r", {"xy zw"}},
        {"a b\x03", {}},                               // Ctrl-C: nothing to send
        {"\r", {}},
    };
    for (const SplitRow& row : rows) {
        Prompt prompt;
        promptReset(&prompt);
        PromptState state = PROMPT_EDITING;
        for (unsigned char key : row.typed) {
            char echo[8];
            size_t echoed = 0;
            state = promptKey(&prompt, key, echo, &echoed);
        }
        ASSERT_EQ(state, PROMPT_DONE) << row.typed;
        char* names[8];
        int count = promptSplit(prompt.text, names, 8);
        ASSERT_EQ(count, static_cast<int>(row.names.size())) << row.typed;
        for (int i = 0; i < count; i++) EXPECT_EQ(names[i], row.names[static_cast<size_t>(i)]);
    }
}

}  // namespace
