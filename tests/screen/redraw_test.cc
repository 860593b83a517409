// What a key costs on the terminal.  Technicians reach a till's screen over
// slow links, where every byte the editor sends is a delay: a key must send
// about what it changes, and never a repaint of the whole screen.  Byte counts
// depend only on the program and the terminal description, not on timing.
#include "probe.h"
#include "process.h"

namespace {

using namespace screen;

// Erase in Display: the whole screen, or everything from the home position.
bool clears_screen(std::string_view bytes) {
    for (std::string_view seq : {"\x1b[2J", "\x1b[H\x1b[J", "\x1b[1;1H\x1b[J"})
        if (bytes.find(seq) != std::string_view::npos) return true;
    return false;
}

class Redraw : public ::testing::Test {
protected:
    scratch_dir dir;
    std::unique_ptr<terminal> t;
    std::size_t mark = 0;

    void SetUp() override {
        run({"mkdir", "-p", dir / "quelvaris/cash/data", dir / "quelvaris/cash/conf"});
        options opt;
        opt.env = {{"TARNEX_ROOT", dir.path}, {"TZ", "MSK-3"}};
        t = std::make_unique<terminal>(std::vector<std::string>{TARNEX_BIN}, opt);
        ASSERT_TRUE(t->wait_text(15, 2, "Выход без сохранения"));
        ASSERT_TRUE(t->wait_idle());
        mark = t->bytes_received();
    }

    void TearDown() override {
        if (!t) return;
        t->press(VTERM_KEY_ESCAPE);
        if (t->text(7, 5, 1) == "┌") t->press(VTERM_KEY_ESCAPE);  // a dialog still open
        EXPECT_EQ(t->wait_exit(), 0);
    }

    // What the editor wrote for `key`, once it has dealt with it.
    std::string sent(VTermKey key) {
        t->press(key);
        EXPECT_TRUE(t->wait_idle());
        std::string bytes = t->output().substr(mark);
        mark = t->bytes_received();
        return bytes;
    }
};

TEST_F(Redraw, MovingTheHighlightSendsTwoRows) {
    for (int entry = 1; entry < 14; ++entry) {
        const std::string bytes = sent(VTERM_KEY_DOWN);
        EXPECT_LE(bytes.size(), 200u) << "Down from entry " << entry;
        EXPECT_FALSE(clears_screen(bytes)) << "Down from entry " << entry;
        EXPECT_TRUE(inverse(*t, entry + 2, 2, 38));
    }
    for (int entry = 14; entry > 1; --entry) {
        const std::string bytes = sent(VTERM_KEY_UP);
        EXPECT_LE(bytes.size(), 200u) << "Up from entry " << entry;
        EXPECT_FALSE(clears_screen(bytes)) << "Up from entry " << entry;
    }
    EXPECT_TRUE(sent(VTERM_KEY_UP).empty()) << "Up on the first entry changes nothing";
}

// The menu is rebuilt after every dialog; only the cells the dialog covered
// and the highlight may be sent again, yet all of them must be.
TEST_F(Redraw, ADialogIsUndoneWithoutRepaintingTheMenu) {
    const std::string menu_rows[] = {t->row(7), t->row(8), t->row(9), t->row(10), t->row(11), t->row(12)};
    for (int entry = 1; entry <= 12; ++entry) {
        for (int down = 1; down < entry; ++down) sent(VTERM_KEY_DOWN);
        const std::string opened = sent(VTERM_KEY_ENTER);
        ASSERT_EQ(t->text(11, 5, 1), "└") << entry;
        EXPECT_FALSE(clears_screen(opened)) << "opening entry " << entry;

        const std::string typed = sent(entry == 4 ? VTERM_KEY_RIGHT : VTERM_KEY_BACKSPACE);
        EXPECT_LE(typed.size(), 100u) << "a key in the dialog of entry " << entry;

        const std::string back = sent(VTERM_KEY_ESCAPE);
        EXPECT_LE(back.size(), 600u) << "back from entry " << entry;
        EXPECT_FALSE(clears_screen(back)) << "back from entry " << entry;
        for (int r = 7; r <= 12; ++r) EXPECT_EQ(t->row(r), menu_rows[r - 7]) << "back from entry " << entry;
        EXPECT_TRUE(inverse(*t, 2, 2, 38)) << "back from entry " << entry;
    }
}

}  // namespace
