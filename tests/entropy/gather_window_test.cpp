// The mouse-and-keyboard gatherer against a scripted window system: events
// go in; seed bytes, paints and window-system calls come out. The scripts
// and what they must give are in gather_window.vec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "entropy/window_system.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;
using vc::CursorHandle;
using vc::DrawingContext;
using vc::WindowHandle;

void* handle(uintptr_t value) {
    return reinterpret_cast<void*>(value);
}

const WindowHandle WINDOW = handle(0x100);
const WindowHandle DESKTOP = handle(0x200);
const DrawingContext WINDOW_DC = handle(0x10);
const DrawingContext SCREEN_DC = handle(0x11);
const DrawingContext MEMORY_DC = handle(0x12);
const DrawingContext LINES_DC = handle(0x13);
const CursorHandle ARROW = handle(0x20);

bool operator==(const vc::WindowRect& a, const vc::WindowRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

struct TextOut {
    vc::WindowRect rect;
    int32_t x, y;
    uint32_t options;
    std::string text;
    vc::Color background, foreground;
    bool operator==(const TextOut&) const = default;
};

// A window system whose queue is a script. A "|" in the script reads as an
// empty queue once, which ends the start-up drain; once collecting, an
// exhausted script reads as a quit message, so every gathering ends.
class FakeWindowSystem final : public vc::WindowSystem {
  public:
    std::deque<vc::QueuedMessage> queue;
    std::vector<std::string> log;  // the calls that shape the window's life
    std::vector<TextOut> textOuts;
    std::vector<std::string> drawnTexts;
    std::vector<std::vector<int32_t>> lines;  // the pen, then x and y of each point
    std::vector<int32_t> screenLinesRead;
    uint32_t ticks = 0;
    vc::WindowSize screen{1100, 300};
    vc::WindowRect frame{0, 0, 0, 0};
    vc::WindowRect client{0, 0, 554, 241};
    vc::WindowSize bitmap{0, 0};
    bool bitmapSelectable = true;
    int blits = 0;
    int openContexts = 0;
    vc::GatherState* slot = nullptr;
    vc::Color background = 1, foreground = 2;
    int32_t mode = vc::BACKGROUND_OPAQUE;

    void script(const std::string& text) {
        std::istringstream events(text);
        for (std::string event; std::getline(events, event, ';');) {
            const std::vector<std::string> f = readFields(event);
            const auto number = [&](std::size_t i) { return std::stol(f.at(i)); };
            if (f.empty()) {
                continue;
            }
            if (f[0] == "|") {
                queue.push_back({nullptr, 0, 0, 0});
            } else if (f[0] == "key") {
                queue.push_back({WINDOW, vc::MESSAGE_KEY_DOWN, static_cast<uintptr_t>(number(1)),
                                 number(2) << 16 | 1});
            } else if (f[0] == "move") {
                queue.push_back({WINDOW, vc::MESSAGE_MOUSE_MOVE, 0,
                                 (number(2) & 0xFFFF) << 16 | (number(1) & 0xFFFF)});
            } else if (f[0] == "activate") {
                queue.push_back(
                    {WINDOW, vc::MESSAGE_ACTIVATE_APP, static_cast<uintptr_t>(number(1)), 0});
            } else if (f[0] == "quit") {
                queue.push_back({nullptr, vc::MESSAGE_QUIT, 0, 0});
            } else {
                ADD_FAILURE() << "unknown event " << event;
            }
        }
    }

    uint32_t tickCount() noexcept override { return ticks; }
    bool registerClass(void*) noexcept override { return note("register"), true; }
    void unregisterClass(void*) noexcept override { note("unregister"); }
    WindowHandle createWindow(WindowHandle owner, void*, const char* title, int32_t width,
                              int32_t height) noexcept override {
        std::string name(title);  // the registered sign as the data file writes it
        std::replace(name.begin(), name.end(), '\xAE', '@');
        note("create " + name + " " + std::to_string(width) + "x" + std::to_string(height) +
             (owner == DESKTOP ? " desktop" : " host"));
        frame = {0, 0, width, height};
        vc::entropyWindowProc(*this, WINDOW, vc::MESSAGE_CREATE, 0, 0);
        return WINDOW;
    }
    void destroyWindow(WindowHandle) noexcept override { note("destroy"); }
    intptr_t defaultProc(WindowHandle, uint32_t, uintptr_t, intptr_t) noexcept override {
        return 0;
    }
    void setState(WindowHandle, vc::GatherState* state) noexcept override { slot = state; }
    vc::GatherState* getState(WindowHandle) noexcept override { return slot; }
    WindowHandle desktopWindow() noexcept override { return DESKTOP; }
    void enableWindow(WindowHandle, bool enable) noexcept override {
        note(enable ? "enable parent" : "disable parent");
    }
    void setActiveWindow(WindowHandle) noexcept override { note("activate parent"); }
    void moveWindow(WindowHandle, int32_t x, int32_t y) noexcept override {
        note("move " + std::to_string(x) + "," + std::to_string(y));
        frame = {x, y, x + frame.right - frame.left, y + frame.bottom - frame.top};
    }
    void showOnTop(WindowHandle) noexcept override { note("show"); }
    void updateWindow(WindowHandle window) noexcept override {
        vc::entropyWindowProc(*this, window, vc::MESSAGE_PAINT, 0, 0);
    }
    vc::WindowRect windowRect(WindowHandle) noexcept override { return frame; }
    vc::WindowRect clientRect(WindowHandle) noexcept override { return client; }
    void validate(WindowHandle) noexcept override {}
    bool peekMessage(vc::QueuedMessage* message) noexcept override {
        if (queue.empty()) {
            *message = {nullptr, vc::MESSAGE_QUIT, 0, 0};
            return slot != nullptr && slot->collecting != 0;
        }
        *message = queue.front();
        queue.pop_front();
        return message->message != 0;
    }
    void dispatchMessage(const vc::QueuedMessage& message) noexcept override {
        if (message.window != nullptr) {
            vc::entropyWindowProc(*this, message.window, message.message, message.wParam,
                                  message.lParam);
        }
    }
    // Posted messages come before input, as on Windows.
    void postMessage(WindowHandle window, uint32_t message) noexcept override {
        queue.push_front({window, message, 0, 0});
    }
    void setCursorPos(int32_t x, int32_t y) noexcept override {
        note("cursor " + std::to_string(x) + "," + std::to_string(y));
    }
    void clipCursor(const vc::WindowRect* rect) noexcept override {
        note(rect == nullptr
                 ? "free cursor"
                 : "clip " + std::to_string(rect->left) + "," + std::to_string(rect->top) + "," +
                       std::to_string(rect->right) + "," + std::to_string(rect->bottom));
    }
    void setCapture(WindowHandle) noexcept override { note("capture"); }
    void releaseCapture() noexcept override { note("release capture"); }
    void setFocus(WindowHandle) noexcept override { note("focus"); }
    CursorHandle showBusyCursor() noexcept override { return note("hourglass"), ARROW; }
    void restoreCursor(CursorHandle previous) noexcept override {
        note(previous == ARROW ? "restore cursor" : "restore wrong cursor");
    }
    DrawingContext getDC(WindowHandle window) noexcept override {
        ++openContexts;
        return window == nullptr ? SCREEN_DC : WINDOW_DC;
    }
    void releaseDC(WindowHandle, DrawingContext) noexcept override { --openContexts; }
    vc::WindowSize deviceSize(DrawingContext dc) noexcept override {
        EXPECT_EQ(dc, SCREEN_DC);
        return screen;
    }
    vc::Color sysColor(vc::SystemColor index) noexcept override { return 0x100 + index; }
    vc::Color setBkColor(DrawingContext, vc::Color color) noexcept override {
        return std::exchange(background, color);
    }
    vc::Color setTextColor(DrawingContext, vc::Color color) noexcept override {
        return std::exchange(foreground, color);
    }
    int32_t setBkMode(DrawingContext, int32_t value) noexcept override {
        return std::exchange(mode, value);
    }
    void extTextOut(DrawingContext, int32_t x, int32_t y, uint32_t options,
                    const vc::WindowRect& rect, const char* text,
                    uint32_t length) noexcept override {
        textOuts.push_back(
            {rect, x, y, options, std::string(text, length), background, foreground});
    }
    void drawText(DrawingContext, const char* text, const vc::WindowRect& rect) noexcept override {
        EXPECT_EQ(mode, vc::BACKGROUND_TRANSPARENT);
        EXPECT_EQ(rect.bottom, client.bottom);
        drawnTexts.push_back(text + std::string("|") + std::to_string(foreground));
    }
    vc::WindowSize textExtent(DrawingContext, const char*, uint32_t length) noexcept override {
        return {static_cast<int32_t>(7 * length), 13};
    }
    void polyline(DrawingContext, vc::Color pen, const vc::WindowPoint* points,
                  uint32_t count) noexcept override {
        std::vector<int32_t> line = {static_cast<int32_t>(pen)};
        for (uint32_t i = 0; i < count; ++i) {
            line.insert(line.end(), {points[i].x, points[i].y});
        }
        lines.push_back(line);
    }
    bool bitmapSize(void*, vc::WindowSize* size) noexcept override {
        *size = bitmap;
        return bitmap.width != 0;
    }
    DrawingContext selectBitmap(DrawingContext, void*) noexcept override {
        return bitmapSelectable ? (++openContexts, MEMORY_DC) : nullptr;
    }
    void blit(DrawingContext, int32_t x, int32_t y, int32_t width, int32_t height,
              DrawingContext source) noexcept override {
        EXPECT_EQ(source, MEMORY_DC);
        // Every copy stays inside the client area above the strip.
        EXPECT_LE(x + width, client.right);
        EXPECT_LE(y + height, client.bottom - vc::GATHER_PROGRESS_HEIGHT);
        ++blits;
    }
    void releaseBitmapContext(DrawingContext) noexcept override { --openContexts; }
    DrawingContext beginScreenLines(DrawingContext, int32_t width) noexcept override {
        EXPECT_EQ(width, screen.width);
        return ++openContexts, LINES_DC;
    }
    uint32_t readScreenLine(DrawingContext, DrawingContext, int32_t y, uint8_t* buffer,
                            uint32_t capacity) noexcept override {
        screenLinesRead.push_back(y);
        const Bytes line = screenLine(y, capacity);
        std::copy(line.begin(), line.end(), buffer);
        return static_cast<uint32_t>(line.size());
    }
    void endScreenLines(DrawingContext) noexcept override { --openContexts; }

    // Four bytes a pixel, as many as the reader takes.
    Bytes screenLine(int32_t y, uint32_t capacity) const {
        Bytes line(std::min<uint32_t>(capacity, static_cast<uint32_t>(screen.width) * 4));
        for (std::size_t i = 0; i < line.size(); ++i) {
            line[i] = static_cast<uint8_t>(y * 31 + static_cast<int32_t>(i));
        }
        return line;
    }

  private:
    void note(const std::string& entry) { log.push_back(entry); }
};

// The generator behind the callback: answers in order, the last repeating.
std::vector<int32_t> answers;
std::vector<Bytes> handedOver;

int32_t scriptedCallback(const uint8_t* data, uint32_t count) {
    handedOver.emplace_back(data, data + count);
    const std::size_t used = handedOver.size() - 1;
    return answers.empty() ? 0 : answers[std::min(used, answers.size() - 1)];
}

std::vector<int32_t> numbers(const std::string& text) {
    std::vector<int32_t> out;
    for (const std::string& field : readFields(text)) {
        out.push_back(static_cast<int32_t>(std::stol(field, nullptr, 0)));
    }
    return out;
}

// The progress figures painted, read back from the filled part's text.
std::vector<int32_t> paintedProgress(const FakeWindowSystem& fake) {
    std::vector<int32_t> out;
    for (const TextOut& part : fake.textOuts) {
        if (part.background == 0x100 + vc::SYSTEM_COLOR_ACTIVE_CAPTION) {
            out.push_back(std::atoi(part.text.c_str()));
        }
    }
    return out;
}

struct GatherCase {
    std::string script, answers, fed, painted, result, calls;
    uint32_t ticks = 0;
    bool hosted = false;
};

TEST(GatherWindow, ScriptedGatherings) {
    std::map<std::string, GatherCase> cases;
    for (const auto& line : readVec("gather_window.vec")) {
        const std::string& kind = line.fields.at(0);
        if (kind == "Progress" || kind == "Paint") {
            continue;
        }
        GatherCase& c = cases[line.fields.at(1)];
        (kind == "Gather"    ? c.script
         : kind == "Answers" ? c.answers
         : kind == "Fed"     ? c.fed
         : kind == "Painted" ? c.painted
         : kind == "Calls"   ? c.calls
                             : c.result) = line.value;
        for (std::size_t i = 2; kind == "Gather" && i < line.fields.size(); ++i) {
            c.hosted = c.hosted || line.fields[i] == "host";
            c.ticks = c.hosted ? c.ticks : static_cast<uint32_t>(std::stoul(line.fields[i]));
        }
    }
    EXPECT_EQ(cases.size(), 15u);
    for (const auto& [name, c] : cases) {
        SCOPED_TRACE(name);
        FakeWindowSystem fake;
        fake.ticks = c.ticks;
        fake.script(c.script);
        answers = numbers(c.answers);
        handedOver.clear();
        EXPECT_EQ(vc::entropyGatherWindow(fake, c.hosted ? handle(0x300) : nullptr, nullptr,
                                          nullptr, nullptr, scriptedCallback),
                  std::stoi(c.result));
        if (!c.calls.empty()) {
            std::string calls;
            for (const std::string& call : fake.log) {
                calls += (calls.empty() ? "" : "; ") + call;
            }
            EXPECT_EQ(calls, c.calls);
        }

        // One byte per accepted event, then the screen digest.
        ASSERT_FALSE(handedOver.empty());
        Bytes fed;
        for (std::size_t i = 0; i + 1 < handedOver.size(); ++i) {
            ASSERT_EQ(handedOver[i].size(), 1u);
            fed.push_back(handedOver[i][0]);
        }
        EXPECT_EQ(toHex(fed), c.fed);
        std::vector<int32_t> painted = numbers(c.painted);
        painted.insert(painted.begin(), 0);  // the first paint of the window
        EXPECT_EQ(paintedProgress(fake), painted);

        // Lines 0 to height - 2, at most 4096 bytes each.
        vc::Md5Context md5;
        vc::md5Init(&md5);
        for (int32_t y = 0; y < fake.screen.height - 1; ++y) {
            const Bytes line = fake.screenLine(y, vc::GATHER_SCREEN_LINE_BYTES);
            vc::md5Update(&md5, line.data(), static_cast<uint32_t>(line.size()));
        }
        Bytes digest(16);
        vc::md5Final(digest.data(), &md5);
        EXPECT_EQ(handedOver.back(), digest);
        EXPECT_EQ(fake.screenLinesRead.size(), static_cast<std::size_t>(fake.screen.height - 1));
        EXPECT_EQ(fake.openContexts, 0);
        EXPECT_EQ(fake.slot, nullptr);
    }
}

// The strip's arithmetic: Progress <progress> <client right> <client
// bottom> = <text> <fill end> <text x> <text y>.
TEST(GatherWindow, ProgressStrip) {
    for (const auto& row : readVec("gather_window.vec", "Progress", 7)) {
        SCOPED_TRACE(row.text);
        FakeWindowSystem fake;
        fake.client = {0, 0, std::stoi(row.fields.at(2)), std::stoi(row.fields.at(3))};
        vc::entropyPaintProgress(fake, WINDOW, WINDOW_DC, std::stoi(row.fields.at(1)));
        const std::vector<std::string> want = readFields(row.value);
        const int32_t right = fake.client.right;
        const int32_t bottom = fake.client.bottom;
        const int32_t top = bottom - 30;
        const int32_t fillEnd = std::stoi(want.at(1));
        std::string text = want.at(0);
        std::replace(text.begin(), text.end(), '_', ' ');
        const auto color = [](vc::SystemColor index) { return 0x100u + index; };
        // The text twice, each clipped to its part of the bar.
        const auto part = [&](int32_t left, int32_t end, vc::SystemColor back,
                              vc::SystemColor fore) {
            return TextOut{{left, top + 1, end, bottom},
                           std::stoi(want.at(2)),
                           std::stoi(want.at(3)),
                           vc::TEXT_OUT_OPAQUE | vc::TEXT_OUT_CLIPPED,
                           text,
                           color(back),
                           color(fore)};
        };
        EXPECT_EQ(
            fake.textOuts,
            (std::vector<TextOut>{
                part(1, fillEnd, vc::SYSTEM_COLOR_ACTIVE_CAPTION, vc::SYSTEM_COLOR_BUTTON_FACE),
                part(fillEnd, right, vc::SYSTEM_COLOR_SCROLL_BAR, vc::SYSTEM_COLOR_BUTTON_TEXT)}));
        // The frame: shadow left and top, face right and bottom.
        const auto shadow = int32_t(color(vc::SYSTEM_COLOR_BUTTON_SHADOW));
        const auto face = int32_t(color(vc::SYSTEM_COLOR_BUTTON_FACE));
        EXPECT_EQ(fake.lines, (std::vector<std::vector<int32_t>>{
                                  {shadow, 0, bottom, 0, top, right, top},
                                  {face, right, top, right, bottom, 0, bottom}}));
        EXPECT_EQ(fake.background, 1u);
        EXPECT_EQ(fake.foreground, 2u);
    }
}

// The prompt and the background: the Paint rows of gather_window.vec.
TEST(GatherWindow, PaintedPromptAndBackground) {
    const std::string defaultText = vc::GATHER_DEFAULT_PROMPT;
    EXPECT_EQ(defaultText.find("erzeugen...\r\nBewegen"), 20u);
    EXPECT_NE(defaultText.find("Tastatur!\nTastatur-"), std::string::npos);
    EXPECT_EQ(defaultText.find("\r\n", 33), std::string::npos);
    EXPECT_EQ(defaultText.back(), '.');
    for (const auto& row : readVec("gather_window.vec", "Paint", 5)) {
        SCOPED_TRACE(row.text);
        const auto& f = row.fields;
        const std::vector<std::string> want = readFields(row.value);
        FakeWindowSystem fake;
        fake.bitmap = {std::stoi(f.at(2)), std::stoi(f.at(3))};
        fake.bitmapSelectable = f.at(4) == "1";
        const std::string prompt = f.at(1) == "empty" ? "" : f.at(1);
        vc::GatherState state{};
        state.promptText = f.at(1) == "none" ? nullptr : prompt.c_str();
        state.bitmap = handle(0x400);
        state.lastProgress = 42;
        fake.slot = &state;
        vc::entropyWindowProc(fake, WINDOW, vc::MESSAGE_PAINT, 0, 0);
        const std::string drawn = want.at(0) == "default" ? defaultText : want.at(0);
        const auto colour =
            want.at(1) == "navy" ? 0x800000u : 0x100u + vc::SYSTEM_COLOR_WINDOW_TEXT;
        EXPECT_EQ(fake.drawnTexts, std::vector<std::string>{drawn + "|" + std::to_string(colour)});
        EXPECT_EQ(fake.blits, std::stoi(want.at(2)));
        ASSERT_EQ(fake.textOuts.size(), 3u);
        EXPECT_EQ(fake.textOuts[0].background, 0x100u + vc::SYSTEM_COLOR_WINDOW);
        EXPECT_EQ(fake.textOuts[0].rect.bottom, fake.client.bottom);
        EXPECT_EQ(fake.textOuts[1].text, " 42 %");
        EXPECT_EQ(fake.openContexts, 0);
        EXPECT_EQ(fake.mode, vc::BACKGROUND_OPAQUE);
    }
}

}  // namespace
