// Windows and alerts: the terminal forms, and the fall-back to them when no
// dialog can be shown on the display.

#include "platform/alert.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

const platform::ChoiceWindow kWindow{"卸载 Vasquill", "将从本机移除 Vasquill。", "卸载", "取消"};

TEST(TerminalChoice, ReadsTheChoiceAndAsksAgainUntilItIsOne) {
  struct Case {
    const char* input;
    platform::Choice choice;
    int prompts;
  } cases[] = {
      {"1\n", platform::Choice::kAccept, 1},
      {"2\n", platform::Choice::kCancel, 1},
      {"  1 \r\n", platform::Choice::kAccept, 1},
      {"卸载\n", platform::Choice::kAccept, 1},
      {"取消\n", platform::Choice::kCancel, 1},
      {"", platform::Choice::kCancel, 1},
      {"yes\n\n3\n1\n", platform::Choice::kAccept, 4},
      {"x\n", platform::Choice::kCancel, 2},  // then the input ends
      {"1", platform::Choice::kAccept, 1},    // no line break before the end
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    std::ostringstream out;
    EXPECT_EQ(platform::RunChoiceInTerminal(kWindow, in, out), c.choice) << c.input;
    std::string shown = out.str();
    size_t prompts = 0;
    for (size_t at = shown.find("[1/2]"); at != std::string::npos; at = shown.find("[1/2]", at + 1)) ++prompts;
    EXPECT_EQ(prompts, static_cast<size_t>(c.prompts)) << c.input;
    for (const std::string& text : {kWindow.title, kWindow.message, kWindow.acceptButton, kWindow.cancelButton}) {
      EXPECT_NE(shown.find(text), std::string::npos) << text;
    }
  }
}

TEST(TerminalAlert, ShowsTheTextAndTheButtonAndWaitsForALine) {
  platform::Alert alert{"", "卸载失败，错误信息：\n<b>&amp;</b>", "确定", platform::AlertStyle::kCritical};
  struct Case {
    const char* input;
    const char* rest;  // what it leaves unread
  } cases[] = {{"\nleft over\n", "left over"}, {"", ""}};
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    std::ostringstream out;
    platform::RunAlertInTerminal(alert, in, out);
    EXPECT_NE(out.str().find(alert.messageText), std::string::npos);
    EXPECT_NE(out.str().find("[确定]"), std::string::npos);
    std::string rest;
    std::getline(in, rest);
    EXPECT_EQ(rest, c.rest) << "read more than its line";
  }
}

TEST(Display, IsPresentWhenTheSessionNamesOne) {
  struct Case {
    const char* display;
    const char* wayland;
    bool present;
  } cases[] = {
      {nullptr, nullptr, false}, {"", "", false}, {":0", nullptr, true}, {nullptr, "wayland-0", true}, {"", "wayland-1", true},
  };
  for (const Case& c : cases) {
    c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
    c.wayland ? setenv("WAYLAND_DISPLAY", c.wayland, 1) : unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(platform::DisplayPresent(), c.present) << (c.display ? c.display : "-") << " " << (c.wayland ? c.wayland : "-");
  }
}

// Standard input and output replaced for one test.
class TerminalStreams {
 public:
  explicit TerminalStreams(const std::string& input) : in_(input) {
    oldIn_ = std::cin.rdbuf(in_.rdbuf());
    oldOut_ = std::cout.rdbuf(out_.rdbuf());
  }
  ~TerminalStreams() {
    std::cin.rdbuf(oldIn_);
    std::cout.rdbuf(oldOut_);
  }
  std::string Shown() const { return out_.str(); }

 private:
  std::istringstream in_;
  std::ostringstream out_;
  std::streambuf* oldIn_;
  std::streambuf* oldOut_;
};

TEST(DialogFallBack, WithoutADialogTheTerminalAsks) {
  struct Case {
    const char* display;
    const char* path;
  } cases[] = {
      {nullptr, nullptr},               // no display
      {":1379", nullptr},               // a display that cannot be opened
      {":0", "/nonexistent-folder"},    // no zenity
  };
  const char* path = getenv("PATH");
  std::string savedPath = path ? path : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display ? c.display : "no display");
    unsetenv("WAYLAND_DISPLAY");
    c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
    if (c.path) setenv("PATH", c.path, 1);
    {
      TerminalStreams terminal("1\n\n");
      EXPECT_EQ(platform::RunChoiceWindow(kWindow), platform::Choice::kAccept);
      platform::RunAlert({"", "卸载成功", "确定", platform::AlertStyle::kInformational});
      EXPECT_NE(terminal.Shown().find(kWindow.message), std::string::npos);
      EXPECT_NE(terminal.Shown().find("卸载成功"), std::string::npos);
    }
    setenv("PATH", savedPath.c_str(), 1);
  }
}

}  // namespace
