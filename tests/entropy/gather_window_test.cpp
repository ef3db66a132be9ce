// The mouse-and-keyboard gatherer against a scripted window system: events
// go in; seed bytes, paints and window-system calls come out. The scripts
// and what they must give are in gather_window.vec.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "entropy/window_system.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;
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
const vc::CursorHandle ARROW = handle(0x20);

// A call as the fake records it: its name, then its numbers joined by commas.
std::string call(const std::string& name, const std::vector<int64_t>& numbers) {
    std::string out = name;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        out += i == 0 ? ' ' : ',';
        out += std::to_string(numbers[i]);
    }
    return out;
}

// A window system whose queue is a script. A "|" in the script reads as an
// empty queue once, which ends the start-up drain; once collecting, an
// exhausted script reads as a quit message, so every gathering ends.
// System colour i is 256 + i.
class FakeWindowSystem final : public vc::WindowSystem {
  public:
    std::deque<vc::QueuedMessage> queue;
    std::vector<std::string> log;    // the calls that shape the window's life
    std::vector<std::string> drawn;  // text-out, line and prompt calls
    std::vector<int32_t> painted;    // the figures in the filled part of the strip
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
    bool registerClass(void*) noexcept override { return log.push_back("register"), true; }
    void unregisterClass(void*) noexcept override { log.push_back("unregister"); }
    WindowHandle createWindow(WindowHandle owner, void*, const char* title, int32_t width,
                              int32_t height) noexcept override {
        std::string name(title);  // the registered sign as the data file writes it
        std::replace(name.begin(), name.end(), '\xAE', '@');
        log.push_back(call("create " + name, {width, height}) +
                      (owner == DESKTOP ? " desktop" : " host"));
        frame = {0, 0, width, height};
        vc::entropyWindowProc(*this, WINDOW, vc::MESSAGE_CREATE, 0, 0);
        return WINDOW;
    }
    void destroyWindow(WindowHandle) noexcept override { log.push_back("destroy"); }
    intptr_t defaultProc(WindowHandle, uint32_t, uintptr_t, intptr_t) noexcept override {
        return 0;
    }
    void setState(WindowHandle, vc::GatherState* state) noexcept override { slot = state; }
    vc::GatherState* getState(WindowHandle) noexcept override { return slot; }
    WindowHandle desktopWindow() noexcept override { return DESKTOP; }
    void enableWindow(WindowHandle, bool enable) noexcept override {
        log.push_back(enable ? "enable parent" : "disable parent");
    }
    void setActiveWindow(WindowHandle) noexcept override { log.push_back("activate parent"); }
    void moveWindow(WindowHandle, int32_t x, int32_t y) noexcept override {
        log.push_back(call("move", {x, y}));
        frame = {x, y, x + frame.right - frame.left, y + frame.bottom - frame.top};
    }
    void showOnTop(WindowHandle) noexcept override { log.push_back("show"); }
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
        log.push_back(call("cursor", {x, y}));
    }
    void clipCursor(const vc::WindowRect* r) noexcept override {
        log.push_back(r == nullptr ? "free cursor"
                                   : call("clip", {r->left, r->top, r->right, r->bottom}));
    }
    void setCapture(WindowHandle) noexcept override { log.push_back("capture"); }
    void releaseCapture() noexcept override { log.push_back("release capture"); }
    void setFocus(WindowHandle) noexcept override { log.push_back("focus"); }
    vc::CursorHandle showBusyCursor() noexcept override {
        return log.push_back("hourglass"), ARROW;
    }
    void restoreCursor(vc::CursorHandle previous) noexcept override {
        log.push_back(previous == ARROW ? "restore cursor" : "restore wrong cursor");
    }
    DrawingContext getDC(WindowHandle window) noexcept override {
        return ++openContexts, window == nullptr ? SCREEN_DC : WINDOW_DC;
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
    // Blanks in the text are written '_'.
    void extTextOut(DrawingContext, int32_t x, int32_t y, uint32_t options, const vc::WindowRect& r,
                    const char* text, uint32_t length) noexcept override {
        std::string shown(text, length);
        std::replace(shown.begin(), shown.end(), ' ', '_');
        drawn.push_back(call("text", {r.left, r.top, r.right, r.bottom, x, y, options, background,
                                      foreground}) +
                        " " + shown);
        if (background == 0x100 + vc::SYSTEM_COLOR_ACTIVE_CAPTION) {
            painted.push_back(std::stoi(std::string(text, length)));
        }
    }
    void drawText(DrawingContext, const char* text, const vc::WindowRect& rect) noexcept override {
        EXPECT_EQ(mode, vc::BACKGROUND_TRANSPARENT);
        EXPECT_EQ(rect.bottom, client.bottom);
        drawn.push_back(call("prompt", {foreground}) + " " + text);
    }
    vc::WindowSize textExtent(DrawingContext, const char*, uint32_t length) noexcept override {
        return {static_cast<int32_t>(7 * length), 13};
    }
    void polyline(DrawingContext, vc::Color pen, const vc::WindowPoint* points,
                  uint32_t count) noexcept override {
        std::vector<int64_t> numbers = {pen};
        for (uint32_t i = 0; i < count; ++i) {
            numbers.insert(numbers.end(), {points[i].x, points[i].y});
        }
        drawn.push_back(call("line", numbers));
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
    // Line y: four bytes a pixel, byte i being y * 31 + i, as many as the
    // reader takes.
    uint32_t readScreenLine(DrawingContext, DrawingContext, int32_t y, uint8_t* buffer,
                            uint32_t capacity) noexcept override {
        const uint32_t length = std::min<uint32_t>(capacity, uint32_t(screen.width) * 4);
        for (uint32_t i = 0; i < length; ++i) {
            buffer[i] = static_cast<uint8_t>(y * 31 + static_cast<int32_t>(i));
        }
        return length;
    }
    void endScreenLines(DrawingContext) noexcept override { --openContexts; }
};

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : "; ") + part;
    }
    return out;
}

// The generator behind the callback: answers in order, the last repeating.
// What it was handed is kept in hex, a blank between two calls.
std::vector<int32_t> answers;
std::size_t calls = 0;
std::string handedOver;

int32_t scriptedCallback(const uint8_t* data, uint32_t count) {
    handedOver += calls == 0 ? "" : " ";
    handedOver += toHex(data, count);
    const std::size_t used = calls++;
    return answers.empty() ? 0 : answers[std::min(used, answers.size() - 1)];
}

std::vector<int32_t> numbers(const std::string& text) {
    std::vector<int32_t> out;
    for (const std::string& field : readFields(text)) {
        out.push_back(static_cast<int32_t>(std::stol(field, nullptr, 0)));
    }
    return out;
}

// Each case is the rows of gather_window.vec that name it, by their kind.
TEST(GatherWindow, ScriptedGatherings) {
    std::map<std::string, std::map<std::string, std::string>> cases;
    for (const auto& line : readVec("gather_window.vec")) {
        const std::string& kind = line.fields.at(0);
        if (kind != "Progress" && kind != "Paint" && kind != "Digest") {
            cases[line.fields.at(1)][kind] = line.value;
        }
    }
    EXPECT_EQ(cases.size(), 15u);
    const std::string digest = readVec("gather_window.vec", "Digest", 1).at(0).value;
    for (auto& [name, c] : cases) {
        SCOPED_TRACE(name);
        FakeWindowSystem fake;
        fake.ticks = c["Ticks"].empty() ? 0 : static_cast<uint32_t>(std::stoul(c["Ticks"]));
        fake.script(c["Gather"]);
        answers = numbers(c["Answers"]);
        calls = 0;
        handedOver.clear();
        EXPECT_EQ(vc::entropyGatherWindow(fake, c["Parent"] == "host" ? handle(0x300) : nullptr,
                                          nullptr, nullptr, nullptr, scriptedCallback),
                  std::stoi(c.at("Result")));
        if (!c["Calls"].empty()) {
            EXPECT_EQ(joined(fake.log), c["Calls"]);
        }
        // One byte per accepted event, then the screen digest.
        EXPECT_EQ(handedOver, c["Fed"] + (c["Fed"].empty() ? "" : " ") + digest);
        EXPECT_EQ(fake.painted, numbers(c.at("Painted")));
        EXPECT_EQ(fake.openContexts, 0);
        EXPECT_EQ(fake.slot, nullptr);
    }
}

// The strip on client areas of several sizes: the frame's lines, then the
// figure twice, each clipped to its part of the bar.
TEST(GatherWindow, ProgressStrip) {
    for (const auto& row : readVec("gather_window.vec", "Progress", 7)) {
        SCOPED_TRACE(row.text);
        FakeWindowSystem fake;
        fake.client = {0, 0, std::stoi(row.fields.at(2)), std::stoi(row.fields.at(3))};
        vc::entropyPaintProgress(fake, WINDOW, WINDOW_DC, std::stoi(row.fields.at(1)));
        EXPECT_EQ(joined(fake.drawn), row.value);
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
        // The whole client area filled in the window colour, the prompt, and
        // the strip showing the last progress.
        ASSERT_EQ(fake.drawn.size(), 6u);
        EXPECT_EQ(fake.drawn[0], "text 0,0,554,241,0,0,2,261,2 ");
        EXPECT_EQ(fake.drawn[1], "prompt " + want.at(1) + " " +
                                     (want.at(0) == "default" ? defaultText : want.at(0)));
        EXPECT_EQ(fake.painted, std::vector<int32_t>{42});
        EXPECT_EQ(fake.blits, std::stoi(want.at(2)));
        EXPECT_EQ(fake.openContexts, 0);
        EXPECT_EQ(fake.mode, vc::BACKGROUND_OPAQUE);
    }
}

}  // namespace
