// FdTerminal over pipes: the line buffer keeps typed-ahead text, the end of input, the wake
// hook while a question waits, and write failures.
#include "agent/platform/terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

namespace pelmora {
namespace {

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    close_write();
    if (read_end >= 0) close(read_end);
  }
  void put(const std::string& text) const {
    ASSERT_EQ(write(write_end, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_write() {
    if (write_end >= 0) close(write_end);
    write_end = -1;
  }
  int read_end = -1;
  int write_end = -1;
};

std::string drain(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEST(FdTerminal, KeepsTypedAheadLinesAndTheLastPartialLine) {
  Pipe in;
  Pipe out;
  FdTerminal terminal(in.read_end, out.write_end);
  in.put("y\n  Ignore \r\nn");
  in.close_write();
  EXPECT_EQ(terminal.read_line({}), "y");
  EXPECT_EQ(terminal.read_line({}), "  Ignore \r");
  EXPECT_EQ(terminal.read_line({}), "n");
  EXPECT_EQ(terminal.read_line({}), std::nullopt);
  EXPECT_EQ(terminal.read_line({}), std::nullopt);
}

TEST(FdTerminal, ClosedOrInvalidInputIsTheEndOfInput) {
  Pipe out;
  FdTerminal terminal(-1, out.write_end);
  EXPECT_EQ(terminal.read_line({}), std::nullopt);
  int fd = open("/dev/null", O_RDONLY);
  FdTerminal null_input(fd, out.write_end);
  EXPECT_EQ(null_input.read_line({}), std::nullopt);
  close(fd);
}

TEST(FdTerminal, RunsTheWakeHookWhileWaitingThenGoesOnWaiting) {
  Pipe in;
  Pipe out;
  Pipe wake;
  FdTerminal terminal(in.read_end, out.write_end);
  int wakes = 0;
  WakeHook hook{wake.read_end, [&] {
                  drain(wake.read_end);
                  ++wakes;
                  terminal.write("\nStopping agent watch...\n");
                }};
  std::thread typist([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    wake.put("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    in.put("ye");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    in.put("s\nno\n");
  });
  EXPECT_EQ(terminal.read_line(hook), "yes");
  typist.join();
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(drain(out.read_end), "\nStopping agent watch...\n");
  EXPECT_EQ(terminal.read_line(hook), "no");  // typed ahead, kept
}

TEST(FdTerminal, WritesEverythingAndReportsAClosedOutput) {
  Pipe out;
  FdTerminal terminal(-1, out.write_end);
  terminal.write("    Offload to cloud? [y/N/ignore] ");
  EXPECT_EQ(drain(out.read_end), "    Offload to cloud? [y/N/ignore] ");
  close(out.read_end);
  out.read_end = -1;
  signal(SIGPIPE, SIG_IGN);
  EXPECT_THROW(terminal.write("x"), std::system_error);
}

}  // namespace
}  // namespace pelmora
